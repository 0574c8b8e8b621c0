// Message delivery through messfilt and grab. Figures are per message sent
// into the object, to compare with BM_OutletIntOne, one bare delivery on a
// typed outlet.
#include <benchmark/benchmark.h>

#include "kel/kel.h"
#include "kernel/wires/outlets.h"
#include "objects/engine.h"

namespace {

struct events_sink {
    object header;
    outlet *out;
    long total;
};

void *events_sink_int(events_sink *x, long n)
{
    x->total += n;
    return nullptr;
}

// Answers every int with the next one, as any object with an outlet does.
void *events_relay_int(events_sink *x, long n)
{
    outlet_int(x->out, n + 1);
    return nullptr;
}

kel_class *events_class(const char *name, kel_method on_int)
{
    kel_class *made = class_new(name, nullptr, nullptr, sizeof(events_sink), nullptr, 0);
    class_addmethod(made, on_int, "int", ATYPE_LONG, 0);
    class_register(gensym("nobox"), made);
    return made;
}

events_sink *make_sink()
{
    static kel_class *c = events_class("events_bench_sink", reinterpret_cast<kel_method>(&events_sink_int));
    auto *x = static_cast<events_sink *>(object_alloc(c));
    x->out = nullptr;
    x->total = 0;
    return x;
}

events_sink *make_relay()
{
    static kel_class *c = events_class("events_bench_relay", reinterpret_cast<kel_method>(&events_relay_int));
    auto *x = static_cast<events_sink *>(object_alloc(c));
    x->out = intout(x);
    x->total = 0;
    return x;
}

outlet *nth_outlet(object *x, int n)
{
    outlet *o = x->outlets;
    while (n-- > 0 && o) o = o->next;
    return o;
}

// Ten entries; the int matches the sixth.
void BM_MessfiltInt(benchmark::State &state)
{
    kel::engine_init();
    const char *names[10] = {"a", "b", "c", "d", "e", "int", "g", "h", "i", "j"};
    atom argv[10];
    for (int k = 0; k < 10; k++) atom_setsym(&argv[k], gensym(names[k]));
    auto *filter = static_cast<object *>(newinstance(gensym("messfilt"), 10, argv));
    events_sink *source = make_relay();
    events_sink *sink = make_sink();
    outlet_add(source->out, filter);
    outlet_add(nth_outlet(filter, 5), sink);
    long n = 0;
    for (auto _ : state) outlet_int(source->out, n++);
    benchmark::DoNotOptimize(sink->total);
    freeobject(filter);
    freeobject(&source->header);
    freeobject(&sink->header);
}
BENCHMARK(BM_MessfiltInt);

// An int into a grab wired to an object that answers it: the answer leaves
// the grab's outlet.
void BM_GrabInt(benchmark::State &state)
{
    kel::engine_init();
    atom count;
    atom_setlong(&count, 1);
    auto *grab = static_cast<object *>(newinstance(gensym("grab"), 1, &count));
    events_sink *source = make_relay();
    events_sink *target = make_relay();
    events_sink *sink = make_sink();
    outlet_add(source->out, grab);
    outlet_add(nth_outlet(grab, 1), target);
    outlet_add(nth_outlet(grab, 0), sink);
    long n = 0;
    for (auto _ : state) outlet_int(source->out, n++);
    benchmark::DoNotOptimize(sink->total);
    if (sink->total == 0) state.SkipWithError("the grab caught nothing");
    freeobject(grab);
    for (events_sink *x : {source, target, sink}) freeobject(&x->header);
}
BENCHMARK(BM_GrabInt);

}  // namespace
