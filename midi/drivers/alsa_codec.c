#include "alsa_codec.h"

#include "kel/midi.h"

long alsa_codec_message_bytes(long kind, long status, long data1, long data2, unsigned char out[3])
{
    out[0] = (unsigned char)status;
    if (kind == MIDI_SEND_BYTE || kind == MIDI_SEND_SYSEX) return 1;
    if (kind != MIDI_SEND_MESSAGE) return 0;
    if (status < 0x80 || status >= 0xF0) return 1;
    out[1] = (unsigned char)(data1 & 0x7F);
    out[2] = (unsigned char)(data2 & 0x7F);
    return ((status & 0xF0) == 0xC0 || (status & 0xF0) == 0xD0) ? 2 : 3;
}

long alsa_codec_encode(snd_midi_event_t *encoder, const unsigned char *bytes, long length,
                       void (*done)(snd_seq_event_t *ev, void *arg), void *arg)
{
    long events = 0;
    long i;
    for (i = 0; i < length; i++) {
        snd_seq_event_t ev;
        snd_seq_ev_clear(&ev);
        if (snd_midi_event_encode_byte(encoder, bytes[i], &ev) == 1) {
            events++;
            if (done) done(&ev, arg);
        }
    }
    return events;
}

long alsa_codec_decode(snd_midi_event_t *decoder, const snd_seq_event_t *ev, unsigned char *out, long size)
{
    snd_midi_event_no_status(decoder, 1);
    return snd_midi_event_decode(decoder, out, size, ev);
}
