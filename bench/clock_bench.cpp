// The scheduler's two services: a clock set and fired by the scheduler poll
// among many pending clocks, and a qelem set and run by the queue service.
// Figures are per set-and-fire (per set-and-run).
//
// Both leave the scheduler as they found it: real time, the logical time
// put back, no clock of theirs pending and nothing of theirs queued.
#include <benchmark/benchmark.h>

#include <climits>
#include <vector>

#include "kel/kel.h"
#include "kernel/time/qelems.h"
#include "kernel/time/scheduler.h"

namespace {

long g_fired = 0;

void count_firing(void *) { g_fired++; }

// Time placed by hand for the length of one benchmark, then real time again.
class placed_time {
public:
    explicit placed_time(double t) : saved_now_(kel::sched_now()) { kel::sched_place_time(t); }
    ~placed_time()
    {
        kel::sched_real_time();
        kel::sched_set_now(saved_now_);
    }
    placed_time(const placed_time &) = delete;
    placed_time &operator=(const placed_time &) = delete;

private:
    double saved_now_;
};

// The scheduler's runaway check (that many clocks fired without time moving
// on stops it) off for the length of one benchmark: every iteration fires at
// the same time.
class no_stall_limit {
public:
    no_stall_limit() : saved_(kel::sched_config().stall_limit.load()) { kel::sched_config().stall_limit = LONG_MAX; }
    ~no_stall_limit() { kel::sched_config().stall_limit = saved_; }
    no_stall_limit(const no_stall_limit &) = delete;
    no_stall_limit &operator=(const no_stall_limit &) = delete;

private:
    long saved_;
};

// Runs the queue until it is empty (the console's redraw element may be
// waiting), so that a service runs only what the benchmark set.
bool drain_queue()
{
    for (int pass = 0; pass < 1000 && !kel::queue_is_empty(); pass++) kel::queue_service();
    return kel::queue_is_empty();
}

void BM_ClockSetFire(benchmark::State &state)
{
    constexpr double start = 1000.0;
    const long others = state.range(0);
    const long pending_before = kel::sched_pending_clocks();
    std::vector<kel_clock *> later;
    kel_clock *c = nullptr;
    {
        placed_time placed(start);
        // A million firings at one time would read as a runaway loop.
        no_stall_limit unlimited;
        // The others are due later than the benchmark will ever reach, at
        // distinct times spread over the heap.
        later.reserve(static_cast<size_t>(others));
        for (long i = 0; i < others; i++) {
            later.push_back(clock_new(nullptr, reinterpret_cast<kel_method>(&count_firing)));
            clock_fset(later.back(), start + 1.0e6 + static_cast<double>((i * 7919) % others));
        }
        c = clock_new(nullptr, reinterpret_cast<kel_method>(&count_firing));
        g_fired = 0;
        for (auto _ : state) {
            clock_fset(c, start);
            kel::sched_poll();
        }
        if (g_fired != static_cast<long>(state.iterations()))
            state.SkipWithError("firings did not match the sets: one per set, none of the later clocks");
        else if (kel::sched_pending_clocks() != pending_before + others)
            state.SkipWithError("a later clock fired or left the list");
        for (kel_clock *l : later) freeobject(l);
        freeobject(c);
    }
    if (kel::sched_pending_clocks() != pending_before) state.SkipWithError("clocks were left pending");
}
BENCHMARK(BM_ClockSetFire)->Arg(10000);

// The same on a setclock in pass mode: the clock set on it for its current
// time, then fired by a time message, among many clocks waiting later.
void BM_SetclockSetFire(benchmark::State &state)
{
    const long others = state.range(0);
    atom argv[2];
    atom_setsym(&argv[0], gensym("bench-beat"));
    atom_setsym(&argv[1], gensym("pass"));
    auto *base = static_cast<object *>(newinstance(gensym("setclock"), 2, argv));
    if (!base) {
        state.SkipWithError("no setclock");
        return;
    }
    std::vector<kel_clock *> later;
    later.reserve(static_cast<size_t>(others));
    for (long i = 0; i < others; i++) {
        later.push_back(clock_new(nullptr, reinterpret_cast<kel_method>(&count_firing)));
        setclock_fdelay(base, later.back(), 1.0e6 + static_cast<double>((i * 7919) % others));
    }
    kel_clock *c = clock_new(nullptr, reinterpret_cast<kel_method>(&count_firing));
    symbol *const sym_int = gensym("int");
    atom zero;
    atom_setlong(&zero, 0);
    g_fired = 0;
    for (auto _ : state) {
        setclock_fdelay(base, c, 0);
        typedmess(base, sym_int, 1, &zero);  // the time stays at 0: the clock due then fires
    }
    if (g_fired != static_cast<long>(state.iterations()))
        state.SkipWithError("firings did not match the sets: one per set, none of the later clocks");
    for (kel_clock *l : later) freeobject(l);
    freeobject(c);
    freeobject(base);
}
BENCHMARK(BM_SetclockSetFire)->Arg(10000);

void BM_QelemSetService(benchmark::State &state)
{
    if (!drain_queue()) {
        state.SkipWithError("the queue would not empty");
        return;
    }
    qelem *q = qelem_new(nullptr, reinterpret_cast<kel_method>(&count_firing));
    g_fired = 0;
    for (auto _ : state) {
        qelem_set(q);
        kel::queue_service();
    }
    if (g_fired != static_cast<long>(state.iterations())) state.SkipWithError("the qelem did not run once per set");
    qelem_free(q);
}
BENCHMARK(BM_QelemSetService);

}  // namespace
