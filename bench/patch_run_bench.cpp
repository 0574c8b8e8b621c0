// Patches run by the scheduler: the patches of bench/patches, loaded from
// the source tree under virtual time, their loadbang starting a `metro 1`.
// Each iteration moves time on by 1 ms and runs the main loop's periodic
// service (queue, then clocks) as a --virtual-time run does, so one
// iteration is one tick of the metro. Figures are per tick; for the chains,
// items are deliveries.
//
// A counting object of this program is connected to the last box's outlet
// (one delivery more a tick) and checks that every tick reached the end of
// the patch with the value the patch computes, once per iteration.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <system_error>

#include "kel/kel.h"
#include "kernel/files/path.h"
#include "kernel/patcher/patcher.h"
#include "kernel/time/scheduler.h"

namespace {

struct tick_sink {
    object header;
    long expected;
    long arrived;  // messages with the expected value
    long wrong;    // anything else
};

void *tick_sink_int(tick_sink *x, long n)
{
    if (n == x->expected)
        x->arrived++;
    else
        x->wrong++;
    return nullptr;
}

void *tick_sink_anything(tick_sink *x, symbol *, long, atom *)
{
    x->wrong++;
    return nullptr;
}

kel_class *tick_sink_class()
{
    static kel_class *c = [] {
        kel_class *made = class_new("patch_run_bench_sink", nullptr, nullptr, sizeof(tick_sink), nullptr, 0);
        class_addmethod(made, reinterpret_cast<kel_method>(&tick_sink_int), "int", ATYPE_LONG, 0);
        class_addmethod(made, reinterpret_cast<kel_method>(&tick_sink_anything), "anything", ATYPE_GIMME, 0);
        class_register(gensym("nobox"), made);
        return made;
    }();
    return c;
}

// Virtual time from a whole millisecond for the length of one benchmark,
// then real time and the logical time found at the start.
class virtual_time {
public:
    virtual_time() : saved_now_(kel::sched_now())
    {
        kel::sched_set_virtual_time(true);
        start_ = std::ceil(std::max(kel::timer_time(), saved_now_)) + 1000.0;
        kel::timer_time_set(start_);
        kel::sched_set_now(start_);
    }
    ~virtual_time()
    {
        kel::sched_real_time();
        kel::sched_set_now(saved_now_);
    }
    virtual_time(const virtual_time &) = delete;
    virtual_time &operator=(const virtual_time &) = delete;

    double start() const { return start_; }

private:
    double saved_now_;
    double start_ = 0;
};

// What the --virtual-time main loop does when time reaches t.
void run_until(double t)
{
    kel::timer_time_set(t);
    kel::event_timer_procedure();
}

// Loads bench/patches/<name>, hands what its newest box sends to a counting
// object and runs one tick per iteration. deliveries: the deliveries of a
// tick, the counting object's included, counted as items when not 0.
void run_patch(benchmark::State &state, const char *name, long expected, long deliveries)
{
    kel::path_init();
    std::error_code failed;
    const std::string folder = std::filesystem::canonical(KEL_BENCH_PATCHES, failed).string();
    const short path = failed ? 0 : kel::path_id_of_folder(folder);
    if (!path) {
        state.SkipWithError("the folder of the bench patches was not found");
        return;
    }
    if (kel::sched_pending_clocks() != 0) {
        state.SkipWithError("clocks were pending before the patch loaded");
        return;
    }
    virtual_time time;
    auto *sink = static_cast<tick_sink *>(object_alloc(tick_sink_class()));
    sink->expected = expected;
    sink->arrived = sink->wrong = 0;
    auto *p = static_cast<patcher *>(fileload(name, path));
    box *last = p ? kel::patcher_box_at(p, 0) : nullptr;
    outlet *out = last && last->obj ? last->obj->outlets : nullptr;
    double next = 0;
    if (!out || outlet_add(out, sink) != 0) {
        state.SkipWithError("the patch did not load");
    } else if (!kel::sched_next_clock_time(&next) || next != time.start()) {
        state.SkipWithError("the metro was not started by the loadbang");
    } else {
        // The metro's first tick is due when the loadbang starts it.
        double t = time.start();
        run_until(t);
        for (auto _ : state) {
            t += 1.0;
            run_until(t);
        }
        const long ticks = static_cast<long>(state.iterations()) + 1;
        if (sink->wrong != 0)
            state.SkipWithError("the last box sent something other than what the patch computes");
        else if (sink->arrived != ticks)
            state.SkipWithError("an iteration ran other than one tick");
        else if (!kel::sched_next_clock_time(&next) || next != t + 1.0)
            state.SkipWithError("the metro's next tick is not 1 ms on");
        if (deliveries) state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * deliveries);
    }
    if (out) outlet_rm(out, sink);
    if (p) freeobject(p);
    freeobject(sink);
    if (kel::sched_pending_clocks() != 0) state.SkipWithError("the patch left a clock pending");
}

// metro -> message box `1` -> `+ 1` -> `i`: a tick with three deliveries
// (and the count's).
void BM_PatchTicks(benchmark::State &state) { run_patch(state, "ticks.pat", 2, 0); }
BENCHMARK(BM_PatchTicks);

// metro -> message box `1` -> 100 `+ 1` -> `i`: 102 deliveries and the
// count's.
void BM_PatchChainUntyped(benchmark::State &state) { run_patch(state, "chain_int.pat", 101, 103); }
BENCHMARK(BM_PatchChainUntyped);

// metro -> message box `foo 1` -> 100 `route bar` through their reject
// outlets -> `route foo`, which sends the 1: 102 deliveries and the count's.
void BM_PatchChainSymbol(benchmark::State &state) { run_patch(state, "chain_symbol.pat", 1, 103); }
BENCHMARK(BM_PatchChainSymbol);

}  // namespace
