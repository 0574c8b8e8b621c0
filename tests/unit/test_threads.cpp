// Locks, threads, the wall clock, and clocks across the main and scheduler
// threads in overdrive.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "kel/kel.h"
#include "kernel/core/locks.h"
#include "sched_support.h"

namespace {

// Whether another thread could take the global lock right now.
bool global_lock_free_elsewhere()
{
    bool free = false;
    std::thread([&] {
        if (kel::global_lock().try_lock()) {
            free = true;
            kel::global_lock().unlock();
        }
    }).join();
    return free;
}

TEST(Critical, NullLocksTheGlobalLockOnlyInOverdrive)
{
    critical_enter(nullptr);
    EXPECT_TRUE(global_lock_free_elsewhere());
    critical_exit(nullptr);

    critical_enter(CRITICAL_GLOBAL);
    EXPECT_FALSE(global_lock_free_elsewhere());
    critical_exit(CRITICAL_GLOBAL);

    kel::overdrive_active_set(true);
    critical_enter(nullptr);
    EXPECT_FALSE(global_lock_free_elsewhere());
    // Overdrive ending in between: the exit still releases what the enter took.
    kel::overdrive_active_set(false);
    critical_exit(nullptr);
    EXPECT_TRUE(global_lock_free_elsewhere());
    // And an enter that took nothing releases nothing, whatever overdrive is by then.
    critical_enter(nullptr);
    kel::overdrive_active_set(true);
    critical_exit(nullptr);
    kel::overdrive_active_set(false);
    EXPECT_TRUE(global_lock_free_elsewhere());
}

TEST(Critical, TryEnterAndPrivateLocks)
{
    critical *c = nullptr;
    critical_new(&c);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(critical_tryenter(c), 0);
    EXPECT_EQ(critical_tryenter(c), 0);  // the holder may enter again
    int busy = -1;
    std::thread([&] { busy = critical_tryenter(c); }).join();
    EXPECT_EQ(busy, 1);
    critical_exit(c);
    critical_exit(c);
    std::thread([&] {
        busy = critical_tryenter(c);
        if (!busy) critical_exit(c);
    }).join();
    EXPECT_EQ(busy, 0);
    critical_free(c);
    EXPECT_EQ(critical_tryenter(nullptr), 0);  // nothing to take outside overdrive
    critical_exit(nullptr);

    systhread_mutex *m = nullptr;
    EXPECT_EQ(systhread_mutex_newlock(&m, 0), 0);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(systhread_mutex_unlock(m), 0);
    EXPECT_EQ(systhread_mutex_trylock(m), 0);
    EXPECT_EQ(systhread_mutex_unlock(m), 0);
    EXPECT_EQ(systhread_mutex_free(m), 0);
}

// The hot-path lock: recursive on its owner, exclusive across threads, and a
// thread that waited for it is woken when it is given back.
TEST(RecursiveLock, NestsOnItsOwnerAndExcludesOtherThreads)
{
    kel::recursive_lock lock;
    lock.lock();
    EXPECT_TRUE(lock.try_lock());
    bool other_got_it = true;
    std::thread([&] { other_got_it = lock.try_lock(); }).join();
    EXPECT_FALSE(other_got_it) << "held twice by this thread";
    lock.unlock();
    std::thread([&] { other_got_it = lock.try_lock(); }).join();
    EXPECT_FALSE(other_got_it) << "still held once";

    // A thread blocked in lock() gets it once the owner lets go.
    std::atomic<bool> taken{false};
    std::thread waiter([&] {
        lock.lock();
        taken = true;
        lock.unlock();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(taken.load());
    lock.unlock();
    waiter.join();
    EXPECT_TRUE(taken.load());

    // Four threads adding under the lock lose no increment.
    long total = 0;
    std::vector<std::thread> adders;
    for (int t = 0; t < 4; t++)
        adders.emplace_back([&] {
            for (int i = 0; i < 20000; i++) {
                std::lock_guard outer(lock);
                std::lock_guard inner(lock);
                total++;
            }
        });
    for (std::thread &a : adders) a.join();
    EXPECT_EQ(total, 80000);
    EXPECT_TRUE(lock.try_lock());
    lock.unlock();
}

TEST(Systhread, CreateJoinSleepTerminateAndConditions)
{
    struct shared {
        systhread_mutex *m = nullptr;
        systhread_cond cond = nullptr;
        bool ready = false;
        int main_thread = -1;
    } s;
    systhread_mutex_new(&s.m, 0);
    systhread_cond_new(&s.cond, 0);
    systhread t = nullptr;
    ASSERT_EQ(systhread_create(reinterpret_cast<kel_method>(+[](void *arg) {
                                   auto *x = static_cast<shared *>(arg);
                                   x->main_thread = systhread_ismainthread();
                                   systhread_mutex_lock(x->m);
                                   x->ready = true;
                                   systhread_cond_signal(x->cond);
                                   systhread_mutex_unlock(x->m);
                                   systhread_exit(42);
                               }),
                               &s, 0, 0, 0, &t),
              0);
    systhread_mutex_lock(s.m);
    while (!s.ready) systhread_cond_wait(s.cond, s.m);
    systhread_mutex_unlock(s.m);
    unsigned int status = 0;
    EXPECT_EQ(systhread_join(t, &status), 0);
    EXPECT_EQ(status, 42u);
    EXPECT_EQ(s.main_thread, 0);
    EXPECT_EQ(systhread_ismainthread(), 1);

    // A long sleep ends when the thread is asked to end.
    systhread sleeper = nullptr;
    auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(systhread_create(reinterpret_cast<kel_method>(+[](void *) { systhread_sleep(60000); }), nullptr, 0, 0, 0,
                               &sleeper),
              0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    systhread_terminate(sleeper);
    EXPECT_EQ(systhread_join(sleeper, nullptr), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    EXPECT_NE(systhread_self(), nullptr);
    systhread_cond_free(s.cond);
    systhread_mutex_free(s.m);
}

TEST(Systime, DatesConvertBothWays)
{
    systime_date d{};
    systime_secondstodate(0, &d);
    EXPECT_EQ(d.year, 1904);
    EXPECT_EQ(d.month, 1);
    EXPECT_EQ(d.day, 1);
    systime_date later{2026, 12, 10, 6, 30, 15, 0, 0};
    unsigned long secs = systime_datetoseconds(&later);
    systime_secondstodate(secs, &d);
    EXPECT_EQ(d.year, 2026);
    EXPECT_EQ(d.month, 12);
    EXPECT_EQ(d.day, 10);
    EXPECT_EQ(d.hour, 6);
    EXPECT_EQ(d.minute, 30);
    EXPECT_EQ(d.second, 15);
    EXPECT_EQ(d.day_of_week, 5);  // a Thursday
    unsigned long a = systime_ms();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_GE(systime_ms() - a, 4u);
    systime_datetime(&d);
    EXPECT_GE(d.year, 2024);
}

// Overdrive for real: the scheduler timer thread fires clocks while the main
// thread sets and unsets them and services the queue.
class Overdrive : public kel::test::SchedTest {};

struct overdrive_probe {
    kel_clock *clock = nullptr;
    qelem *q = nullptr;
    std::atomic<int> fired{0};
    std::atomic<int> fired_off_timer_thread{0};
    std::atomic<int> serviced{0};
    std::atomic<int> serviced_off_main{0};
};

void probe_clock(void *arg)
{
    auto *p = static_cast<overdrive_probe *>(arg);
    p->fired++;
    if (!systhread_istimerthread() || !isr()) p->fired_off_timer_thread++;
    // Re-arm from the scheduler thread and hand work to the main thread.
    if (p->fired % 2) clock_fdelay(p->clock, 1);
    qelem_set(p->q);
    defer(nullptr, reinterpret_cast<kel_method>(+[](void *, symbol *, long, atom *) {}), nullptr, 0, nullptr);
}

void probe_qelem(void *arg)
{
    auto *p = static_cast<overdrive_probe *>(arg);
    p->serviced++;
    if (!systhread_ismainthread()) p->serviced_off_main++;
}

TEST_F(Overdrive, ClocksFireOnTheSchedulerThreadWhileTheMainThreadServicesTheQueue)
{
    kel::sched_real_time();
    std::vector<overdrive_probe> probes(8);
    for (auto &p : probes) {
        p.clock = clock_new(&p, reinterpret_cast<kel_method>(&probe_clock));
        p.q = qelem_new(&p, reinterpret_cast<kel_method>(&probe_qelem));
    }
    kel::sched_start_timer();
    kel::overdrive_active_set(true);
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    int round = 0;
    while (std::chrono::steady_clock::now() < until) {
        for (auto &p : probes) {
            if (round % 3 == 0)
                clock_unset(p.clock);
            else
                clock_fdelay(p.clock, round % 4);
        }
        kel::queue_service();
        round++;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    // The timer thread stops (joined) before overdrive ends: a poll still
    // running when the flag drops would fire its clocks outside overdrive.
    kel::sched_stop_timer();
    kel::overdrive_active_set(false);
    kel::queue_service();
    int fired = 0;
    for (auto &p : probes) {
        fired += p.fired;
        EXPECT_EQ(p.fired_off_timer_thread, 0);
        EXPECT_EQ(p.serviced_off_main, 0);
        freeobject(p.clock);
        qelem_free(p.q);
    }
    EXPECT_GT(fired, 50);
}

// The main loop in real time sleeps while nothing is due, and work made on
// another thread wakes it at once: a queue element set, and a clock set for
// a moment before the one the loop sleeps toward. A lost wake-up shows as
// work done a second late (the loop's safety wake), far past the bounds.
class MainLoopWaking : public kel::test::SchedTest {
protected:
    void TearDown() override
    {
        kel::main_loop_set_idle_hook(nullptr);
        kel::sched_shutdown();
        SchedTest::TearDown();
    }
};

struct waking_probe {
    using steady = std::chrono::steady_clock;
    std::atomic<int> turns{0};
    std::atomic<int> idle_turns{-1};  // turns while nothing was due
    steady::time_point queued, serviced, set, fired;
    qelem *q = nullptr;
    kel_clock *late = nullptr;  // the clock the loop sleeps toward
    kel_clock *clock = nullptr;
};

waking_probe *g_waking = nullptr;

TEST_F(MainLoopWaking, SleepsWhileIdleAndWakesForWorkFromAnotherThread)
{
    using steady = std::chrono::steady_clock;
    waking_probe w;
    g_waking = &w;
    w.q = qelem_new(&w, reinterpret_cast<kel_method>(
                            +[](void *arg) { static_cast<waking_probe *>(arg)->serviced = steady::now(); }));
    w.clock = clock_new(&w, reinterpret_cast<kel_method>(+[](void *arg) {
        static_cast<waking_probe *>(arg)->fired = steady::now();
        kel::sched_request_quit();
    }));
    w.late = clock_new(&w, reinterpret_cast<kel_method>(+[](void *) { kel::sched_request_quit(); }));
    kel::sched_real_time();
    kel::sched_set_now(kel::timer_time());
    clock_fdelay(w.late, 30000);
    kel::main_loop_set_idle_hook(+[] { g_waking->turns++; });
    kel::event_timer_start();
    std::thread other([&w] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        w.idle_turns = w.turns.load();
        w.queued = steady::now();
        qelem_set(w.q);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        w.set = steady::now();
        clock_fdelay(w.clock, 5);
    });
    kel::main_loop();
    other.join();
    g_waking = nullptr;
    // The first turn runs before the loop sleeps; 300 ms of 2 ms event
    // ticks would be 150 turns.
    EXPECT_LE(w.idle_turns.load(), 2);
    EXPECT_LT(w.serviced - w.queued, std::chrono::milliseconds(250));
    EXPECT_GE(w.serviced, w.queued);
    EXPECT_LT(w.fired - w.set, std::chrono::milliseconds(250));
    EXPECT_GE(w.fired, w.set);
    freeobject(w.clock);
    freeobject(w.late);
    qelem_free(w.q);
}

}  // namespace
