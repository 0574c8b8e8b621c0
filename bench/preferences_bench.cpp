// Reading a preferences file: 200 lines to the application receiver's name
// (each a setting and its values, as a written preferences file holds them),
// read from disk, parsed and evaluated. Figures are per whole file.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "bench/bench_support.h"
#include "kel/kel.h"
#include "kernel/files/path.h"

namespace {

constexpr int line_count = 200;

struct counter {
    object header;
    long messages;
};

void *counter_anything(counter *x, symbol *, long, atom *)
{
    x->messages++;
    return nullptr;
}

// A folder holding the file, written with the preferences functions, and a
// receiver bound to `kel` that counts what it is sent.
struct preferences_file {
    kel::bench::scratch_folder scratch;
    short path = 0;
    counter *receiver = nullptr;

    preferences_file()
    {
        if (scratch.folder.empty()) return;
        kel_class *c = class_new("prefcounter", nullptr, nullptr, sizeof(counter), nullptr, 0);
        class_addmethod(c, reinterpret_cast<kel_method>(&counter_anything), "anything", ATYPE_GIMME, 0);
        class_register(gensym("nobox"), c);
        receiver = static_cast<counter *>(object_alloc(c));
        receiver->messages = 0;
        gensym("kel")->thing = &receiver->header;
        binbuf *b = preferences_open();
        for (int i = 0; i < line_count; i++) {
            const std::string setting = "setting" + std::to_string(i);
            preferences_add(b, "slfs", gensym(setting.c_str()), static_cast<long>(i), i * 0.5, gensym("value"));
        }
        if (preferences_close(b, "keloptions.txt", scratch.path) == 0) path = scratch.path;
    }
};

void BM_PreferencesRead200(benchmark::State &state)
{
    static preferences_file f;
    if (!f.path) {
        state.SkipWithError("no preferences file");
        return;
    }
    f.receiver->messages = 0;
    for (auto _ : state) {
        if (preferences_read("keloptions.txt", f.path, 0) != 0) {
            state.SkipWithError("the file was not read");
            return;
        }
    }
    if (f.receiver->messages != line_count * static_cast<long>(state.iterations()))
        state.SkipWithError("not every line reached the receiver");
    state.counters["lines_per_second"] =
        benchmark::Counter(static_cast<double>(line_count), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_PreferencesRead200)->Unit(benchmark::kMicrosecond);

}  // namespace
