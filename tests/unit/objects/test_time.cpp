// metro, delay, pipe, timer, line, makenote, stripnote, sustain: exact
// outputs at exact logical times.
#include <gtest/gtest.h>

#include "console_capture.h"
#include "object_support.h"
#include "sched_support.h"

namespace {

using kel::test::g_log;
using kel::test::inlet_count;
using kel::test::make_object;
using kel::test::outlet_count;
using kel::test::run_until;
using kel::test::send_text;

using TimeObjects = kel::test::ObjectTest;

TEST_F(TimeObjects, MetroTicksFromTheSchedulerUntilStopped)
{
    object *m = make("metro 100");
    rec_.attach(m, 0, "m");
    send_text(m, "bang");
    EXPECT_EQ(g_log, "");  // the first bang comes from the scheduler
    run_until(350);
    send_text(m, "stop");
    run_until(1000);
    EXPECT_EQ(g_log, "m@0 bang | m@100 bang | m@200 bang | m@300 bang");
}

TEST_F(TimeObjects, MetroStartStopAndIntervalChanges)
{
    object *m = make("metro 100");
    rec_.attach(m, 0, "m");
    send_text(m, "bang");
    send_text(m, "stop");
    run_until(500);
    EXPECT_EQ(g_log, "");
    send_text(m, "int 1");
    run_until(650);
    send_text(m, "float 30", 1);  // takes effect after the tick already set for 700
    run_until(800);
    send_text(m, "float 0.7");  // truncated to 0: stops
    run_until(1000);
    EXPECT_EQ(g_log, "m@500 bang | m@600 bang | m@700 bang | m@730 bang | m@760 bang | m@790 bang");
}

TEST_F(TimeObjects, MetroIntervalFloors)
{
    object *a = make("metro 0");  // below 0.001 at creation
    object *b = make("metro 100");
    rec_.attach(a, 0, "a");
    rec_.attach(b, 0, "b");
    send_text(b, "float 0", 1);  // up to 0.02 through the inlet
    kel::sched_config().poll_throttle = 1000;
    send_text(a, "bang");
    send_text(b, "bang");
    run_until(0.05);
    send_text(a, "stop");
    send_text(b, "stop");
    int a_bangs = 0, b_bangs = 0;
    for (size_t at = 0; (at = g_log.find("a@", at)) != std::string::npos; at++) a_bangs++;
    for (size_t at = 0; (at = g_log.find("b@", at)) != std::string::npos; at++) b_bangs++;
    EXPECT_EQ(b_bangs, 3);  // 0, 0.02, 0.04
    EXPECT_GE(a_bangs, 50);
}

// Stops the object it was given whenever it receives a bang.
struct stopper {
    object ob;
    object *target;
};

void stopper_bang(stopper *x) { kel::test::send_text(x->target, "stop"); }

TEST_F(TimeObjects, MetroBangThatStopsItPreventsTheNextTick)
{
    object *m = make("metro 10");
    rec_.attach(m, 0, "m");
    static kel_class *c = [] {
        kel_class *k = class_new("stopper", nullptr, nullptr, sizeof(stopper), nullptr, 0);
        class_addmethod(k, reinterpret_cast<kel_method>(&stopper_bang), "bang", 0);
        return k;
    }();
    auto *s = static_cast<stopper *>(object_alloc(c));
    s->target = m;
    outlet_add(kel::test::outlet_at(m, 0), s);
    send_text(m, "bang");
    run_until(100);
    EXPECT_EQ(g_log, "m@0 bang");
    EXPECT_EQ(kel::sched_pending_clocks(), 0);
    freeobject(s);
}

TEST_F(TimeObjects, DelayIsReplacedNotAddedAndStops)
{
    object *d = make("delay 500");
    rec_.attach(d, 0, "d");
    send_text(d, "bang");
    run_until(100);
    send_text(d, "bang");
    run_until(2000);
    EXPECT_EQ(g_log, "d@600 bang");
    g_log.clear();
    send_text(d, "int 30");       // sets the time and starts
    send_text(d, "float -5", 1);  // stored for later, negative becomes 0
    run_until(2010);
    send_text(d, "stop");
    run_until(3000);
    EXPECT_EQ(g_log, "");
    send_text(d, "bang");
    run_until(3000);
    EXPECT_EQ(g_log, "d@3000 bang");
}

TEST_F(TimeObjects, PipeDelaysCopiesOfItsSlots)
{
    object *p = make("pipe 1 2.5 1000");
    EXPECT_EQ(outlet_count(p), 2);
    EXPECT_EQ(inlet_count(p), 2);  // and the left one: three inlets
    rec_.attach(p, 0, "int");
    rec_.attach(p, 1, "float");
    send_text(p, "int 7");
    send_text(p, "float 4.5", 1);  // a later event gets the new value
    run_until(200);
    send_text(p, "float 8.9");
    run_until(3000);
    EXPECT_EQ(g_log, "float@1000 f2.5 | int@1000 7 | float@1200 f4.5 | int@1200 8");
    g_log.clear();
    send_text(p, "int 1");
    send_text(p, "clear");
    run_until(5000);
    EXPECT_EQ(g_log, "");
}

TEST_F(TimeObjects, PipeFlushFiresNewestFirstAndTheDelayInletIsRightmost)
{
    object *p = make("pipe 100");
    EXPECT_EQ(outlet_count(p), 1);
    rec_.attach(p, 0, "p");
    send_text(p, "int 1");
    send_text(p, "float 50", 1);
    send_text(p, "int 2");
    run_until(60);
    EXPECT_EQ(g_log, "p@50 2");
    send_text(p, "int 3");
    send_text(p, "flush");
    EXPECT_EQ(g_log, "p@50 2 | p@60 3 | p@60 1");
    EXPECT_EQ(kel::sched_pending_clocks(), 0);
    // A symbol among the values is an int slot of 0.
    object *q = make("pipe foo 20");
    rec_.attach(q, 0, "q");
    send_text(q, "bang");
    run_until(80);
    EXPECT_EQ(g_log, "p@50 2 | p@60 3 | p@60 1 | q@80 0");
}

TEST_F(TimeObjects, TimerMeasuresFromCreationOrTheLastBang)
{
    kel::sched_set_now(40);
    object *t = make("timer");
    rec_.attach(t, 0, "t");
    run_until(100);
    send_text(t, "bang", 1);
    send_text(t, "bang");
    run_until(350.5);
    send_text(t, "bang", 1);
    EXPECT_EQ(g_log, "t@100 f60 | t@350.5 f250.5");
}

TEST_F(TimeObjects, LineRampsInGrainsAndBangsAtTheEnd)
{
    object *l = make("line 0 20");
    rec_.attach(l, 0, "v");
    rec_.attach(l, 1, "end");
    send_text(l, "float 100", 1);
    send_text(l, "int 10");
    run_until(1000);
    EXPECT_EQ(g_log, "v@0 2 | v@20 4 | v@40 6 | v@60 8 | v@80 10 | end@80 bang");
    g_log.clear();
    kel::sched_set_now(1000);
    send_text(l, "list 0 100");  // the ramp time reaches the middle inlet first
    run_until(2000);
    EXPECT_EQ(g_log, "v@1000 8 | v@1020 6 | v@1040 4 | v@1060 2 | v@1080 0 | end@1080 bang");
    g_log.clear();
    kel::sched_set_now(2000);
    send_text(l, "float 10", 1);  // one step: the target at once, no bang
    send_text(l, "int 5");
    send_text(l, "int 7");  // no ramp time pending: a jump
    run_until(3000);
    EXPECT_EQ(g_log, "v@2000 5 | v@2000 7");
}

TEST_F(TimeObjects, LineFloatsStopAndSet)
{
    object *l = make("line 0.5");
    rec_.attach(l, 0, "v");
    rec_.attach(l, 1, "end");
    send_text(l, "float 60", 1);
    send_text(l, "float 3.5");  // 0.5 -> 3.5 in 3 steps of 1
    run_until(25);
    send_text(l, "stop");  // keeps the current value, no end bang
    run_until(200);
    EXPECT_EQ(g_log, "v@0 f1.5 | v@20 f2.5");
    g_log.clear();
    kel::sched_set_now(200);
    send_text(l, "float 40", 1);
    send_text(l, "float 4.5");  // from the stopped value 2.5
    run_until(400);
    EXPECT_EQ(g_log, "v@200 f3.5 | v@220 f4.5 | end@220 bang");
    g_log.clear();
    send_text(l, "set 9");
    EXPECT_EQ(g_log, "");
}

TEST_F(TimeObjects, MakenoteSendsNoteOffsAfterTheDuration)
{
    object *mk = make("makenote 64 500");
    rec_.attach(mk, 0, "pitch");
    rec_.attach(mk, 1, "vel");
    send_text(mk, "int 60");
    run_until(100);
    send_text(mk, "int 62");
    run_until(1000);
    EXPECT_EQ(g_log, "vel@0 64 | pitch@0 60 | vel@100 64 | pitch@100 62 | vel@500 0 | pitch@500 60 | vel@600 0 | "
                     "pitch@600 62");
    g_log.clear();
    send_text(mk, "int 90", 1);
    send_text(mk, "float 70.9");
    send_text(mk, "int 71");
    send_text(mk, "stop");  // pending note-offs now, oldest first
    EXPECT_EQ(g_log, "vel@1000 90 | pitch@1000 70 | vel@1000 90 | pitch@1000 71 | vel@1000 0 | pitch@1000 70 | "
                     "vel@1000 0 | pitch@1000 71");
    EXPECT_EQ(kel::sched_pending_clocks(), 0);
    g_log.clear();
    send_text(mk, "int 72");
    send_text(mk, "clear");
    run_until(3000);
    EXPECT_EQ(g_log, "vel@1000 90 | pitch@1000 72");
}

TEST_F(TimeObjects, MakenoteFreedSendsItsPendingNoteOffs)
{
    object *mk = make_object("makenote 100 1000");
    rec_.attach(mk, 0, "pitch");
    rec_.attach(mk, 1, "vel");
    send_text(mk, "int 48");
    g_log.clear();
    freeobject(mk);
    EXPECT_EQ(g_log, "vel@0 0 | pitch@0 48");
    EXPECT_EQ(kel::sched_pending_clocks(), 0);
}

TEST_F(TimeObjects, StripnoteAndSustain)
{
    object *st = make("stripnote");
    rec_.attach(st, 0, "sp");
    rec_.attach(st, 1, "sv");
    send_text(st, "int 60");
    send_text(st, "int 80", 1);
    send_text(st, "float 61.5");
    EXPECT_EQ(g_log, "sv@0 80 | sp@0 61");
    g_log.clear();

    object *su = make("sustain 0 1");
    rec_.attach(su, 0, "p");
    rec_.attach(su, 1, "v");
    send_text(su, "int 90", 1);
    send_text(su, "int 60");  // a note-on passes
    send_text(su, "int 0", 1);
    send_text(su, "int 60");  // note-offs are held while sustaining
    send_text(su, "int 64");
    EXPECT_EQ(g_log, "v@0 90 | p@0 60");
    g_log.clear();
    send_text(su, "int 0", 2);  // released newest first
    EXPECT_EQ(g_log, "v@0 0 | p@0 64 | v@0 0 | p@0 60");
    g_log.clear();
    send_text(su, "int 65");  // sustain off: passes
    send_text(su, "int 1", 2);
    send_text(su, "int 66");
    send_text(su, "clear");
    send_text(su, "int 0", 2);
    EXPECT_EQ(g_log, "v@0 0 | p@0 65");
}

TEST_F(TimeObjects, AClockNameWithoutATimeBaseIsIgnored)
{
    object *d = make("delay 10");
    rec_.attach(d, 0, "d");
    kel::test::console_capture console;
    send_text(d, "clock nobase");
    send_text(d, "bang");
    run_until(20);
    EXPECT_EQ(g_log, "d@10 bang");
    EXPECT_TRUE(console.lines().empty());
}

}  // namespace
