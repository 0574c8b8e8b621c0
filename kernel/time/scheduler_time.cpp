// The time base: milliseconds since time zero.
//
// Normally read from the steady high-resolution clock; frozen at its last
// value while the scheduler timer is stopped (an audio host drives time
// then). In virtual time, and when a test places time by hand, it is a
// stored value that only moves when it is set.
#include <atomic>
#include <chrono>

#include "kernel/time/scheduler.h"

namespace kel {

constinit std::atomic<bool> g_stored{false};
constinit std::atomic<double> g_stored_time{0.0};

namespace {

std::atomic<double> g_time_zero{0.0};
std::atomic<bool> g_frozen{false};
std::atomic<double> g_frozen_time{0.0};
std::atomic<bool> g_virtual{false};

double steady_ms()
{
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

double since_zero()
{
    // Time zero is taken on first need and never reset.
    double zero = g_time_zero.load(std::memory_order_relaxed);
    if (zero == 0.0) {
        double expected = 0.0;
        zero = steady_ms();
        if (!g_time_zero.compare_exchange_strong(expected, zero)) zero = expected;
    }
    return steady_ms() - zero;
}

}  // namespace

double flowing_time()
{
    if (g_frozen.load(std::memory_order_relaxed)) return g_frozen_time.load(std::memory_order_relaxed);
    return since_zero();
}

void timer_time_set(double t)
{
    if (g_stored.load(std::memory_order_relaxed))
        g_stored_time.store(t, std::memory_order_relaxed);
    else
        g_frozen_time.store(t, std::memory_order_relaxed);
}

// The scheduler timer's start and stop decide whether real time flows.
void timebase_freeze(bool frozen)
{
    if (frozen) g_frozen_time.store(since_zero(), std::memory_order_relaxed);
    g_frozen.store(frozen, std::memory_order_relaxed);
}

void sched_set_virtual_time(bool on)
{
    if (on && !g_stored.load(std::memory_order_relaxed)) g_stored_time.store(timer_time(), std::memory_order_relaxed);
    g_stored.store(on, std::memory_order_relaxed);
    g_virtual.store(on, std::memory_order_relaxed);
}

bool sched_virtual_time() { return g_virtual.load(std::memory_order_relaxed); }

void sched_place_time(double t)
{
    g_stored_time.store(t, std::memory_order_relaxed);
    g_stored.store(true, std::memory_order_relaxed);
}

void sched_real_time()
{
    g_stored.store(false, std::memory_order_relaxed);
    g_virtual.store(false, std::memory_order_relaxed);
}

}  // namespace kel

using namespace kel;

KEL_API double systimer_gettime(void)
{
    if (g_stored.load(std::memory_order_relaxed)) return g_stored_time.load(std::memory_order_relaxed);
    return since_zero();
}
