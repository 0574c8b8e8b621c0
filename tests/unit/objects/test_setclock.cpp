// setclock time bases: each mode's time, firing in time order at each
// clock's own time, aliases, masters, and the time objects on a setclock.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <string>
#include <thread>

#include "console_capture.h"
#include "object_support.h"
#include "sched_support.h"

namespace {

using kel::test::error_line;
using kel::test::g_log;
using kel::test::note;
using kel::test::run_until;
using kel::test::send_text;
using strings = std::vector<std::string>;

// A clock whose firing notes its tag and its setclock's time.
struct probe {
    object *base;
    const char *tag;
    kel_clock *clock;
};

void probe_fire(probe *p)
{
    double t;
    setclock_getftime(p->base, &t);
    note("%s@%g", p->tag, t);
}

class Setclock : public kel::test::ObjectTest {
protected:
    void TearDown() override
    {
        for (probe *p : probes_) {
            freeobject(p->clock);
            delete p;
        }
        probes_.clear();
        ObjectTest::TearDown();
    }
    // A probe set on base after delay.
    probe *at(object *base, const char *tag, double delay)
    {
        auto *p = new probe{base, tag, nullptr};
        p->clock = clock_new(p, reinterpret_cast<kel_method>(&probe_fire));
        probes_.push_back(p);
        setclock_fdelay(base, p->clock, delay);
        return p;
    }
    double time_of(object *base)
    {
        double t;
        setclock_getftime(base, &t);
        return t;
    }
    std::vector<probe *> probes_;
};

TEST_F(Setclock, PassFiresDueClocksInTimeOrderEachAtItsOwnTime)
{
    object *sc = make("setclock pace pass");
    at(sc, "a", 250);
    at(sc, "b", 100);
    at(sc, "c", 180.5);
    at(sc, "late", 300);
    send_text(sc, "int 100");
    EXPECT_EQ(g_log, "b@100");
    g_log.clear();
    send_text(sc, "float 250.5");  // whole milliseconds decide what is due
    EXPECT_EQ(g_log, "c@180.5 | a@250");
    EXPECT_DOUBLE_EQ(time_of(sc), 250.5) << "the full time stays after firing";
    rec_.attach(sc, 0, "out");
    g_log.clear();
    send_text(sc, "bang");
    EXPECT_EQ(g_log, "out@0 f250.5");
}

TEST_F(Setclock, AddAdvancesByEachValueAndKeepsFractions)
{
    object *sc = make("setclock step add");
    at(sc, "a", 20);
    at(sc, "b", 21);
    send_text(sc, "float 10");
    send_text(sc, "float 10");
    EXPECT_EQ(g_log, "a@20");
    send_text(sc, "float 0.5");
    send_text(sc, "float 0.5");  // two halves make a whole millisecond
    EXPECT_EQ(g_log, "a@20 | b@21");
    send_text(sc, "set 5");  // set puts the time, in add mode too
    EXPECT_DOUBLE_EQ(time_of(sc), 5);
}

TEST_F(Setclock, EqualTimesFireInTheOrderSetAndUnsetClocksDoNot)
{
    object *sc = make("setclock ties");
    at(sc, "first", 50);
    probe *gone = at(sc, "gone", 50);
    at(sc, "second", 50);
    at(sc, "third", 50);
    setclock_unset(sc, gone->clock);
    send_text(sc, "int 50");
    EXPECT_EQ(g_log, "first@50 | second@50 | third@50");
}

TEST_F(Setclock, AClockMovesBetweenTheSchedulerAndASetclock)
{
    object *sc = make("setclock moving");
    probe *p = at(nullptr, "p", 10);  // on the scheduler
    setclock_fdelay(sc, p->clock, 30);
    run_until(100);
    EXPECT_EQ(g_log, "") << "it left the scheduler";
    setclock_fdelay(nullptr, p->clock, 5);
    send_text(sc, "int 50");
    EXPECT_EQ(g_log, "") << "it left the setclock";
    run_until(200);
    EXPECT_EQ(g_log, "p@105");
}

TEST_F(Setclock, AnAliasActsOnItsPrimaryAndIsPromotedWhenItGoes)
{
    kel::test::console_capture console;
    object *primary = make("setclock shared pass");
    object *alias = make("setclock shared");
    EXPECT_EQ(gensym("shared")->thing, primary);
    rec_.attach(alias, 0, "alias");
    at(alias, "kept", 400);  // set on the primary; the probe reads the time through the alias
    send_text(alias, "int 120");
    send_text(alias, "bang");
    EXPECT_EQ(g_log, "alias@0 f120");
    g_log.clear();
    forget(primary);
    EXPECT_EQ(gensym("shared")->thing, alias) << "the alias took the name";
    send_text(alias, "int 400");
    EXPECT_EQ(g_log, "kept@400") << "the clocks waiting on the freed primary were handed over";
    forget(alias);
    EXPECT_EQ(gensym("shared")->thing, nullptr);
    EXPECT_EQ(console.lines(), strings{});
}

TEST_F(Setclock, CreationErrors)
{
    kel::test::console_capture console;
    EXPECT_EQ(make("setclock"), nullptr);
    EXPECT_EQ(make("setclock 5"), nullptr);
    object *odd = make("setclock oddly sideways");
    ASSERT_NE(odd, nullptr);
    rec_.attach(odd, 0, "odd");
    send_text(odd, "bang");  // mode 0: nothing
    object *taken = make("t b");
    gensym("busy")->thing = taken;
    object *busy = make("setclock busy");
    ASSERT_NE(busy, nullptr);
    EXPECT_EQ(gensym("busy")->thing, taken) << "left as it was";
    object *sc = make("setclock master-test ext");
    send_text(sc, "clock busy");
    send_text(sc, "clock nobody");
    gensym("busy")->thing = nullptr;
    EXPECT_EQ(console.lines(),
              (strings{error_line("setclock: bad arguments"), error_line("setclock: bad arguments"),
                       error_line("setclock: no mode sideways"), error_line("setclock: busy in use"),
                       error_line("setclock: busy not a setclock"), error_line("setclock: nobody not a setclock")}));
    EXPECT_EQ(g_log, "");
}

TEST_F(Setclock, TheUpdateIntervalIsClamped)
{
    struct Case {
        double interval;
        double after_10s;  // the mul setclock's advance over 10 s of scheduler time
    };
    // Multiplier 1: a step of one period at the start of each period (of
    // whole milliseconds, at least one): 0.001 steps each millisecond; an
    // interval clamped to 50,000 ms steps once in 10 s.
    const Case cases[] = {{0, 10001}, {100000, 50000}, {7, 10003}};
    for (const Case &c : cases) {
        object *sc = make("setclock clamp mul");
        send_text(sc, (std::string("float ") + std::to_string(c.interval)).c_str(), 1);
        const double start = time_of(sc);
        run_until(kel::sched_now() + 10000);
        EXPECT_NEAR(time_of(sc) - start, c.after_10s, 1) << c.interval;
        forget(sc);
    }
}

TEST_F(Setclock, MulRunsAtTheMultiplesRate)
{
    struct Case {
        const char *text;
        double rate;
    };
    const Case cases[] = {{"setclock m1 mul 1.", 1.0},
                          {"setclock m2 mul 2.", 0.5},
                          {"setclock mh mul 0.5", 2.0},
                          {"setclock m3 mul 3.", 1.0 / 3}};
    for (const Case &c : cases) {
        object *sc = make(c.text);
        const double start = time_of(sc);
        const double began = kel::sched_now();
        run_until(began + 10000);
        // A step behind at most: the update interval is 5 ms.
        EXPECT_NEAR(time_of(sc) - start, 10000 * c.rate, 5 * c.rate + 1) << c.text;
        forget(sc);
    }
}

TEST_F(Setclock, MulTakesANewMultiplierAndRefusesOneThatVanishes)
{
    object *sc = make("setclock speed mul");
    run_until(1000);
    const double one = time_of(sc);
    send_text(sc, "float 0.0001");  // × 1000 truncates to 0: refused
    send_text(sc, "float 2");
    const double began = kel::sched_now();
    run_until(began + 1000);
    EXPECT_NEAR(time_of(sc) - one, 500, 3);
}

TEST_F(Setclock, ExtFollowsTheExternalTimeAndMovesWaitingClocksOnAJump)
{
    kel::clock_set_external_time(0, 1);
    object *sc = make("setclock sync ext");
    run_until(1);
    at(sc, "near", 100);
    kel::clock_set_external_time(90, 1);
    run_until(10);
    EXPECT_EQ(g_log, "");
    kel::clock_set_external_time(2000, 1);  // a jump: the clock moves with it, to 2010
    run_until(20);
    EXPECT_EQ(g_log, "");
    kel::clock_set_external_time(2010, 1);
    run_until(30);
    EXPECT_EQ(g_log, "near@2010");
    kel::clock_set_external_time(0, 0);
}

TEST_F(Setclock, InterpSpreadsEachSegmentOverTheTimeBetweenMessages)
{
    object *sc = make("setclock follow interp");
    send_text(sc, "float 100");
    double last = time_of(sc);
    double previous = kel::sched_now();
    for (int i = 0; i < 10; i++) {
        at(sc, "tick", 50);
        run_until(previous + 100);
        previous = kel::sched_now();
        send_text(sc, "float 100");
        const double t = time_of(sc);
        EXPECT_GE(t, last) << "never backwards";
        last = t;
    }
    // Ten segments of 100 ms, each entered at its start.
    EXPECT_NEAR(last, 1000, 20);
    EXPECT_EQ(std::count(g_log.begin(), g_log.end(), '@'), 10);
}

TEST_F(Setclock, SlavesRunOnTheirMasterAndOnTheSchedulerOnceItGoes)
{
    kel::test::console_capture console;
    object *master = make("setclock boss pass");
    object *slave = make("setclock worker mul");
    send_text(slave, "clock boss");
    const double start = time_of(slave);
    run_until(1000);
    EXPECT_NEAR(time_of(slave), start, 0.001) << "the master's time stood still";
    send_text(master, "int 100");
    EXPECT_GT(time_of(slave), start);
    send_text(master, "clock worker");  // would lead back to itself
    forget(master);
    const double freed = time_of(slave);
    run_until(kel::sched_now() + 1000);
    EXPECT_NEAR(time_of(slave) - freed, 1000, 6) << "on the scheduler now";
    EXPECT_EQ(console.lines(), strings{error_line("setclock: worker would be its own master")});
}

TEST_F(Setclock, TimeObjectsRunOnASetclock)
{
    object *sc = make("setclock beat pass");
    object *m = make("metro 100 beat");
    object *d = make("delay 30");
    object *t = make("timer");
    rec_.attach(m, 0, "metro");
    rec_.attach(d, 0, "delay");
    rec_.attach(t, 0, "timer");
    send_text(d, "clock beat");
    send_text(t, "clock beat");
    send_text(m, "bang");
    send_text(d, "bang");
    send_text(t, "bang");
    run_until(1000);
    EXPECT_EQ(g_log, "") << "nothing moves until the setclock does";
    send_text(sc, "int 250");
    send_text(t, "bang", 1);
    EXPECT_EQ(g_log, "metro@1000 bang | delay@1000 bang | metro@1000 bang | metro@1000 bang | timer@1000 f250");
}

TEST_F(Setclock, TicksOnTheSchedulerThreadWhileTheMainThreadSetsClocks)
{
    object *sc = make("setclock busy-base mul");
    std::atomic<bool> done{false};
    std::thread scheduler([&] {
        for (double t = 1; !done.load(); t += 5) {
            kel::sched_place_time(t);
            kel::sched_poll();
        }
    });
    for (int i = 0; i < 2000; i++) {
        probe *p = at(sc, "p", 1e9);
        setclock_unset(sc, p->clock);
        send_text(sc, i % 2 ? "float 1" : "float 2");
    }
    done.store(true);
    scheduler.join();
    EXPECT_EQ(g_log, "");
}

}  // namespace

namespace {

TEST_F(Setclock, TheDumpListsTheWaitingClocksInOrder)
{
    kel::test::console_capture console;
    object *sc = make("setclock listed add");
    object *m = make("metro 10 listed");
    send_text(sc, "float 2.5");
    at(sc, "b", 40);
    send_text(m, "bang");
    object_method(sc, gensym("dblclick"));
    const strings lines = console.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "setclock listed at 2.5000:");
    EXPECT_TRUE(lines[1].starts_with(" 0 time 2.5000 fun ") && lines[1].ends_with(" owner metro")) << lines[1];
    EXPECT_TRUE(lines[2].starts_with(" 1 time 42.5000 fun ") && lines[2].ends_with(" owner (none)")) << lines[2];
}

}  // namespace
