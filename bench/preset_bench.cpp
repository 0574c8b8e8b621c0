// Presets over a patch of 1000 number boxes: storing a slot from every box,
// recalling it (the counter gives the kernel pool's bytes taken per recall:
// a recall allocates nothing), and loading the patch saved with 16 filled
// slots, whose messages are resolved at loadbang (resolve_ms: the loadbang
// delivery alone; load_ms: reading and building the patch before it).
#include <benchmark/benchmark.h>

#include <chrono>
#include <fstream>
#include <string>

#include "bench/bench_support.h"
#include "kel/kel.h"
#include "kernel/core/memory.h"
#include "kernel/patcher/patcher.h"
#include "objects/engine.h"

namespace {

constexpr int number_boxes = 1000;
constexpr int filled_slots = 16;

std::string numbers_patch()
{
    std::string text = "kel v2;\n#N vpatcher 0 0 800 600;\n";
    for (int k = 0; k < number_boxes; k++) {
        text += "#P number " + std::to_string(10 + (k % 40) * 40) + " " + std::to_string(10 + (k / 40) * 20) +
                " 35 9 0 0 0 3;\n";
    }
    text += "#P preset 700 500 47 27;\n#P pop;\n";
    return text;
}

void send_int(void *x, const char *selector, long n)
{
    atom a;
    atom_setlong(&a, n);
    typedmess(x, gensym(selector), 1, &a);
}

struct numbers {
    kel::bench::scratch_folder scratch;
    patcher *p = nullptr;
    box *preset = nullptr;

    numbers()
    {
        kel::engine_init();
        if (scratch.folder.empty()) return;
        std::ofstream(scratch.file("numbers.pat"), std::ios::binary) << numbers_patch();
        p = static_cast<patcher *>(fileload("numbers.pat", scratch.path));
        if (!p) return;
        preset = p->boxes;  // the newest box
        long k = 0;
        for (box *b = p->boxes->next; b; b = b->next) send_int(b, "set", k++);
    }
    ~numbers()
    {
        if (p) freeobject(p);
    }
};

void BM_PresetStore1000(benchmark::State &state)
{
    numbers n;
    if (!n.preset) {
        state.SkipWithError("the patch did not load");
        return;
    }
    for (auto _ : state) send_int(n.preset, "store", 1);
    state.SetItemsProcessed(state.iterations() * number_boxes);
}
BENCHMARK(BM_PresetStore1000)->Unit(benchmark::kMicrosecond);

void BM_PresetRecall1000(benchmark::State &state)
{
    numbers n;
    if (!n.preset) {
        state.SkipWithError("the patch did not load");
        return;
    }
    send_int(n.preset, "store", 1);
    const kel::pool_totals before = kel::pool_totals_get();
    for (auto _ : state) send_int(n.preset, "int", 1);
    const kel::pool_totals after = kel::pool_totals_get();
    state.counters["pool_bytes_per_recall"] =
        static_cast<double>(after.handed_out - before.handed_out) / static_cast<double>(state.iterations());
    state.SetItemsProcessed(state.iterations() * number_boxes);
}
BENCHMARK(BM_PresetRecall1000)->Unit(benchmark::kMicrosecond);

void BM_PresetResolve(benchmark::State &state)
{
    numbers n;
    if (!n.preset) {
        state.SkipWithError("the patch did not load");
        return;
    }
    for (long slot = 1; slot <= filled_slots; slot++) send_int(n.preset, "store", slot);
    binbuf *b = binbuf_new();
    patcher_save(n.p, b);
    const bool written = binbuf_write(b, "slots.pat", n.scratch.path, 0) == 0;
    freeobject(b);
    if (!written) {
        state.SkipWithError("the patch could not be written");
        return;
    }
    using clock = std::chrono::steady_clock;
    double load_ms = 0, resolve_ms = 0;
    for (auto _ : state) {
        loadbang_suspend();
        const clock::time_point start = clock::now();
        void *loaded = fileload("slots.pat", n.scratch.path);
        const clock::time_point built = clock::now();
        loadbang_resume();
        const clock::time_point resolved = clock::now();
        if (!loaded) {
            state.SkipWithError("the saved patch did not load");
            return;
        }
        freeobject(loaded);
        load_ms += std::chrono::duration<double, std::milli>(built - start).count();
        resolve_ms += std::chrono::duration<double, std::milli>(resolved - built).count();
    }
    const double count = static_cast<double>(state.iterations());
    state.counters["load_ms"] = load_ms / count;
    state.counters["resolve_ms"] = resolve_ms / count;
}
BENCHMARK(BM_PresetResolve)->Unit(benchmark::kMillisecond);

}  // namespace
