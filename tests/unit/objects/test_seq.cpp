// seq and follow: recording with running status and system-exclusive
// messages, playback at exact logical times and speeds, external sync, the
// listing, files read and written, and the score follower's matching.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "console_capture.h"
#include "kernel/files/path.h"
#include "object_support.h"
#include "objects/seq.h"
#include "sched_support.h"
#include "temp_dir.h"

namespace {

using kel::test::console_capture;
using kel::test::error_line;
using kel::test::g_log;
using kel::test::run_until;
using kel::test::send_text;
using kel::test::warning_line;
using strings = std::vector<std::string>;

class Seq : public kel::test::ObjectTest {
protected:
    // Sends each byte as an int at time t.
    void bytes_at(object *x, double t, std::initializer_list<int> bytes)
    {
        run_until(t);
        for (int b : bytes) send_text(x, ("int " + std::to_string(b)).c_str());
    }
    object *recorded(const char *text = "seq")
    {
        object *x = make(text);
        rec_.attach(x, 0, "b");
        rec_.attach(x, 1, "end");
        return x;
    }
};

TEST_F(Seq, RunningStatusRecordsTwoNotesThatPlayBackInFull)
{
    console_capture console;
    object *x = recorded();
    send_text(x, "record");
    bytes_at(x, 0, {144, 60, 64});
    bytes_at(x, 250, {60, 0});
    send_text(x, "stop");
    send_text(x, "print");
    EXPECT_EQ(console.lines(), (strings{"midiseq:", "(0) 144 60 64", "(250) 144 60 0"}));
    run_until(1000);
    send_text(x, "bang");
    run_until(2000);
    EXPECT_EQ(g_log, "b@1000 144 | b@1000 60 | b@1000 64 | b@1250 144 | b@1250 60 | b@1250 0 | end@1250 bang");
}

TEST_F(Seq, SpeedScalesEveryEventFromItsStart)
{
    struct speed_case {
        const char *start;
        const char *log;
    };
    const std::vector<speed_case> cases = {
        {"start 2048", "b@1000 192 | b@1000 1 | b@1050 192 | b@1050 2 | b@1150 192 | b@1150 3 | end@1150 bang"},
        {"start 512", "b@1000 192 | b@1000 1 | b@1200 192 | b@1200 2 | b@1600 192 | b@1600 3 | end@1600 bang"},
        {"start 0", "b@1000 192 | b@1000 1 | b@1100 192 | b@1100 2 | b@1300 192 | b@1300 3 | end@1300 bang"},
    };
    for (const speed_case &c : cases) {
        SetUp();
        object *x = recorded();
        send_text(x, "record");
        bytes_at(x, 0, {192, 1});
        bytes_at(x, 100, {192, 2});
        bytes_at(x, 300, {192, 3});
        send_text(x, "stop");
        run_until(1000);
        g_log.clear();
        send_text(x, c.start);
        run_until(5000);
        EXPECT_EQ(g_log, c.log) << c.start;
        TearDown();
    }
}

TEST_F(Seq, LongPausesBecomeNullEvents)
{
    console_capture console;
    object *x = recorded();
    send_text(x, "record");
    bytes_at(x, 0, {144, 1, 1});
    bytes_at(x, 70000, {144, 2, 2});
    bytes_at(x, 70000.6, {144, 3, 3});
    bytes_at(x, 70001.2, {144, 4, 4});  // fractions add up instead of being lost
    send_text(x, "print");
    EXPECT_EQ(console.lines(),
              (strings{"midiseq:", "(0) 144 1 1", "(65535) (null)", "(4465) 144 2 2", "(0) 144 3 3", "(1) 144 4 4"}));
    g_log.clear();
    send_text(x, "start");
    run_until(200000);
    EXPECT_NE(g_log.find("b@140001 144 | b@140001 2"), std::string::npos) << g_log;
}

TEST_F(Seq, SystemExclusiveIsStoredFourBytesAnEvent)
{
    console_capture console;
    object *x = recorded();
    send_text(x, "record");
    bytes_at(x, 0, {240, 67, 16, 76, 0, 1, 247});
    bytes_at(x, 10, {248});
    bytes_at(x, 20, {240, 5, 144, 60, 64});  // a status ends an open message
    bytes_at(x, 30, {176, 7});
    bytes_at(x, 31, {192, 1});                // an incomplete message
    bytes_at(x, 40, {240, 9, 300, -1, 254});  // bytes outside 0..255 and 254 are ignored
    send_text(x, "stop");
    send_text(x, "print");
    EXPECT_EQ(console.lines(),
              (strings{error_line("seq: unterminated sysex"), error_line("midiseq: truncated midi message"),
                       error_line("seq: incomplete sysex"), "midiseq:", "(0) 240 67 16 76", "(0)-> 0 1 247", "(10) 248",
                       "(10) 240 5 247", "(0) 144 60 64", "(11) 192 1", "(9) 240 9 247"}));
    g_log.clear();
    send_text(x, "start");
    run_until(1000);
    const std::string sysex = "b@40 240 | b@40 67 | b@40 16 | b@40 76 | b@40 0 | b@40 1 | b@40 247";
    EXPECT_EQ(g_log.substr(0, sysex.size()), sysex);
}

TEST_F(Seq, DelayHookAndTheirLimits)
{
    console_capture console;
    object *x = recorded();
    send_text(x, "delay 5");
    send_text(x, "record");
    bytes_at(x, 0, {192, 1});
    bytes_at(x, 30000, {192, 2});
    send_text(x, "stop");
    send_text(x, "delay 70000");
    send_text(x, "hook -1");
    send_text(x, "print");
    send_text(x, "hook 3");  // 90000 ms: the excess in a null event
    send_text(x, "print");
    send_text(x, "delay 7");
    send_text(x, "hook 1.9");
    send_text(x, "print");
    EXPECT_EQ(console.lines(), (strings{warning_line("seq: empty"), error_line("seq: delay limited to 65535"),
                                        error_line("seq: hook: factor below 0"), "midiseq:", "(65535) 192 1",
                                        "(30000) 192 2", "midiseq:", "(65535) (null)", "(65535) (null)",
                                        "(65535) 192 1", "(65535) (null)", "(24465) 192 2", "midiseq:", "(7) (null)",
                                        "(65535) (null)", "(65535) 192 1", "(65535) (null)", "(24465) 192 2"}));
}

TEST_F(Seq, AppendContinuesAndRecordingStopsPlayback)
{
    console_capture console;
    object *x = recorded();
    send_text(x, "record");
    bytes_at(x, 0, {192, 1});
    bytes_at(x, 40, {192, 2});
    send_text(x, "stop");
    run_until(1000);
    send_text(x, "append");  // the first appended event counts from now
    bytes_at(x, 1030, {192, 3});
    send_text(x, "print");
    send_text(x, "bang");  // stops recording, plays
    run_until(1050);
    send_text(x, "record");  // stops playback before the second event (1070)
    bytes_at(x, 1060, {192, 4});
    run_until(5000);
    EXPECT_EQ(g_log, "b@1030 192 | b@1030 1");
    g_log.clear();
    send_text(x, "bang");    // the first event at 5010
    send_text(x, "append");  // stops it
    bytes_at(x, 5000, {192, 5});
    run_until(6000);
    EXPECT_EQ(g_log, "");
    send_text(x, "print");
    EXPECT_EQ(console.lines(),
              (strings{"midiseq:", "(0) 192 1", "(40) 192 2", "(30) 192 3", "midiseq:", "(10) 192 4", "(0) 192 5"}));
}

TEST_F(Seq, EmptyListingAndMessagesThatWait)
{
    console_capture console;
    object *x = recorded();
    send_text(x, "print");
    send_text(x, "bang");
    send_text(x, "tick");
    send_text(x, "144");  // not recording: ignored
    send_text(x, "dump");
    send_text(x, "ext");
    run_until(100);
    EXPECT_EQ(console.lines(), strings{"midiseq: no sequence"});
    EXPECT_EQ(g_log, "");
}

// A sequencer without a box: its bytes noted with their times.
std::vector<std::pair<double, long>> g_played;
void note_byte(object *, long byte) { g_played.push_back({kel::sched_now(), byte}); }

class Sequencer : public kel::test::SchedTest {
protected:
    void SetUp() override
    {
        SchedTest::SetUp();
        g_played.clear();
        ASSERT_TRUE(kel::sequencer_init(&s_, nullptr, "seq", &note_byte, nullptr));
    }
    void TearDown() override
    {
        kel::sequencer_free(&s_);
        SchedTest::TearDown();
    }
    void add(uint64_t delta, uint8_t status)
    {
        const uint8_t bytes[4] = {status, 0, 0, 0};
        ASSERT_TRUE(kel::midi_sequence_append_after(&s_.events, delta, bytes));
    }
    kel::sequencer s_;
};

TEST_F(Sequencer, PlaybackHasNoDrift)
{
    // Deltas of 1..37 ms over 100,000 events: the last plays exactly at the
    // scaled sum, whatever the speed.
    uint64_t sum = 0;
    for (int k = 0; k < 100000; k++) {
        const uint64_t delta = 1 + static_cast<uint64_t>(k * 7919) % 37;
        sum += delta;
        add(delta, 0xF8);
    }
    for (long speed : {1024L, 1000L, 3000L}) {
        g_played.clear();
        kel::sched_place_time(0);
        kel::sched_set_now(0);
        kel::sequencer_start(&s_, speed);
        kel::test::run_until(static_cast<double>(sum) * 2);
        ASSERT_EQ(g_played.size(), 100000U) << speed;
        EXPECT_EQ(g_played.back().first, static_cast<double>(sum) * 1024.0 / static_cast<double>(speed)) << speed;
    }
}

TEST_F(Sequencer, ExternalTicksSetPositionAndSpeed)
{
    // Events every 125 ms of recorded time (6 ticks at 48 a second).
    for (int k = 0; k < 4; k++) add(k ? 125 : 0, 0xF8);
    kel::sequencer_start(&s_, -1);
    kel::test::run_until(100);
    EXPECT_TRUE(g_played.empty());  // waiting for ticks
    // Ticks at twice the normal rate (every 125/12 ms): the music follows.
    const double period = 1000.0 / 96.0;
    for (int k = 0; k < 20; k++) {
        kel::test::run_until(100 + k * period);
        kel::sequencer_tick(&s_);
    }
    kel::test::run_until(1000);
    ASSERT_EQ(g_played.size(), 4U);
    const double expected[4] = {100, 100 + 6 * period, 100 + 12 * period, 100 + 18 * period};
    for (int k = 0; k < 4; k++) EXPECT_NEAR(g_played[static_cast<size_t>(k)].first, expected[k], 0.01) << k;
    // When the ticks stop, playback waits: nothing past the 40 ms window.
    g_played.clear();
    kel::sequencer_start(&s_, -1);
    kel::sequencer_tick(&s_);
    kel::test::run_until(3000);
    EXPECT_EQ(g_played.size(), 1U);
}

TEST_F(Sequencer, StopInsideSystemExclusiveClosesIt)
{
    // A message whose second part comes 100 ms later.
    const uint8_t first[4] = {0xF0, 1, 2, 3}, second[4] = {4, 5, 6, 0xF7};
    ASSERT_TRUE(kel::midi_sequence_append_after(&s_.events, 0, first));
    ASSERT_TRUE(kel::midi_sequence_append_after(&s_.events, 100, second));
    console_capture console;
    kel::sequencer_start(&s_, 1024);
    kel::test::run_until(50);
    kel::sequencer_stop(&s_);
    kel::test::run_until(500);
    std::string played;
    for (const auto &[t, b] : g_played) played += std::to_string(b) + "@" + std::to_string(static_cast<int>(t)) + " ";
    EXPECT_EQ(played, "240@0 1@0 2@0 3@0 247@50 ");
    // Recording: the open message is closed at the stop.
    kel::sequencer_record(&s_, false);
    for (long b : {0xF0, 9, 8}) kel::sequencer_byte(&s_, b);
    kel::sequencer_stop(&s_);
    kel::sequencer_print(&s_);
    EXPECT_EQ(console.lines(), (strings{error_line("seq: incomplete sysex"), error_line("seq: incomplete sysex"),
                                        "midiseq:", "(0) 240 9 8 247"}));
}

// --- files ---

class SeqFiles : public Seq {
protected:
    void SetUp() override
    {
        Seq::SetUp();
        ASSERT_TRUE(dir_.ok());
        folder_ = kel::path_id_of_folder(dir_.path());
        ASSERT_NE(folder_, 0);
        old_default_ = path_getdefault();
        path_setdefault(folder_, 0);
    }
    void TearDown() override
    {
        path_setdefault(old_default_, 0);
        Seq::TearDown();
    }
    void write_bytes(const std::string &name, const std::string &bytes)
    {
        std::ofstream(dir_.file(name), std::ios::binary) << bytes;
    }
    strings listing(object *x)
    {
        console_capture console;
        send_text(x, "print");
        return console.lines();
    }
    void deferred() { kel::test::drain_queue(); }
    kel::test::temp_dir dir_{"kel-seq"};
    short folder_ = 0;
    short old_default_ = 0;
};

TEST_F(SeqFiles, WrittenFilesReadBackOnTheGrid)
{
    object *x = recorded();
    send_text(x, "record");
    bytes_at(x, 0, {144, 60, 64});
    bytes_at(x, 500, {144, 60, 0});
    bytes_at(x, 503, {240, 1, 2, 3, 4, 247});
    bytes_at(x, 1000, {248});
    send_text(x, "stop");
    console_capture console;
    send_text(x, "write take.mid");
    send_text(x, "write take.txt");
    deferred();
    object *y = recorded("seq take.mid");
    object *z = recorded("seq take.txt");
    EXPECT_EQ(console.lines(),
              (strings{"writing: take.mid", "writing: take.txt", "seq: reading: take.mid", "seq: reading take.txt"}));
    // 503 ms is 96.576 ticks: 97 ticks, read back as 505 ms.
    const strings on_grid = {"midiseq:",      "(0) 144 60 64", "(500) 144 60 0",
                             "(5) 240 1 2 3", "(0)-> 4 247",   "(495) 248"};
    EXPECT_EQ(listing(y), on_grid);
    EXPECT_EQ(listing(z),
              (strings{"midiseq:", "(0) 144 60 64", "(500) 144 60 0", "(3) 240 1 2 3", "(0)-> 4 247", "(497) 248"}));
    send_text(y, "write again.mid");
    deferred();
    object *w = recorded("seq again.mid");
    EXPECT_EQ(listing(w), on_grid);
}

TEST_F(SeqFiles, FailedReadsKeepTheSequence)
{
    object *x = recorded();
    send_text(x, "record");
    bytes_at(x, 0, {192, 9});
    send_text(x, "stop");
    const std::string header = std::string("MThd\0\0\0\6", 8);
    write_bytes("format1.mid", header + std::string("\0\1\0\2\0\x60MTrk\0\0\0\0", 14));
    write_bytes("badtempo.mid", header + std::string("\0\0\0\1\0\x60MTrk\0\0\0\x0b\0\xff\x51\3\0\0\0\0\x90\1\1", 25));
    write_bytes("nodiv.mid", header + std::string("\0\0\0\1\0\0MTrk\0\0\0\4\0\x90\1\1", 18));
    write_bytes("cut.txt", "0 144 60 64;\n10 144 60;\n");
    write_bytes("picture.png", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16));
    struct read_case {
        const char *message;
        strings lines;
    };
    const std::vector<read_case> cases = {
        {"read format1.mid", {error_line("format1.mid: sorry, I take single-track files only")}},
        {"read badtempo.mid", {"seq: reading: badtempo.mid", error_line("badtempo.mid: bad midi file")}},
        {"read nodiv.mid", {error_line("nodiv.mid: bad midi file")}},
        {"read cut.txt", {"seq: reading cut.txt", error_line("bad MIDI file (truncated)")}},
        {"read picture.png", {error_line("picture.png: not a MIDI file")}},
        {"read nosuch.mid", {error_line("nosuch.mid: can't open")}},
        {"read", {error_line("seq: read: no file name (there is no file dialog here)")}},
        {"write", {error_line("seq: write: no file name (there is no file dialog here)")}},
        {"write nofolder/x.mid",
         {"writing: nofolder/x.mid", error_line("nofolder/x.mid: error -43 creating file"),
          error_line("nofolder/x.mid: can't create")}},
    };
    for (const read_case &c : cases) {
        console_capture console;
        send_text(x, c.message);
        deferred();
        EXPECT_EQ(console.lines(), c.lines) << c.message;
        EXPECT_EQ(listing(x), (strings{"midiseq:", "(0) 192 9"})) << c.message;
    }
}

TEST_F(SeqFiles, HeaderlessTracks)
{
    write_bytes("old.mid", std::string("\0\x90\x3c\x40\x60\x3c\0", 7));
    object *x = recorded("seq old.mid");
    EXPECT_EQ(listing(x), (strings{"midiseq:", "(0) 144 60 64", "(500) 144 60 0"}));
}

// --- follow ---

class Follow : public SeqFiles {
protected:
    object *follower(const char *text)
    {
        object *x = make(text);
        if (x) {
            rec_.attach(x, 0, "pos");
            rec_.attach(x, 1, "pitch");
        }
        return x;
    }
    std::string play(object *x, std::initializer_list<int> pitches)
    {
        g_log.clear();
        for (int p : pitches) send_text(x, ("int " + std::to_string(p)).c_str());
        return g_log;
    }
};

TEST_F(Follow, MatchesWithSkipsOctavesAndAWindow)
{
    // Notes 60 62 64 65 67 69 71 72, 100 ms apart.
    write_bytes("scale.txt", "0 144 60 64; 100 144 62 64; 150 128 62 0; 200 144 64 64; 300 144 65 64; "
                             "400 144 67 64; 500 144 69 64; 600 144 71 64; 700 144 72 64;");
    struct follow_case {
        const char *box;
        std::vector<std::pair<std::vector<int>, const char *>> steps;
    };
    const std::vector<follow_case> cases = {
        {"follow scale.txt",
         {{{60}, "pos@0 1"},
          {{64}, "pos@0 2 | pos@0 3"},  // 62 passed over
          {{62}, ""},                   // the skipped note, late: consumed
          {{61}, ""},                   // no match anywhere
          {{72}, ""},                   // too far: more than 2 skips and beyond the window
          {{69}, "pos@0 4 | pos@0 5 | pos@0 6"}}},
        {"follow -o scale.txt", {{{48}, "pos@0 1"}, {{74}, "pos@0 2"}, {{76}, "pos@0 3"}}},
        {"follow scale.txt 0 1000",
         {{{62}, "pos@0 1 | pos@0 2"}, {{72}, "pos@0 3 | pos@0 4 | pos@0 5 | pos@0 6 | pos@0 7 | pos@0 8"}}},
        {"follow scale.txt 0 50", {{{62}, ""}, {{60}, "pos@0 1"}}},
    };
    for (const follow_case &c : cases) {
        console_capture console;
        object *x = follower(c.box);
        ASSERT_NE(x, nullptr) << c.box;
        EXPECT_EQ(play(x, {}), "");
        send_text(x, "follow");
        EXPECT_EQ(g_log, "pos@0 0") << c.box;
        for (const auto &[pitches, out] : c.steps) {
            g_log.clear();
            for (int p : pitches) send_text(x, ("int " + std::to_string(p)).c_str());
            EXPECT_EQ(g_log, out) << c.box << " <- " << pitches.front();
        }
        EXPECT_EQ(console.lines(), strings{"seq: reading scale.txt"}) << c.box;
    }
}

TEST_F(Follow, NextStepsThroughTheScoreAndPlaybackSendsPitches)
{
    write_bytes("two.txt", "0 144 60 64; 100 144 62 64; 150 144 62 0;");
    console_capture console;
    object *x = follower("follow two.txt");
    send_text(x, "next");
    g_log.clear();
    send_text(x, "follow 1");
    send_text(x, "next");
    send_text(x, "next");
    EXPECT_EQ(g_log, "pos@0 1 | pitch@0 62 | pos@0 2");
    g_log.clear();
    send_text(x, "bang");
    run_until(1000);
    EXPECT_EQ(g_log, "pitch@0 60 | pitch@100 62");
    g_log.clear();
    send_text(x, "record");
    send_text(x, "int 67");
    send_text(x, "stop");
    send_text(x, "print");
    EXPECT_EQ(console.lines(), (strings{"seq: reading two.txt", error_line("next: need to turn on follow"),
                                        "end of score", "end of score", "midiseq:", "(0) 144 67 60"}));
}

TEST_F(Follow, ArgumentErrors)
{
    struct arg_case {
        const char *box;
        strings lines;
    };
    const std::vector<arg_case> cases = {
        {"follow 5", {error_line("follow: bad filename")}},
        {"follow x.txt 1.5 2.5",
         {error_line("follow: third arg needs an integer"), error_line("follow: fourth arg needs an integer"),
          error_line("x.txt: can't open"), error_line("follow: couldn't read x.txt")}},
    };
    for (const arg_case &c : cases) {
        console_capture console;
        EXPECT_NE(follower(c.box), nullptr);
        EXPECT_EQ(console.lines(), c.lines) << c.box;
    }
}

}  // namespace
