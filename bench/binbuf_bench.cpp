// Message buffers: reading patch text into atoms (bytes per second, what
// loading a text patcher costs) and evaluating messages (messages per
// second, what a message box or a message file costs to send).
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "kel/kel.h"

namespace {

// About 1 MB of text shaped like a saved patcher: boxes with coordinates and
// arguments, message boxes with escapes, connections, comments and quoted
// font names. Names repeat as they do in patches.
std::string patch_text()
{
    static const char *const classes[] = {"metro",  "counter", "+",     "pack",     "unpack",  "route", "gate",
                                          "select", "delay",   "print", "makenote", "noteout", "table", "coll"};
    std::string text = "max v2;\r\n#N vpatcher 10 59 610 459;\r\n";
    char line[256];
    for (int i = 0; text.size() < (1u << 20); i++) {
        int x = 20 + i * 7 % 500, y = 30 + i * 13 % 400;
        switch (i % 6) {
        case 0:
        case 1:
            std::snprintf(line, sizeof line, "#P newex %d %d %d 196617 %s %d 0.5;\r\n", x, y, 40 + i % 60,
                          classes[i % 14], i % 1000);
            break;
        case 2:
            std::snprintf(line, sizeof line, "#P message %d %d %d 196617 set \\$1 \\, bang \\; recv%d %d;\r\n", x, y,
                          60, i % 40, i);
            break;
        case 3:
            std::snprintf(line, sizeof line, "#P connect %d 0 %d %d;\r\n", i % 300, (i + 1) % 300, i % 3);
            break;
        case 4:
            std::snprintf(line, sizeof line, "#P comment %d %d 120 196617 step %d of the sequence;\r\n", x, y, i);
            break;
        default:
            std::snprintf(line, sizeof line, "#P window setfont \"Sans Serif\" 9.;\r\n");
            break;
        }
        text += line;
    }
    text += "#P pop;\r\n";
    return text;
}

void BM_BinbufText(benchmark::State &state)
{
    std::string text = patch_text();
    long size = static_cast<long>(text.size());
    kel_handle h = sysmem_newhandle(size);
    std::memcpy(*h, text.data(), text.size());
    // A new buffer each time, as loading a patcher makes one: its growth is
    // part of the cost.
    for (auto _ : state) {
        binbuf *x = binbuf_new();
        benchmark::DoNotOptimize(binbuf_text(x, h, size));
        freeobject(x);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
    sysmem_freehandle(h);
}
BENCHMARK(BM_BinbufText)->Unit(benchmark::kMillisecond);

struct bench_receiver {
    object header;
    long total;
};

void *receiver_int(bench_receiver *x, long n)
{
    x->total += n;
    return nullptr;
}

void *receiver_anything(bench_receiver *x, symbol *, long argc, atom *)
{
    x->total += argc;
    return nullptr;
}

kel_class *receiver_class()
{
    static kel_class *c = [] {
        kel_class *made = class_new("binbuf_bench_receiver", nullptr, nullptr, sizeof(bench_receiver), nullptr, 0);
        class_addmethod(made, reinterpret_cast<kel_method>(&receiver_int), "int", ATYPE_LONG, 0);
        class_addmethod(made, reinterpret_cast<kel_method>(&receiver_anything), "anything", ATYPE_GIMME, 0);
        class_register(gensym("nobox"), made);
        return made;
    }();
    return c;
}

// 100 messages of a message file: to a named receiver, to the target after
// a comma, with $ arguments and plain symbols.
void BM_BinbufEval(benchmark::State &state)
{
    auto *r = static_cast<bench_receiver *>(object_alloc(receiver_class()));
    r->total = 0;
    symbol *name = gensym("bench-receiver");
    name->thing = &r->header;
    std::string text;
    constexpr long messages = 100;
    for (long i = 0; i < messages / 4; i++)
        text += "bench-receiver set $1 3 4, 7; bench-receiver $2 go; bench-receiver 1 2.5 x;\r\n";
    kel_handle h = sysmem_newhandle(static_cast<long>(text.size()));
    std::memcpy(*h, text.data(), text.size());
    binbuf *x = binbuf_new();
    binbuf_text(x, h, static_cast<long>(text.size()));
    atom args[2];
    atom_setlong(&args[0], 5);
    atom_setsym(&args[1], gensym("start"));
    for (auto _ : state) benchmark::DoNotOptimize(binbuf_eval(x, 2, args, nullptr));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * messages);
    name->thing = nullptr;
    freeobject(x);
    freeobject(r);
    sysmem_freehandle(h);
}
BENCHMARK(BM_BinbufEval);

}  // namespace
