// Loading patches: the generated patch of 10,000 boxes (message boxes and
// print objects in chains of four, joined by cords; load_patch/load_patch.h)
// loaded and freed, from its text and its binary form. Figures are per load
// and free; the counters split the two (milliseconds of each) and give the
// kernel pool's bytes per box while the patch is loaded.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench/bench_support.h"
#include "bench/load_patch/load_patch.h"
#include "kel/kel.h"
#include "kernel/core/memory.h"
#include "kernel/files/path.h"

namespace {

constexpr int box_count = kel::bench::load_patch_boxes;

// The folder holding both forms of the patch, made once.
struct patch_files {
    kel::bench::scratch_folder scratch;
    short path = 0;

    patch_files()
    {
        if (scratch.folder.empty()) return;
        path = scratch.path;
        std::ofstream(scratch.file("big.pat"), std::ios::binary) << kel::bench::load_patch_text();
        binbuf *b = binbuf_new();
        if (binbuf_read(b, "big.pat", path, 0) == 0) binbuf_write(b, "big.klb", path, 1);
        freeobject(b);
    }
};

const patch_files &files()
{
    static const patch_files f;
    return f;
}

void load_and_free(benchmark::State &state, const char *name)
{
    const patch_files &f = files();
    if (!f.path) {
        state.SkipWithError("no folder for the patch");
        return;
    }
    using clock = std::chrono::steady_clock;
    double bytes_per_box = 0, load_ms = 0, free_ms = 0;
    for (auto _ : state) {
        const kel::pool_totals before = kel::pool_totals_get();
        const clock::time_point start = clock::now();
        void *p = fileload(name, f.path);
        const clock::time_point loaded_at = clock::now();
        if (!p) {
            state.SkipWithError("the patch did not load");
            return;
        }
        const kel::pool_totals loaded = kel::pool_totals_get();
        bytes_per_box =
            static_cast<double>((loaded.handed_out - before.handed_out) - (loaded.given_back - before.given_back)) /
            box_count;
        freeobject(p);
        load_ms += std::chrono::duration<double, std::milli>(loaded_at - start).count();
        free_ms += std::chrono::duration<double, std::milli>(clock::now() - loaded_at).count();
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["load_ms"] = load_ms / n;
    state.counters["free_ms"] = free_ms / n;
    state.counters["pool_bytes_per_box"] = bytes_per_box;
    state.counters["boxes_per_second"] =
        benchmark::Counter(static_cast<double>(box_count), benchmark::Counter::kIsIterationInvariantRate);
}

void BM_PatchLoad10k(benchmark::State &state) { load_and_free(state, "big.pat"); }
BENCHMARK(BM_PatchLoad10k)->Unit(benchmark::kMillisecond);

void BM_PatchLoad10kBinary(benchmark::State &state) { load_and_free(state, "big.klb"); }
BENCHMARK(BM_PatchLoad10kBinary)->Unit(benchmark::kMillisecond);

}  // namespace
