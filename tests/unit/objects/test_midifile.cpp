// MIDI sequences and their file forms: reading Standard MIDI Files into
// millisecond events, writing them at 96 ticks per beat, the text form, and
// inputs that must be refused without harm.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "kel/kel.h"
#include "kernel/text/binbuf.h"
#include "objects/midifile.h"

namespace {

using bytes = std::vector<uint8_t>;

struct sequence {
    kel::midi_sequence s;
    sequence() { kel::midi_sequence_init(&s); }
    ~sequence() { kel::midi_sequence_clear(&s); }
    sequence(const sequence &) = delete;
    sequence &operator=(const sequence &) = delete;
};

// "delta:byte byte ..." per event, the bytes a message of its status has;
// "delta:null" for a null event; all four bytes of system-exclusive events.
std::string listing(const kel::midi_sequence *s)
{
    std::string text;
    bool in_sysex = false;
    for (kel::midi_cursor c = kel::midi_sequence_begin(s); !kel::midi_cursor_done(c); kel::midi_cursor_next(&c)) {
        const kel::midi_event &e = *kel::midi_cursor_event(c);
        if (!text.empty()) text += " | ";
        text += std::to_string(e.delta) + ":";
        const uint8_t status = e.bytes[0];
        if (status == kel::midi_null_status) {
            text += "null";
            continue;
        }
        int n = in_sysex || status == 0xF0 ? 4 : kel::midi_message_length(status);
        if (in_sysex || status == 0xF0) {
            in_sysex = true;
            for (int k = 0; k < 4; k++)
                if (e.bytes[k] == 0xF7) {
                    n = k + 1;
                    in_sysex = false;
                    break;
                }
        }
        for (int k = 0; k < n; k++) text += (k ? " " : "") + std::to_string(e.bytes[k]);
    }
    return text;
}

bytes be32(uint32_t v)
{
    return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
            static_cast<uint8_t>(v)};
}

// A format-0 file with the given division and track bytes.
bytes smf(uint16_t division, const bytes &track, uint16_t format = 0, uint16_t tracks = 1)
{
    bytes f = {'M', 'T', 'h', 'd', 0, 0, 0, 6};
    f.push_back(static_cast<uint8_t>(format >> 8));
    f.push_back(static_cast<uint8_t>(format));
    f.push_back(static_cast<uint8_t>(tracks >> 8));
    f.push_back(static_cast<uint8_t>(tracks));
    f.push_back(static_cast<uint8_t>(division >> 8));
    f.push_back(static_cast<uint8_t>(division));
    f.insert(f.end(), {'M', 'T', 'r', 'k'});
    bytes length = be32(static_cast<uint32_t>(track.size()));
    f.insert(f.end(), length.begin(), length.end());
    f.insert(f.end(), track.begin(), track.end());
    return f;
}

struct read_case {
    const char *what;
    bytes file;
    kel::smf_result result;
    const char *events;
};

TEST(MidiFile, ReadsTracksIntoMillisecondEvents)
{
    const std::vector<read_case> cases = {
        {"one beat at 120 bpm is 500 ms; running status",
         smf(96, {0, 0x90, 60, 64, 96, 60, 0, 0, 0xFF, 0x2F, 0}), kel::smf_result::ok, "0:144 60 64 | 500:144 60 0"},
        {"the fraction is carried: 1 tick at 96 is 5.208 ms", smf(96, {1, 0xC0, 5, 1, 0xC0, 6, 1, 0xC0, 7, 1, 0xC0, 8}),
         kel::smf_result::ok, "5:192 5 | 5:192 6 | 5:192 7 | 5:192 8"},
        {"a tempo change applies from where it stands (60 bpm: 1 s a beat)",
         smf(480, {0, 0xFF, 0x51, 3, 0x0F, 0x42, 0x40, 0x83, 0x60, 0x80, 60, 0, 0x83, 0x60, 0xFF, 0x51, 3, 0x07, 0xA1,
                   0x20, 0x83, 0x60, 0x80, 61, 0}),
         kel::smf_result::ok, "1000:128 60 0 | 1000:null | 500:128 61 0"},
        {"time-code division: 25 frames of 40 ticks is 1 ms a tick; tempo ignored",
         smf(0xE728, {10, 0xFF, 0x51, 3, 0, 0, 1, 0x64, 0xB0, 7, 100}), kel::smf_result::ok, "10:null | 100:176 7 100"},
        {"F0 and F7 parts of one message, four bytes an event",
         smf(96, {0, 0xF0, 3, 0x43, 0x10, 0x4C, 0, 0xF7, 3, 0, 1, 0xF7}), kel::smf_result::ok,
         "0:240 67 16 76 | 0:0 1 247"},
        {"a status inside system-exclusive data ends the message", smf(96, {0, 0xF0, 3, 1, 0x90, 2, 0, 0x90, 1, 2}),
         kel::smf_result::ok, "0:240 1 247 | 0:144 1 2"},
        {"an open message is closed by the next event", smf(96, {0, 0xF0, 2, 1, 2, 0, 0xB0, 1, 2}),
         kel::smf_result::ok, "0:240 1 2 247 | 0:176 1 2"},
        {"an F7 escape of one system message keeps it", smf(96, {0, 0xF7, 1, 0xF8, 0, 0xF7, 3, 0xF2, 1, 2}),
         kel::smf_result::ok, "0:248 | 0:242 1 2"},
        {"other metas keep their time as a null event", smf(96, {96, 0xFF, 0x01, 2, 'h', 'i', 0, 0x90, 1, 1}),
         kel::smf_result::ok, "500:null | 0:144 1 1"},
        {"a long gap becomes null events of 65535 ms", smf(1000, {0x88, 0xC5, 0x60, 0xFF, 0x51, 3, 0x0F, 0x42, 0x40,
                                                                0, 0x90, 1, 1}),
         kel::smf_result::ok, "65535:null | 4465:null | 0:144 1 1"},
        {"the end of track ends the reading", smf(96, {0, 0x90, 1, 1, 0, 0xFF, 0x2F, 0, 0, 0x90, 2, 2}), kel::smf_result::ok,
         "0:144 1 1"},
        {"bytes after the track's length are no events", [] {
             bytes f = smf(96, {0, 0x90, 1, 1});
             f.insert(f.end(), {0, 0x90, 2, 2});
             return f;
         }(),
         kel::smf_result::ok, "0:144 1 1"},
        {"format 1", smf(96, {0, 0x90, 1, 1}, 1, 2), kel::smf_result::multi_track, ""},
        {"division 0", smf(0, {0, 0x90, 1, 1}), kel::smf_result::bad_header, ""},
        {"time-code division with 0 ticks a frame", smf(0xE700, {0, 0x90, 1, 1}), kel::smf_result::bad_header, ""},
        {"no tracks", smf(96, {}, 0, 0), kel::smf_result::bad_header, ""},
        {"header length other than 6", bytes{'M', 'T', 'h', 'd', 0, 0, 0, 7, 0, 0, 0, 1, 0, 96, 0},
         kel::smf_result::bad_header, ""},
        {"no track chunk", bytes{'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0, 96}, kel::smf_result::bad_header, ""},
        {"track length past the file", [] {
             bytes f = smf(96, {0, 0x90, 1, 1});
             f[21] = 9;
             return f;
         }(),
         kel::smf_result::bad_header, ""},
        {"a delta of five bytes", smf(96, {0x81, 0x81, 0x81, 0x81, 0x01, 0x90, 1, 1}), kel::smf_result::bad_file, ""},
        {"system-exclusive past the track", smf(96, {0, 0xF0, 9, 1, 2}), kel::smf_result::bad_file, ""},
        {"data with no status", smf(96, {0, 60, 64}), kel::smf_result::bad_file, ""},
        {"running status does not survive a meta", smf(96, {0, 0x90, 1, 1, 0, 0xFF, 1, 0, 0, 2, 2}),
         kel::smf_result::bad_file, ""},
        {"tempo 0", smf(96, {0, 0xFF, 0x51, 3, 0, 0, 0, 0, 0x90, 1, 1}), kel::smf_result::bad_file, ""},
        {"a raw system status in a track", smf(96, {0, 0xF8}), kel::smf_result::bad_file, ""},
        {"a message cut by the end of the track", smf(96, {0, 0x90, 1}), kel::smf_result::bad_file, ""},
        {"a delta with no event", smf(96, {0, 0x90, 1, 1, 5}), kel::smf_result::bad_file, ""},
        {"a meta past the track", smf(96, {0, 0xFF, 1, 5, 1}), kel::smf_result::bad_file, ""},
    };
    for (const read_case &c : cases) {
        sequence s;
        bool accepted = false;
        EXPECT_EQ(kel::smf_read(c.file.data(), c.file.size(), false, &s.s, &accepted), c.result) << c.what;
        EXPECT_EQ(accepted, c.result == kel::smf_result::ok || c.result == kel::smf_result::bad_file) << c.what;
        EXPECT_EQ(listing(&s.s), c.events) << c.what;
    }
}

TEST(MidiFile, HeaderlessTrackReadsAtDivision96)
{
    const bytes track = {0, 0x90, 60, 64, 0x60, 60, 0};
    sequence s;
    bool accepted = false;
    EXPECT_EQ(kel::smf_read(track.data(), track.size(), true, &s.s, &accepted), kel::smf_result::ok);
    EXPECT_EQ(listing(&s.s), "0:144 60 64 | 500:144 60 0");
}

TEST(MidiFile, HugeGapsAreRefusedNotAllocated)
{
    // Each delta is 2^28 - 1 ticks at 1 tick a beat of 16.7 s: far more null
    // events than a file of this size may make.
    bytes track;
    track.insert(track.end(), {0, 0xFF, 0x51, 3, 0xFF, 0xFF, 0xFF});
    for (int k = 0; k < 4; k++) track.insert(track.end(), {0xFF, 0xFF, 0xFF, 0x7F, 0x90, 1, 1});
    const bytes file = smf(1, track);
    sequence s;
    bool accepted = false;
    EXPECT_EQ(kel::smf_read(file.data(), file.size(), false, &s.s, &accepted), kel::smf_result::bad_file);
    EXPECT_TRUE(kel::midi_sequence_empty(&s.s));
}

void append(kel::midi_sequence *s, uint64_t delta, std::initializer_list<uint8_t> b)
{
    uint8_t e[4] = {};
    int k = 0;
    for (uint8_t v : b) e[k++] = v;
    ASSERT_TRUE(kel::midi_sequence_append_after(s, delta, e));
}

TEST(MidiFile, WritesFormatZeroAt96Ticks)
{
    sequence s;
    append(&s.s, 0, {0x90, 60, 64});
    append(&s.s, 500, {0x90, 60, 0});  // 96 ticks
    append(&s.s, 100, {0xFE});         // a null event's time goes to the next event
    append(&s.s, 400, {0xC0, 5});      // 96 ticks
    append(&s.s, 0, {0xF8});           // written as an F7 escape
    append(&s.s, 5, {0xF0, 1, 2, 3});  // the first part: F0, its bytes after F0
    append(&s.s, 0, {4, 0xF7});        // a continuation: F7 and its bytes
    append(&s.s, 70000, {0xFE});       // the end of the track keeps a trailing time
    std::vector<uint8_t> out;
    ASSERT_TRUE(kel::smf_write(&s.s, &out));
    const bytes expected_track = {0,    0x90, 60, 64, 0x60, 0x90, 60,   0, 0x60, 0xC0, 5,    0,    0xF7, 1,    0xF8, 1,
                                  0xF0, 3,    1,  2,  3,    0,    0xF7, 2, 4,    0xF7, 0xE9, 0x00, 0xFF, 0x2F, 0};
    EXPECT_EQ(out, smf(96, expected_track));
}

TEST(MidiFile, WrittenFilesReadBackOnTheTickGrid)
{
    // Random-looking times: written, read back (times on the 96-tick grid),
    // written again: the same bytes, and the same events on the second read.
    sequence s;
    uint64_t seed = 12345;
    for (int k = 0; k < 200; k++) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        const auto delta = static_cast<uint64_t>((seed >> 33) % 3000);
        if (k % 17 == 5) {
            append(&s.s, delta, {0xF0, 1, 2, 3});
            append(&s.s, 0, {4, 5, 6, 0xF7});
        } else {
            append(&s.s, delta, {static_cast<uint8_t>(0x90 | (k & 15)), static_cast<uint8_t>(k & 127), 64});
        }
    }
    std::vector<uint8_t> first, second;
    ASSERT_TRUE(kel::smf_write(&s.s, &first));
    sequence r1, r2;
    bool accepted = false;
    ASSERT_EQ(kel::smf_read(first.data(), first.size(), false, &r1.s, &accepted), kel::smf_result::ok);
    ASSERT_TRUE(kel::smf_write(&r1.s, &second));
    EXPECT_EQ(first, second);
    ASSERT_EQ(kel::smf_read(second.data(), second.size(), false, &r2.s, &accepted), kel::smf_result::ok);
    EXPECT_EQ(listing(&r1.s), listing(&r2.s));
    // Every time read back is within one tick (5.2 ms) of the original.
    uint64_t original = 0, read = 0;
    kel::midi_cursor a = kel::midi_sequence_begin(&s.s), b = kel::midi_sequence_begin(&r1.s);
    for (; !kel::midi_cursor_done(a) && !kel::midi_cursor_done(b);
         kel::midi_cursor_next(&a), kel::midi_cursor_next(&b)) {
        original += kel::midi_cursor_event(a)->delta;
        read += kel::midi_cursor_event(b)->delta;
        EXPECT_LE(original > read ? original - read : read - original, 5U);
    }
}

std::vector<atom> atoms_of(const char *text)
{
    std::vector<atom> out(256);
    long argc = 0;
    kel::binbuf_parse_text(text, std::strlen(text), &argc, out.data(), 256);
    out.resize(static_cast<size_t>(argc));
    // Message ends as a file's text reads them.
    for (atom &a : out)
        if (a.type == ATYPE_SYM && std::strcmp(a.word.w_sym->name, ";") == 0) a.type = ATYPE_SEMI;
    return out;
}

std::string text_of(const kel::midi_sequence *s)
{
    std::vector<atom> atoms;
    EXPECT_TRUE(kel::midi_text_write(s, &atoms));
    std::string text;
    for (const atom &a : atoms) {
        if (a.type == ATYPE_SEMI) {
            text += ";";
            continue;
        }
        if (!text.empty()) text += " ";
        text += std::to_string(a.word.w_long);
    }
    return text;
}

TEST(MidiFile, TextFormReadsAndWritesAbsoluteTimes)
{
    struct text_case {
        const char *text;
        bool ok;
        const char *events;
    };
    const std::vector<text_case> cases = {
        {"0 144 60 64; 500 144 60 0; 700 192 5;", true, "0:144 60 64 | 500:144 60 0 | 200:192 5"},
        {"10 240 1 2 3 4 5 247; 10 248;", true, "10:240 1 2 3 | 0:4 5 247 | 0:248"},
        {"100 144 1 1; 50 144 2 2;", true, "100:144 1 1 | 0:144 2 2"},  // time going back: delta 0
        {"70000 176 1 2;", true, "65535:null | 4465:176 1 2"},
        {"2.9 144 1 1;", true, "2:144 1 1"},
        {"0 144 60;", false, ""},                  // a note with one data byte
        {"0 192 5 6;", false, ""},                 // a program change with two
        {"0 60 64;", false, ""},                   // no status
        {"0 144 60 300;", false, ""},              // a byte outside 0..255
        {"0 144 200 1;", false, ""},               // a status where data belongs
        {"0 240 1 2;", false, ""},                 // an unterminated message
        {"0 240 1 144 247;", false, ""},           // a status inside one
        {"0 254;", false, ""},                     // the null marker
        {"-5 144 1 1;", false, ""},                // a negative time
        {"0 144 60 64; foo 144 1 1;", false, ""},  // the first malformed message fails the whole
        {"0;", false, ""},
    };
    for (const text_case &c : cases) {
        sequence s;
        std::vector<atom> atoms = atoms_of(c.text);
        EXPECT_EQ(kel::midi_text_read(atoms.data(), static_cast<long>(atoms.size()), &s.s), c.ok) << c.text;
        EXPECT_EQ(listing(&s.s), c.events) << c.text;
    }
    sequence s;
    std::vector<atom> atoms = atoms_of("0 144 60 64; 500 144 60 0; 510 240 1 2 3 4 5 247; 600 248; 700 192 5;");
    ASSERT_TRUE(kel::midi_text_read(atoms.data(), static_cast<long>(atoms.size()), &s.s));
    EXPECT_EQ(text_of(&s.s), "0 144 60 64; 500 144 60 0; 510 240 1 2 3 4 5 247; 600 248; 700 192 5;");
}

TEST(MidiFile, SequencesGrowInChunksAndSwapWhole)
{
    sequence a, b;
    for (int k = 0; k < 40; k++) append(&a.s, static_cast<uint64_t>(k), {0x90, static_cast<uint8_t>(k), 1});
    append(&b.s, 7, {0xC0, 1});
    EXPECT_EQ(kel::midi_sequence_count(&a.s), 40);
    kel::midi_sequence_swap(&a.s, &b.s);
    EXPECT_EQ(listing(&a.s), "7:192 1");
    EXPECT_EQ(kel::midi_sequence_count(&b.s), 40);
    append(&a.s, 1, {0xC0, 2});
    EXPECT_EQ(listing(&a.s), "7:192 1 | 1:192 2");
    long n = 0, delta_sum = 0;
    for (kel::midi_cursor c = kel::midi_sequence_begin(&b.s); !kel::midi_cursor_done(c); kel::midi_cursor_next(&c)) {
        delta_sum += kel::midi_cursor_event(c)->delta;
        n++;
    }
    EXPECT_EQ(n, 40);
    EXPECT_EQ(delta_sum, 40 * 39 / 2);
    kel::midi_sequence_clear(&b.s);
    EXPECT_TRUE(kel::midi_sequence_empty(&b.s));
}

}  // namespace
