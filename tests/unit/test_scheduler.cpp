// The scheduler poll: order, slop, throttle, stop, takeover; the clock API.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <ctime>
#include <string>
#include <vector>

#include "call_log.h"
#include "console_capture.h"
#include "kel/kel.h"
#include "kernel/core/symbols.h"
#include "sched_support.h"

namespace {

using kel::test::g_log;
using kel::test::note;

struct named_clock {
    const char *name;
    kel_clock *clock = nullptr;
};

// Notes the clock's name and the logical time it saw.
void note_firing(void *arg)
{
    auto *n = static_cast<named_clock *>(arg);
    note("%s@%g", n->name, kel::sched_now());
}

class Clocks : public kel::test::SchedTest {
protected:
    void SetUp() override
    {
        SchedTest::SetUp();
        g_log.clear();
    }
    void TearDown() override
    {
        for (named_clock *n : made_) freeobject(n->clock);
        for (named_clock *n : made_) delete n;
        SchedTest::TearDown();
    }
    named_clock *make(const char *name)
    {
        auto *n = new named_clock{name};
        n->clock = clock_new(n, reinterpret_cast<kel_method>(&note_firing));
        made_.push_back(n);
        return n;
    }
    std::vector<named_clock *> made_;
};

TEST_F(Clocks, EqualTimesFireInTheOrderSetAndLaterSetsAfter)
{
    named_clock *a = make("a"), *b = make("b"), *c = make("c"), *d = make("d");
    clock_fdelay(b->clock, 10);
    clock_fdelay(a->clock, 10);
    clock_fdelay(d->clock, 5);
    clock_fdelay(c->clock, 10);  // set last for the same time: fires after a and b
    EXPECT_EQ(poll_at(20), 1);
    EXPECT_EQ(g_log, "d@5 | b@10 | a@10 | c@10");
}

TEST_F(Clocks, SettingAScheduledClockMovesItAndItFiresOnce)
{
    named_clock *a = make("a"), *b = make("b");
    clock_fdelay(a->clock, 10);
    clock_fdelay(b->clock, 20);
    clock_fdelay(a->clock, 30);
    poll_at(40);
    EXPECT_EQ(g_log, "b@20 | a@30");
    g_log.clear();
    poll_at(50);
    EXPECT_EQ(g_log, "");
}

TEST_F(Clocks, SlopDecidesWhetherALateClockKeepsItsTime)
{
    struct {
        double late;
        const char *seen;
    } const cases[] = {{0, "a@100"}, {10, "a@100"}, {24.5, "a@100"}, {25, "a@125"}, {30, "a@130"}};
    for (const auto &k : cases) {
        g_log.clear();
        named_clock *a = make("a");
        kel::sched_set_now(0);
        clock_fset(a->clock, 100);
        poll_at(100 + k.late);
        EXPECT_EQ(g_log, k.seen) << "late by " << k.late;
        // After the poll, logical time is the poll's time again.
        EXPECT_EQ(kel::sched_now(), 100 + k.late);
    }
}

TEST_F(Clocks, ThePollThrottleBoundsOnePoll)
{
    std::vector<named_clock *> forty;
    for (int i = 0; i < 40; i++) {
        forty.push_back(make("x"));
        clock_fdelay(forty.back()->clock, i % 3);
    }
    EXPECT_EQ(poll_at(10), 0);  // throttled
    EXPECT_EQ(kel::sched_pending_clocks(), 10);
    EXPECT_EQ(poll_at(10), 1);  // drained
    EXPECT_EQ(kel::sched_pending_clocks(), 0);
}

TEST_F(Clocks, ClocksLeftWaitingPastTheLimitAreReportedOnce)
{
    // Forty clocks, 30 a pass: the second pass fires the last ten. What is
    // said depends on how late the clocks left after the first pass are.
    struct {
        double late;
        bool said;
    } const cases[] = {{0, false}, {10, false}, {10.5, true}, {250, true}};
    for (const auto &k : cases) {
        kel::sched_restart();
        kel::sched_place_time(0);
        kel::sched_set_now(0);
        for (int i = 0; i < 40; i++) clock_fdelay(make("x")->clock, 5);
        kel::test::console_capture console;
        EXPECT_EQ(poll_at(5 + k.late), 0);
        EXPECT_EQ(poll_at(5 + k.late), 1);
        std::vector<std::string> want;
        if (k.said)
            want.push_back(
                kel::test::warning_line("scheduler: falling behind real time: clocks fire more than 10 ms late"));
        EXPECT_EQ(console.lines(), want) << "late by " << k.late;
    }
    // Said once: later passes left behind say nothing more.
    for (int i = 0; i < 40; i++) clock_fdelay(make("x")->clock, 0);
    kel::test::console_capture console;
    EXPECT_EQ(poll_at(1000), 0);
    EXPECT_TRUE(console.lines().empty());
}

int g_refires = 0;
void refire(void *arg)
{
    g_refires++;
    clock_fdelay(static_cast<kel_clock *>(arg), 0);
}

TEST_F(Clocks, AClockThatSetsItselfForNowRefiresUntilTheThrottleIsUsed)
{
    g_refires = 0;
    kel_clock *c = clock_new(nullptr, reinterpret_cast<kel_method>(&refire));
    c->arg = c;
    clock_fdelay(c, 0);
    EXPECT_EQ(poll_at(0), 0);
    EXPECT_EQ(g_refires, 30);
    int old = 0;
    sched_setpollthrottle(5, &old);
    EXPECT_EQ(old, 30);
    poll_at(0);
    EXPECT_EQ(g_refires, 35);
    freeobject(c);
}

TEST_F(Clocks, ThrottleWithMinusOneOnlyReads)
{
    int old = 0;
    sched_setpollthrottle(-1, &old);
    EXPECT_EQ(old, 30);
    sched_setpollthrottle(-1, &old);
    EXPECT_EQ(old, 30);
    sched_setqueuethrottle(-1, &old);
    EXPECT_EQ(old, 10);
    sched_setqueuethrottle(-1, nullptr);
    EXPECT_EQ(kel::sched_config().queue_throttle.load(), 10);
}

TEST_F(Clocks, NegativeDelays)
{
    named_clock *a = make("a"), *b = make("b");
    kel::sched_set_now(100);
    clock_delay(a->clock, -5);   // becomes 0: due at 100
    clock_fdelay(b->clock, -5);  // 5 ms in the past, within the slop
    poll_at(101);
    EXPECT_EQ(g_log, "b@95 | a@100");
}

TEST_F(Clocks, Fset2FiresAtTheOffsetButReadsItsOwnTime)
{
    named_clock *a = make("a"), *b = make("b");
    clock_fset2(a->clock, 10, 20);  // fires at 30, sees 10
    clock_fset(b->clock, 20);
    poll_at(25);
    EXPECT_EQ(g_log, "b@20");
    poll_at(30);
    EXPECT_EQ(g_log, "b@20 | a@10");
}

TEST_F(Clocks, ANaNTimeDoesNotHoldBackOtherClocks)
{
    named_clock *a = make("a"), *b = make("b");
    clock_fdelay(a->clock, std::nan(""));
    clock_fdelay(b->clock, 5);
    poll_at(10);
    EXPECT_EQ(g_log, "b@5");
    EXPECT_EQ(kel::sched_pending_clocks(), 1);
}

TEST_F(Clocks, UnsetAndFreeTakeAClockOff)
{
    named_clock *a = make("a"), *b = make("b");
    clock_fdelay(a->clock, 5);
    clock_fdelay(b->clock, 5);
    clock_unset(a->clock);
    clock_unset(a->clock);  // not scheduled: nothing happens
    freeobject(b->clock);
    b->clock = clock_new(b, reinterpret_cast<kel_method>(&note_firing));
    EXPECT_EQ(kel::sched_pending_clocks(), 0);
    poll_at(10);
    EXPECT_EQ(g_log, "");
}

TEST_F(Clocks, GettimeTruncatesTowardZero)
{
    struct {
        double now;
        long expected;
    } const cases[] = {{0, 0}, {1.9, 1}, {-1.5, -1}, {123456.999, 123456}};
    for (const auto &k : cases) {
        kel::sched_set_now(k.now);
        EXPECT_EQ(gettime(), k.expected) << k.now;
        EXPECT_EQ(getschedtime(), k.expected) << k.now;
        double t = 0;
        clock_getftime(&t);
        EXPECT_EQ(t, k.now);
    }
}

TEST_F(Clocks, StopDropsEveryPendingClockUntilResume)
{
    named_clock *a = make("a"), *b = make("b");
    clock_fdelay(a->clock, 5);
    clock_fdelay(b->clock, 50);
    kel::test::console_capture console;
    kel::sched_halt("Stack overflow. Choose Resume to restart the scheduler");
    EXPECT_EQ(console.lines().size(), 1u);
    EXPECT_EQ(kel::sched_pending_clocks(), 0);
    // While stopped a poll does nothing, even for clocks set since.
    clock_fdelay(a->clock, 1);
    poll_at(100);
    EXPECT_EQ(g_log, "");
    kel::sched_restart();
    poll_at(101);
    EXPECT_EQ(g_log, "a@101");  // b was dropped, not restored; a set since fires late
    // A dropped clock can be unset and set again.
    clock_unset(b->clock);
    clock_fdelay(b->clock, 1);
    poll_at(102);
    EXPECT_EQ(g_log, "a@101 | b@102");
}

// A clock that sets itself again for now: logical time never moves by itself.
class Stalls : public Clocks {
protected:
    void SetUp() override
    {
        Clocks::SetUp();
        g_refires = 0;
        kel::sched_config().stall_limit = 100;
        c_ = clock_new(nullptr, reinterpret_cast<kel_method>(&refire));
        c_->arg = c_;
        clock_fdelay(c_, 0);
    }
    void TearDown() override
    {
        freeobject(c_);
        kel::sched_config().stall_limit = 1000000;
        Clocks::TearDown();
    }
    kel_clock *c_ = nullptr;
};

TEST_F(Stalls, ClocksFiringWithoutTimeMovingStopTheSchedulerAcrossPolls)
{
    kel::test::console_capture console;
    // 30 a poll: the run reaches 100 in the fourth poll, which stops there.
    for (int i = 0; i < 4; i++) poll_at(7.5);
    EXPECT_EQ(g_refires, 100);
    EXPECT_TRUE(kel::sched_state().stopped.load());
    EXPECT_TRUE(kel::sched_state().stalled.load());
    EXPECT_EQ(kel::sched_pending_clocks(), 0);
    EXPECT_EQ(console.lines(),
              std::vector<std::string>{"Scheduler stopped: 100 clocks fired at 7.50 ms without time moving on"});
    poll_at(7.5);
    EXPECT_EQ(g_refires, 100);
    // Resume starts a new run and clears the reason.
    kel::sched_restart();
    EXPECT_FALSE(kel::sched_state().stalled.load());
    clock_fdelay(c_, 0);
    for (int i = 0; i < 3; i++) poll_at(7.5);
    EXPECT_EQ(g_refires, 190);
    EXPECT_FALSE(kel::sched_state().stopped.load());
}

TEST_F(Stalls, TheCountRestartsWheneverLogicalTimeMoves)
{
    // Three polls (90 clocks) at each time, time moving on (or back) in
    // between: no run reaches 100.
    for (double t : {0.0, 1.0, 1.5, 0.5, 100.0})
        for (int i = 0; i < 3; i++) poll_at(t);
    EXPECT_EQ(g_refires, 450);
    EXPECT_FALSE(kel::sched_state().stopped.load());
    // The fourth poll at one time ends the run.
    poll_at(100.0);
    EXPECT_EQ(g_refires, 460);
    EXPECT_TRUE(kel::sched_state().stalled.load());
}

TEST_F(Stalls, TheProgramsHandlerStopsTheScheduler)
{
    static std::string seen;
    seen.clear();
    kel::sched_set_stall_handler(+[](const char *alert) {
        seen = alert;
        kel::sched_halt(alert);
    });
    kel::test::console_capture console;
    for (int i = 0; i < 4; i++) poll_at(0);
    kel::sched_set_stall_handler(nullptr);  // back to sched_halt
    EXPECT_EQ(seen, "Scheduler stopped: 100 clocks fired at 0.00 ms without time moving on");
    EXPECT_TRUE(kel::sched_state().stopped.load());
}

TEST_F(Clocks, ThePollSetsItsFlagsAndCountsAnEvent)
{
    struct seen {
        short in_poll = 0;
        long lockout = 0;
        int isr = 1;
    } s;
    kel_clock *c = clock_new(&s, reinterpret_cast<kel_method>(+[](void *arg) {
        auto *x = static_cast<seen *>(arg);
        x->in_poll = sched_isinpoll();
        x->lockout = lockout_set(1);
        x->isr = isr();
    }));
    clock_fdelay(c, 0);
    kel::sym_empty->thing = reinterpret_cast<object *>(c);
    unsigned long events = kel::event_counter();
    long lockout = lockout_set(0);
    poll_at(1);
    EXPECT_EQ(s.in_poll, 1);
    EXPECT_EQ(s.lockout, 1);  // lockout is set for the whole poll
    EXPECT_EQ(s.isr, 0);      // not in overdrive
    EXPECT_EQ(lockout_set(lockout), 0);
    EXPECT_EQ(sched_isinpoll(), 0);
    EXPECT_EQ(kel::event_counter(), events + 1);
    EXPECT_EQ(kel::sym_empty->thing, nullptr);
    freeobject(c);
}

TEST_F(Clocks, DumpListsPendingClocksInFireOrder)
{
    named_clock *a = make("a"), *b = make("b");
    clock_fset(a->clock, 30);
    clock_fset2(b->clock, 10, 2.5);
    kel::sched_set_now(1.5);
    kel::test::console_capture console;
    kel::clocks_dump();
    EXPECT_EQ(console.lines(), (std::vector<std::string>{"time 1.5000", "  1: t    12.50    10.00     0",
                                                         "  2: t    30.00    30.00     0"}));
}

TEST_F(Clocks, APrivateSchedulerKeepsItsClocksAndItsTime)
{
    kel_scheduler *s = scheduler_new();
    ASSERT_NE(s, nullptr);
    scheduler_settime(s, 500);
    EXPECT_EQ(scheduler_set(s), nullptr);
    EXPECT_EQ(gettime(), 500);
    named_clock *inner = make("inner");  // joins s
    clock_fdelay(inner->clock, 10);      // at 510 on s's time
    EXPECT_EQ(scheduler_set(nullptr), s);
    named_clock *outer = make("outer");
    clock_fdelay(outer->clock, 10);
    EXPECT_EQ(kel::sched_pending_clocks(), 1);
    poll_at(1000);
    EXPECT_EQ(g_log, "outer@1000");  // late beyond the slop  // the global poll never fires s's clocks
    double t = 0;
    scheduler_gettime(s, &t);
    EXPECT_EQ(t, 500);
    scheduler_settime(nullptr, 7);
    EXPECT_EQ(kel::sched_now(), 7);
    freeobject(s);  // unsets its clocks
    clock_unset(inner->clock);
}

TEST_F(Clocks, OwnedClocksLeaveWithTheirOwner)
{
    kel_class *c = class_new("clockowner", nullptr, nullptr, sizeof(object), nullptr, 0);
    auto *owner = static_cast<object *>(object_alloc(c));
    auto *other = static_cast<object *>(object_alloc(c));
    named_clock *a = make("a"), *b = make("b"), *k = make("kept");
    auto setowner = reinterpret_cast<void (*)(kel_clock *, object *)>(gensym("clock_setowner")->thing);
    setowner(a->clock, owner);
    setowner(b->clock, owner);
    setowner(k->clock, other);
    clock_fdelay(a->clock, 5);
    clock_fdelay(k->clock, 6);
    clock_fdelay(b->clock, 7);
    freeobject(owner);
    EXPECT_EQ(kel::sched_pending_clocks(), 1);
    poll_at(10);
    EXPECT_EQ(g_log, "kept@6");
    freeobject(other);
}

TEST_F(Clocks, ManyClocksFireInExactOrder)
{
    // A pseudo-random mix of times with many ties: the firing order must be
    // (time, order set) exactly, also after unsets in the middle.
    std::vector<named_clock *> all;
    std::vector<std::pair<double, int>> expected;
    std::vector<std::string> names(500);
    unsigned seed = 12345;
    for (int i = 0; i < 500; i++) {
        names[i] = std::to_string(i);
        all.push_back(make(names[i].c_str()));
    }
    for (int round = 0; round < 2; round++)
        for (int i = 0; i < 500; i++) {
            seed = seed * 1103515245u + 12345u;
            clock_fset(all[i]->clock, (seed >> 16) % 40);
        }
    for (int i = 0; i < 500; i += 7) clock_unset(all[i]->clock);
    std::vector<std::pair<double, int>> fired;
    sched_setpollthrottle(1000, nullptr);
    kel::sched_config().slop = 1000;  // every callback sees its own time
    poll_at(100);
    // Expected: sort the second round's times by (time, set order).
    seed = 12345;
    for (int i = 0; i < 500; i++) seed = seed * 1103515245u + 12345u;
    for (int i = 0; i < 500; i++) {
        seed = seed * 1103515245u + 12345u;
        if (i % 7) expected.push_back({static_cast<double>((seed >> 16) % 40), i});
    }
    std::stable_sort(expected.begin(), expected.end(), [](const auto &x, const auto &y) { return x.first < y.first; });
    std::string want;
    for (const auto &[t, i] : expected) want += (want.empty() ? "" : " | ") + names[i] + "@" + std::to_string(int(t));
    EXPECT_EQ(g_log, want);
}

TEST_F(Clocks, TakeoverPollRunsOnlyInOverdriveWithTheHostsTime)
{
    auto *record = reinterpret_cast<sched_takeover *>(gensym("__takeover")->thing);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->samples_per_ms, 44.1);
    EXPECT_EQ(*record->overdrive_active, 0);
    named_clock *a = make("a");
    clock_fset(a->clock, 20);
    record->now = 25;
    record->poll();  // overdrive off: the host's poll does nothing
    EXPECT_EQ(g_log, "");
    kel::overdrive_active_set(true);
    EXPECT_EQ(*record->overdrive_active, 1);
    EXPECT_EQ(record->set_takeover(1), 0);
    record->now = 25;
    record->poll();
    EXPECT_EQ(g_log, "a@20");
    EXPECT_EQ(record->now, 25);
    EXPECT_EQ(*record->in_isr, 0);
    kel::overdrive_active_set(false);
    EXPECT_EQ(sched_set_takeover(0), 1);
}

TEST_F(Clocks, SymbolsBoundAtStartUp)
{
    EXPECT_NE(gensym("sched_start")->thing, nullptr);
    EXPECT_NE(gensym("##suspend##")->thing, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(gensym("##_initialenable_##")->thing), 1u);
    EXPECT_NE(gensym("clock_setowner")->thing, nullptr);
    EXPECT_NE(gensym("qelem_setowner")->thing, nullptr);
}

// The share of a core this thread gets now: busy for 50 ms of real time,
// the processor time it was given over the real time that passed.
double cpu_share_now()
{
    auto thread_ms = [] {
        timespec t{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
    };
    const auto began = std::chrono::steady_clock::now();
    const double cpu_began = thread_ms();
    volatile unsigned long spin = 0;
    while (std::chrono::steady_clock::now() - began < std::chrono::milliseconds(50)) spin = spin + 1;
    const double real = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - began).count();
    return (thread_ms() - cpu_began) / real;
}

// A hundred clocks every millisecond, for half a second of real time, on the
// main thread and in overdrive: more clocks fall due each millisecond than
// one poll fires, so the scheduler must run pass after pass to keep up.
TEST_F(Clocks, RealTimeKeepsUpWithMoreClocksThanOnePollFires)
{
    struct ticker {
        kel_clock *clock = nullptr;
        std::atomic<long> *count = nullptr;
    };
    for (bool overdrive : {false, true}) {
        std::atomic<long> count{0};
        std::vector<ticker> tickers(100);
        kel::sched_real_time();
        kel::sched_set_now(kel::timer_time());  // clocks are set from now
        kel::sched_start_timer();
        kel::event_timer_start();
        for (ticker &t : tickers) {
            t.count = &count;
            t.clock = clock_new(&t, reinterpret_cast<kel_method>(+[](void *arg) {
                auto *x = static_cast<ticker *>(arg);
                clock_fdelay(x->clock, 1);
                x->count->fetch_add(1, std::memory_order_relaxed);
            }));
            clock_fdelay(t.clock, 1);
        }
        kel_clock *end = clock_new(nullptr, reinterpret_cast<kel_method>(+[](void *) { kel::sched_request_quit(); }));
        clock_fdelay(end, 500);
        kel::sched_set_overdrive(overdrive);
        const double share = cpu_share_now();
        kel::main_loop();
        kel::sched_shutdown();
        clock_unset(end);
        freeobject(end);
        for (ticker &t : tickers) freeobject(t.clock);
        // 50,000 on time; a loaded machine may fall short, but not by a
        // poll's worth each millisecond. A machine that gives this thread
        // less than most of a core (other tests, a build) cannot tell.
        if (share < 0.7) continue;
        EXPECT_GE(count.load(), 20000) << (overdrive ? "overdrive" : "main thread");
    }
}

TEST_F(Clocks, VirtualTimeRunsTenMinutesOfClocksAtOnce)
{
    // A clock every second for ten minutes, in virtual time through the real
    // main loop; the idle hook ends the run when nothing is left.
    struct ticker {
        kel_clock *clock;
        int count = 0;
        double last = 0;
    } t;
    t.clock = clock_new(&t, reinterpret_cast<kel_method>(+[](void *arg) {
        auto *x = static_cast<ticker *>(arg);
        x->count++;
        x->last = kel::sched_now();
        if (x->count < 600) clock_fdelay(x->clock, 1000);
    }));
    kel::sched_set_virtual_time(true);
    kel::sched_place_time(0);
    clock_fdelay(t.clock, 1000);
    kel::main_loop_set_idle_hook(+[] {
        if (kel::sched_idle()) kel::sched_request_quit();
    });
    auto started = std::chrono::steady_clock::now();
    kel::main_loop();
    auto took = std::chrono::steady_clock::now() - started;
    kel::main_loop_set_idle_hook(nullptr);
    kel::sched_shutdown();
    EXPECT_EQ(t.count, 600);
    EXPECT_EQ(t.last, 600000);
    EXPECT_LT(took, std::chrono::seconds(2));
    freeobject(t.clock);
}

}  // namespace
