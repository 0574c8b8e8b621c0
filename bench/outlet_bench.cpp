// Message delivery through outlets. Figures are per delivery.
#include <benchmark/benchmark.h>

#include "kel/kel.h"

namespace {

struct sink {
    object header;
    long total;
};

void *sink_int(sink *x, long n)
{
    x->total += n;
    return nullptr;
}

void *sink_three(sink *x, long n, double, symbol *)
{
    x->total += n;
    return nullptr;
}

kel_class *sink_class()
{
    static kel_class *c = [] {
        kel_class *made = class_new("bench_sink", nullptr, nullptr, sizeof(sink), nullptr, 0);
        class_addmethod(made, reinterpret_cast<kel_method>(&sink_int), "int", ATYPE_LONG, 0);
        class_addmethod(made, reinterpret_cast<kel_method>(&sink_three), "three", ATYPE_LONG, ATYPE_FLOAT, ATYPE_SYM,
                        0);
        class_register(gensym("nobox"), made);
        return made;
    }();
    return c;
}

struct rig {
    object *source;
    outlet *out;
    sink *sinks[8];
    int count;

    rig(int n, bool typed) : count(n)
    {
        source = static_cast<object *>(object_alloc(sink_class()));
        out = typed ? intout(source) : outlet_new(source, nullptr);
        for (int i = 0; i < n; i++) {
            sinks[i] = static_cast<sink *>(object_alloc(sink_class()));
            sinks[i]->total = 0;
            outlet_add(out, sinks[i]);
        }
    }
    ~rig()
    {
        freeobject(source);
        for (int i = 0; i < count; i++) freeobject(sinks[i]);
    }
};

void BM_OutletIntOne(benchmark::State &state)
{
    rig r(1, true);
    long n = 0;
    for (auto _ : state) outlet_int(r.out, n++);
    benchmark::DoNotOptimize(r.sinks[0]->total);
}
BENCHMARK(BM_OutletIntOne);

void BM_OutletIntFanout8(benchmark::State &state)
{
    rig r(8, true);
    long n = 0;
    for (auto _ : state) outlet_int(r.out, n++);
    benchmark::DoNotOptimize(r.sinks[7]->total);
    state.SetItemsProcessed(state.iterations() * 8);  // per delivery: divide the time by 8
}
BENCHMARK(BM_OutletIntFanout8);

void BM_OutletAnything(benchmark::State &state)
{
    rig r(1, false);
    atom av[3];
    atom_setlong(av, 1);
    atom_setfloat(av + 1, 0.5);
    atom_setsym(av + 2, gensym("name"));
    symbol *three = gensym("three");
    for (auto _ : state) outlet_anything(r.out, three, 3, av);
    benchmark::DoNotOptimize(r.sinks[0]->total);
}
BENCHMARK(BM_OutletAnything);

}  // namespace
