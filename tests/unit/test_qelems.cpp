// Queue elements, the queue service, deferred and scheduled calls.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "atom_support.h"
#include "call_log.h"
#include "kel/kel.h"
#include "kernel/core/memory.h"
#include "kernel/time/qelems.h"
#include "sched_support.h"

namespace {

using kel::test::g_log;
using kel::test::note;

void note_arg(void *arg) { note("%s", static_cast<const char *>(arg)); }

// A deferred or scheduled call: notes the selector and the atoms.
void note_call(void *, symbol *s, long argc, atom *argv)
{
    std::string text = s ? s->name : "-";
    for (long i = 0; i < argc; i++) text.append(" ").append(kel::test::describe(argv[i]));
    note("%s", text.c_str());
}

class Queue : public kel::test::SchedTest {
protected:
    void SetUp() override
    {
        SchedTest::SetUp();
        g_log.clear();
        c_ = class_new("queueowner", nullptr, nullptr, sizeof(object), nullptr, 0);
    }
    void TearDown() override
    {
        for (qelem *q : made_) qelem_free(q);
        SchedTest::TearDown();
    }
    qelem *make(const char *name)
    {
        made_.push_back(qelem_new(const_cast<char *>(name), reinterpret_cast<kel_method>(&note_arg)));
        return made_.back();
    }
    object *new_owner() { return static_cast<object *>(object_alloc(c_)); }
    std::vector<qelem *> made_;
    kel_class *c_ = nullptr;
};

TEST_F(Queue, TheThrottleBoundsOneServiceAndKeepsTheRestInOrder)
{
    static const char *names[] = {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11", "12", "13", "14"};
    for (const char *n : names) qelem_set(make(n));
    EXPECT_EQ(kel::queue_service(), 1);
    EXPECT_EQ(g_log, "0 | 1 | 2 | 3 | 4 | 5 | 6 | 7 | 8 | 9");
    EXPECT_EQ(kel::queue_length(), 5);
    g_log.clear();
    EXPECT_EQ(kel::queue_service(), 1);
    EXPECT_EQ(g_log, "10 | 11 | 12 | 13 | 14");
    EXPECT_EQ(kel::queue_service(), 0);  // nothing ran
}

TEST_F(Queue, SettingTwiceQueuesOnceAndFrontMovesToTheHead)
{
    qelem *a = make("a"), *b = make("b"), *c = make("c");
    qelem_set(a);
    qelem_set(b);
    qelem_set(a);
    qelem_set(a);
    qelem_set(c);
    qelem_front(c);
    EXPECT_EQ(kel::queue_length(), 3);
    kel::queue_service();
    EXPECT_EQ(g_log, "c | a | b");
}

TEST_F(Queue, UnsetAndFreeTakeAnElementOut)
{
    qelem *a = make("a"), *b = make("b"), *c = make("c");
    qelem_set(a);
    qelem_set(b);
    qelem_set(c);
    qelem_unset(b);
    qelem_unset(b);
    made_.erase(made_.begin());
    qelem_free(a);
    kel::queue_service();
    EXPECT_EQ(g_log, "c");
}

struct resetter {
    qelem *q = nullptr;
    int runs = 0;
};

TEST_F(Queue, AnElementSetByItsOwnFunctionRunsAgainLater)
{
    resetter r;
    r.q = qelem_new(&r, reinterpret_cast<kel_method>(+[](void *arg) {
        auto *x = static_cast<resetter *>(arg);
        if (++x->runs < 3) qelem_set(x->q);
    }));
    qelem *other = make("other");
    qelem_set(r.q);
    qelem_set(other);
    kel::queue_service();
    EXPECT_EQ(r.runs, 3);
    EXPECT_EQ(g_log, "other");
    qelem_free(r.q);
}

TEST_F(Queue, FreeingTheOwnerRemovesItsElementsAndCalls)
{
    object *owner = new_owner();
    qelem *a = make("a"), *b = make("b");
    auto setowner = reinterpret_cast<void (*)(qelem *, object *)>(gensym("qelem_setowner")->thing);
    setowner(a, owner);
    qelem_set(a);
    qelem_set(b);
    atom argv[2] = {kel::test::L(1), kel::test::S("two")};
    defer_low(owner, reinterpret_cast<kel_method>(&note_call), gensym("cancelled"), 2, argv);
    schedule_delay(owner, reinterpret_cast<kel_method>(&note_call), 5, gensym("never"), 0, nullptr);
    long given_back = kel::pool_totals_get().given_back;
    freeobject(owner);
    // The call elements and their atoms went back to the pool.
    EXPECT_GT(kel::pool_totals_get().given_back, given_back);
    kel::queue_service();
    poll_at(10);
    EXPECT_EQ(g_log, "b");
}

TEST_F(Queue, IdlePriorityCallsSurviveTheirObjectButNotItsDeath)
{
    // "idlepriority" leaves the call without an owner: freeing the object
    // does not cancel it, and the runner then finds no live object there.
    object *owner = new_owner();
    defer_low(owner, reinterpret_cast<kel_method>(&note_call), gensym("idlepriority"), 0, nullptr);
    EXPECT_EQ(kel::queue_length(), 1);
    freeobject(owner);
    EXPECT_EQ(kel::queue_length(), 1);
    kel::queue_service();
    EXPECT_EQ(g_log, "");
    object *alive = new_owner();
    defer_low(alive, reinterpret_cast<kel_method>(&note_call), gensym("idlepriority"), 0, nullptr);
    kel::queue_service();
    EXPECT_EQ(g_log, "idlepriority");
    freeobject(alive);
}

TEST_F(Queue, DeferCallsAtOnceOnTheMainThreadAndQueuesFromAPoll)
{
    object *owner = new_owner();
    atom argv[1] = {kel::test::F(1.5f)};
    // The main thread, even with the poll flag set, calls at once.
    EXPECT_EQ(defer(owner, reinterpret_cast<kel_method>(&note_call), gensym("now"), 1, argv), nullptr);
    short old = isr_set(1);
    EXPECT_EQ(defer(owner, reinterpret_cast<kel_method>(&note_call), gensym("still"), 0, nullptr), nullptr);
    isr_set(old);
    EXPECT_EQ(g_log, "now F:1.5 | still");
    // Another thread inside a poll queues at the head.
    defer_low(owner, reinterpret_cast<kel_method>(&note_call), gensym("low"), 0, nullptr);
    std::thread([&] {
        isr_set(1);
        void *queued = defer(owner, reinterpret_cast<kel_method>(&note_call), gensym("deferred"), 1, argv);
        EXPECT_NE(queued, nullptr);
        void *medium = defer_medium(owner, reinterpret_cast<kel_method>(&note_call), gensym("medium"), 0, nullptr);
        EXPECT_NE(medium, nullptr);
        isr_set(0);
        // Outside a poll, defer_medium on another thread calls at once.
        EXPECT_EQ(defer_medium(owner, reinterpret_cast<kel_method>(&note_call), gensym("direct"), 0, nullptr), nullptr);
    }).join();
    defer_front(owner, reinterpret_cast<kel_method>(&note_call), gensym("front"), 0, nullptr);
    g_log.clear();
    kel::queue_service();
    EXPECT_EQ(g_log, "front | deferred F:1.5 | low | medium");
    freeobject(owner);
}

TEST_F(Queue, DeferredAtomsAreCopiesAndANullFunctionOnlyFreesItself)
{
    object *owner = new_owner();
    atom argv[2] = {kel::test::L(7), kel::test::S("x")};
    defer_low(owner, reinterpret_cast<kel_method>(&note_call), gensym("copy"), 2, argv);
    argv[0] = kel::test::L(8);
    long outstanding = kel::pool_totals_get().handed_out - kel::pool_totals_get().given_back;
    defer_low(owner, nullptr, gensym("nothing"), 2, argv);
    kel::queue_service();
    EXPECT_EQ(g_log, "copy L:7 S:x");
    EXPECT_LE(kel::pool_totals_get().handed_out - kel::pool_totals_get().given_back, outstanding);
    freeobject(owner);
}

TEST_F(Queue, ScheduledCallsRunAtTheirTime)
{
    object *owner = new_owner();
    atom argv[1] = {kel::test::L(3)};
    kel::sched_set_now(100);
    schedule(owner, reinterpret_cast<kel_method>(&note_call), 150, gensym("at150"), 1, argv);
    schedulef(owner, reinterpret_cast<kel_method>(&note_call), 50.0, gensym("past"), 0, nullptr);  // delay 0
    schedule_delay(owner, reinterpret_cast<kel_method>(&note_call), -5, gensym("clamped"), 0, nullptr);
    schedule_fdelay(owner, reinterpret_cast<kel_method>(&note_call), 20.5, gensym("fdelay"), 0, nullptr);
    schedule_defer(owner, reinterpret_cast<kel_method>(&note_call), 30, gensym("deferred"), 0, nullptr);
    argv[0] = kel::test::L(4);
    poll_at(100);
    EXPECT_EQ(g_log, "past | clamped");
    poll_at(200);
    // In normal mode the poll runs on the main thread: defer calls at once.
    EXPECT_EQ(g_log, "past | clamped | fdelay | deferred | at150 L:3");
    EXPECT_EQ(kel::sched_pending_clocks(), 0);
    freeobject(owner);
}

}  // namespace
