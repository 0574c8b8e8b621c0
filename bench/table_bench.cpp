// Tables: an int into a `table` through a cord and its entry out (to compare
// with BM_OutletIntOne, one bare delivery), the quantile of a 128-entry table,
// and loading a patch that holds a 10,000-value table saved with it.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "bench/bench_support.h"
#include "kel/kel.h"
#include "kernel/files/path.h"
#include "objects/engine.h"
#include "objects/table.h"

namespace {

void BM_TableRead(benchmark::State &state)
{
    kel::engine_init();
    atom name;
    atom_setsym(&name, gensym("table_bench_read"));
    auto *t = static_cast<object *>(newinstance(gensym("table"), 1, &name));
    kel::bench::int_sink *s = kel::bench::int_sink_new();
    if (!t || !s) {
        state.SkipWithError("no table");
        return;
    }
    outlet_add(t->outlets, s);  // the leftmost outlet: the entries
    // An int arrives through a cord, as in a patch.
    kel::bench::int_sink *source = kel::bench::int_sink_new();
    outlet *in = intout(source);
    outlet_add(in, t);
    long i = 0;
    for (auto _ : state) outlet_int(in, i++ & 127);
    state.SetItemsProcessed(state.iterations());
    freeobject(source);
    freeobject(s);
    freeobject(t);
}
BENCHMARK(BM_TableRead);

void BM_TableQuantile(benchmark::State &state)
{
    kel::engine_init();
    atom name;
    atom_setsym(&name, gensym("table_bench_quantile"));
    auto *t = static_cast<object *>(newinstance(gensym("table"), 1, &name));
    kel::table_record *r = kel::table_find(gensym("table_bench_quantile"));
    if (!t || !r) {
        state.SkipWithError("no table");
        return;
    }
    for (long k = 0; k < 128; k++) kel::table_set(r, k, static_cast<int32_t>(k % 7 + 1));
    double fraction = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(kel::table_quantile(r, fraction));
        fraction = fraction >= 0.99 ? 0 : fraction + 0.01;
    }
    freeobject(t);
}
BENCHMARK(BM_TableQuantile);

void BM_TableLoad10k(benchmark::State &state)
{
    kel::engine_init();
    kel::bench::scratch_folder scratch;
    if (scratch.folder.empty()) {
        state.SkipWithError("no folder for the patch");
        return;
    }
    std::string text = "#N vpatcher 20 74 620 474;\n#N vtable 10000 100 100 400 300 17 128;\n";
    for (long start = 0; start < 10000; start += 128) {
        text += "#T set " + std::to_string(start);
        for (long k = start; k < start + 128 && k < 10000; k++) text += " " + std::to_string(k * 7 % 1000);
        text += ";\n";
    }
    text += "#P newobj 20 20 60 196617 table;\n#P pop;\n";
    std::ofstream(scratch.file("values.pat"), std::ios::binary) << text;
    const short path = scratch.path;
    for (auto _ : state) {
        void *p = fileload("values.pat", path);
        if (!p) {
            state.SkipWithError("the patch did not load");
            break;
        }
        freeobject(p);
    }
}
BENCHMARK(BM_TableLoad10k)->Unit(benchmark::kMillisecond);

}  // namespace
