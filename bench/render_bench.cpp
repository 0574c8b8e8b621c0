// Drawing patches: the picture (SVG) of the generated patch of 10,000 boxes
// (load_patch/load_patch.h), drawn from the loaded model into a string. The
// patch is loaded once; figures are per picture.
#include <benchmark/benchmark.h>

#include <fstream>
#include <string>

#include "app/render.h"
#include "bench/bench_support.h"
#include "bench/load_patch/load_patch.h"
#include "kel/kel.h"

namespace {

void BM_Render10k(benchmark::State &state)
{
    kel::bench::scratch_folder scratch;
    if (scratch.folder.empty()) {
        state.SkipWithError("no folder for the patch");
        return;
    }
    std::ofstream(scratch.file("big.pat"), std::ios::binary) << kel::bench::load_patch_text();
    void *loaded = fileload("big.pat", scratch.path);
    if (!loaded) {
        state.SkipWithError("the patch did not load");
        return;
    }
    kel::app::render_settings settings;
    settings.title = "big.pat";
    std::string out;
    for (auto _ : state) {
        out.clear();
        kel::app::render_patcher(static_cast<patcher *>(loaded), settings, out);
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["svg_bytes"] = static_cast<double>(out.size());
    state.counters["boxes_per_second"] = benchmark::Counter(static_cast<double>(kel::bench::load_patch_boxes),
                                                            benchmark::Counter::kIsIterationInvariantRate);
    freeobject(loaded);
}
BENCHMARK(BM_Render10k)->Unit(benchmark::kMillisecond);

}  // namespace
