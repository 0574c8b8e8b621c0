// The ALSA driver's codec both ways, for every kind of message: the bytes a
// send routine is given become sequencer events and decode to the same
// bytes. The codec needs no sequencer device.
#include <gtest/gtest.h>

#include <vector>

#include "kel/midi.h"
#include "midi/drivers/alsa_codec.h"

namespace {

using bytes = std::vector<unsigned char>;

struct coder {
    snd_midi_event_t *encoder = nullptr;
    snd_midi_event_t *decoder = nullptr;
    coder()
    {
        snd_midi_event_new(4096, &encoder);
        snd_midi_event_new(4096, &decoder);
    }
    ~coder()
    {
        snd_midi_event_free(encoder);
        snd_midi_event_free(decoder);
    }
};

struct collected {
    std::vector<snd_seq_event_t> events;
};

void collect(snd_seq_event_t *ev, void *arg) { static_cast<collected *>(arg)->events.push_back(*ev); }

TEST(MidiAlsaCodec, EveryMessageKindBothWays)
{
    struct codec_case {
        const char *name;
        bytes message;
        snd_seq_event_type_t type;
    };
    const codec_case cases[] = {
        {"note-off", {0x80, 0x3C, 0x40}, SND_SEQ_EVENT_NOTEOFF},
        {"note-on", {0x91, 0x3C, 0x40}, SND_SEQ_EVENT_NOTEON},
        {"note-on velocity 0", {0x92, 0x3C, 0x00}, SND_SEQ_EVENT_NOTEON},
        {"polyphonic pressure", {0xA3, 0x3C, 0x22}, SND_SEQ_EVENT_KEYPRESS},
        {"control change", {0xB4, 0x07, 0x64}, SND_SEQ_EVENT_CONTROLLER},
        {"program change", {0xC5, 0x05}, SND_SEQ_EVENT_PGMCHANGE},
        {"channel pressure", {0xD6, 0x30}, SND_SEQ_EVENT_CHANPRESS},
        {"pitch bend", {0xEF, 0x01, 0x40}, SND_SEQ_EVENT_PITCHBEND},
        {"system exclusive", {0xF0, 0x7E, 0x01, 0x02, 0xF7}, SND_SEQ_EVENT_SYSEX},
        {"song position", {0xF2, 0x10, 0x20}, SND_SEQ_EVENT_SONGPOS},
        {"song select", {0xF3, 0x04}, SND_SEQ_EVENT_SONGSEL},
        {"tune request", {0xF6}, SND_SEQ_EVENT_TUNE_REQUEST},
        {"clock", {0xF8}, SND_SEQ_EVENT_CLOCK},
        {"start", {0xFA}, SND_SEQ_EVENT_START},
        {"continue", {0xFB}, SND_SEQ_EVENT_CONTINUE},
        {"stop", {0xFC}, SND_SEQ_EVENT_STOP},
        {"active sensing", {0xFE}, SND_SEQ_EVENT_SENSING},
        {"reset", {0xFF}, SND_SEQ_EVENT_RESET},
    };
    for (const codec_case &c : cases) {
        SCOPED_TRACE(c.name);
        coder k;
        collected out;
        ASSERT_EQ(alsa_codec_encode(k.encoder, c.message.data(), long(c.message.size()), &collect, &out), 1);
        ASSERT_EQ(out.events.size(), 1u);
        EXPECT_EQ(out.events[0].type, c.type);
        unsigned char back[64];
        const long n = alsa_codec_decode(k.decoder, &out.events[0], back, sizeof back);
        ASSERT_GT(n, 0);
        EXPECT_EQ(bytes(back, back + n), c.message);
    }
}

TEST(MidiAlsaCodec, RunningStatusEncodesAndDecodesWithItsStatus)
{
    coder k;
    collected out;
    const bytes running = {0x90, 0x3C, 0x40, 0x3E, 0x41};
    ASSERT_EQ(alsa_codec_encode(k.encoder, running.data(), long(running.size()), &collect, &out), 2);
    unsigned char back[16];
    ASSERT_EQ(alsa_codec_decode(k.decoder, &out.events[1], back, sizeof back), 3);
    EXPECT_EQ(bytes(back, back + 3), (bytes{0x90, 0x3E, 0x41}));
}

TEST(MidiAlsaCodec, WhatTheSendRoutineIsGiven)
{
    struct send_case {
        long kind, status, data1, data2;
        bytes expected;
    };
    const send_case cases[] = {
        {MIDI_SEND_MESSAGE, 0x90, 60, 64, {0x90, 60, 64}},
        {MIDI_SEND_MESSAGE, 0xC2, 5, 99, {0xC2, 5}},
        {MIDI_SEND_MESSAGE, 0xD0, 7, 0, {0xD0, 7}},
        {MIDI_SEND_MESSAGE, 0xB0, 200, 255, {0xB0, 0x48, 0x7F}},
        {MIDI_SEND_BYTE, 0xF8, 0, 0, {0xF8}},
        {MIDI_SEND_SYSEX, 0x7E, 0, 0, {0x7E}},
        {7, 0x90, 0, 0, {}},
    };
    for (const send_case &c : cases) {
        unsigned char out[3];
        const long n = alsa_codec_message_bytes(c.kind, c.status, c.data1, c.data2, out);
        EXPECT_EQ(bytes(out, out + n), c.expected) << c.kind << " " << c.status;
    }
}

}  // namespace
