// How late a 1 ms periodic clock fires, in real time, through the real main
// loop: first with clocks fired by the main thread (normal), then by the
// scheduler timer thread (overdrive). One line per mode on stdout:
//
//   normal p50=<ms> p99=<ms> max=<ms>
//   overdrive p50=<ms> p99=<ms> max=<ms>
//
// Lateness is the real time at which the callback starts minus the time the
// firing was due. The due time is kept here, independently of the kernel:
// the first is one period after the clock is first set, and every firing
// adds one period, so a scheduler that loses time shows it as lateness.
//
// Usage: kel_jitter [seconds per mode, default 10]
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "kel/kel.h"
#include "kel/sched.h"
#include "kernel/kernel.h"
#include "kernel/scheduler.h"

namespace {

constexpr double period_ms = 1.0;

struct periodic {
    kel_clock *clock = nullptr;
    double due = 0;
    std::vector<double> lateness;  // touched only by the thread that fires clocks
    long rebased = 0;              // firings the kernel re-armed from the poll's time
    std::atomic<bool> done{false};
};

void periodic_tick(periodic *p)
{
    p->lateness.push_back(systimer_gettime() - p->due);
    if (p->done.load(std::memory_order_relaxed)) return;
    // A firing within the slop sees the time it was due, and the delay
    // counts from there. A firing later than that sees the poll's time: the
    // series starts again from it, and so does the due time kept here.
    double logical = kel::sched_now();
    if (std::fabs(logical - p->due) > 1e-6) {
        p->rebased++;
        p->due = logical;
    }
    p->due += period_ms;
    clock_fdelay(p->clock, period_ms);
}

void stop_tick(periodic *p)
{
    p->done.store(true, std::memory_order_relaxed);
    kel::sched_request_quit();
}

struct summary {
    double p50, p99, max;
};

// Nearest-rank percentiles.
summary summarise(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    auto rank = [&v](double q) {
        size_t i = static_cast<size_t>(std::ceil(q * static_cast<double>(v.size())));
        return v[std::clamp<size_t>(i, 1, v.size()) - 1];
    };
    return {rank(0.50), rank(0.99), v.back()};
}

// Runs the main loop for `seconds` with the periodic clock and prints the
// mode's line. False when the clock never fired.
bool run_mode(const char *name, bool overdrive, double seconds)
{
    periodic p;
    p.lateness.reserve(static_cast<size_t>(seconds * 1000.0 / period_ms) + 1000);
    p.clock = clock_new(&p, reinterpret_cast<kel_method>(&periodic_tick));
    kel_clock *stop = clock_new(&p, reinterpret_cast<kel_method>(&stop_tick));

    kel::sched_set_overdrive(overdrive);
    kel::sched_start_timer();
    kel::event_timer_start();
    // Neither timer fires clocks until the main loop runs, so the logical
    // time can be brought up to real time here and the series started.
    kel::sched_set_now(systimer_gettime());
    p.due = kel::sched_now() + period_ms;
    clock_fdelay(p.clock, period_ms);
    clock_fdelay(stop, seconds * 1000.0);
    kel::main_loop();
    // Joins both timer threads: after this nothing fires the clocks.
    kel::sched_shutdown();
    freeobject(p.clock);
    freeobject(stop);

    if (p.lateness.empty()) {
        std::fprintf(stderr, "kel_jitter: %s: the clock never fired\n", name);
        return false;
    }
    summary s = summarise(p.lateness);
    std::printf("%s p50=%.3f p99=%.3f max=%.3f\n", name, s.p50, s.p99, s.max);
    std::fflush(stdout);
    if (p.rebased)
        std::fprintf(stderr, "kel_jitter: %s: %ld firings were later than the slop and restarted the series\n",
                     name, p.rebased);
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    double seconds = 10.0;
    if (argc > 2 || (argc == 2 && !(std::strtod(argv[1], nullptr) > 0.0))) {
        std::fprintf(stderr, "usage: kel_jitter [seconds per mode, default 10]\n");
        return 2;
    }
    if (argc == 2) seconds = std::strtod(argv[1], nullptr);
    if (!kel::kernel_init()) {
        std::fprintf(stderr, "kel_jitter: the kernel did not start\n");
        return 1;
    }
    bool ok = run_mode("normal", false, seconds);
    ok = run_mode("overdrive", true, seconds) && ok;
    return ok ? 0 : 1;
}
