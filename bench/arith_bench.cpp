// Message delivery through built-in arithmetic objects. Figures are per
// delivery (items per second are messages delivered per second), to compare
// with BM_OutletIntOne, one bare delivery on a typed outlet.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "bench/bench_support.h"
#include "kel/kel.h"
#include "kernel/files/path.h"

namespace {

// A hand-written `+ 1`: the same nesting without the built-in class, to tell
// the cost of the objects from that of a deep chain of deliveries.
struct relay {
    object header;
    outlet *out;
};

void *relay_int(relay *x, long n)
{
    outlet_int(x->out, n + 1);
    return nullptr;
}

kel_class *relay_class()
{
    static kel_class *c = [] {
        kel_class *made = class_new("arith_bench_relay", nullptr, nullptr, sizeof(relay), nullptr, 0);
        class_addmethod(made, reinterpret_cast<kel_method>(&relay_int), "int", ATYPE_LONG, 0);
        class_register(gensym("nobox"), made);
        return made;
    }();
    return c;
}

object *make_relay()
{
    auto *x = static_cast<relay *>(object_alloc(relay_class()));
    x->out = intout(x);
    return &x->header;
}

// A chain of directly connected objects: a source, `length` boxes, a sink
// that keeps the last number.
class counter_chain {
public:
    static constexpr int length = 100;

    explicit counter_chain(object *(*make_box)())
    {
        source_ = kel::bench::int_sink_new();
        trigger_ = intout(source_);
        sink_ = kel::bench::int_sink_new();
        sink_->last = 0;
        void *previous_out = trigger_;
        for (int k = 0; k < length; k++) {
            object *box = make_box();
            boxes_.push_back(box);
            outlet_add(static_cast<outlet *>(previous_out), box);
            previous_out = box->outlets;
        }
        outlet_add(static_cast<outlet *>(previous_out), sink_);
    }
    ~counter_chain()
    {
        for (object *box : boxes_) freeobject(box);
        freeobject(source_);
        freeobject(sink_);
    }
    counter_chain(const counter_chain &) = delete;
    counter_chain &operator=(const counter_chain &) = delete;

    void trigger(long n) { outlet_int(trigger_, n); }
    long last() const { return sink_->last; }

private:
    kel::bench::int_sink *source_;
    outlet *trigger_;
    kel::bench::int_sink *sink_;
    std::vector<object *> boxes_;
};

// The counter patch, loaded from its file:
//   [r arith_bench_in] -> [+ 1] -> ... 100 boxes ... -> [+ 1] -> [s arith_bench_out]
// A trigger is an int sent to the name arith_bench_in; a receive of
// arith_bench_out made here hands the result to a sink.
std::string counter_patch()
{
    constexpr int boxes = counter_chain::length + 2;
    std::string text = "#N vpatcher 10 10 400 400;\r\n#P newex 10 10 90 196617 r arith_bench_in;\r\n";
    for (int k = 0; k < counter_chain::length; k++) text += "#P newex 10 30 40 196617 + 1;\r\n";
    text += "#P newex 10 50 90 196617 s arith_bench_out;\r\n";
    // Box c in creation order is box boxes-1-c counted from the newest.
    for (int c = 0; c + 1 < boxes; c++)
        text += "#P connect " + std::to_string(boxes - 1 - c) + " 0 " + std::to_string(boxes - 2 - c) + " 0;\r\n";
    return text + "#P pop;\r\n";
}

void BM_PatchCounterLoop(benchmark::State &state)
{
    kel::bench::scratch_folder scratch;
    if (scratch.folder.empty()) {
        state.SkipWithError("no folder for the patch");
        return;
    }
    std::ofstream(scratch.file("counter.pat"), std::ios::binary) << counter_patch();
    void *patch = fileload("counter.pat", scratch.path);
    atom name;
    atom_setsym(&name, gensym("arith_bench_out"));
    auto *out = static_cast<object *>(newinstance(gensym("r"), 1, &name));
    kel::bench::int_sink *sink = kel::bench::int_sink_new();
    object *in = gensym("arith_bench_in")->thing;
    if (!patch || !out || !in) {
        state.SkipWithError("the counter patch did not load");
    } else {
        outlet_add(out->outlets, sink);
        sink->last = 0;
        atom n;
        long i = 0;
        for (auto _ : state) {
            atom_setlong(&n, i++);
            typedmess(in, gensym("int"), 1, &n);
        }
        if (sink->last != i - 1 + counter_chain::length) state.SkipWithError("the chain lost a message");
        // Per trigger: the name's outlet to the receive box, into each of the
        // 100 boxes, into the send box, the name's outlet to the receive made
        // here, into the sink.
        state.SetItemsProcessed(state.iterations() * (counter_chain::length + 4));
    }
    freeobject(sink);
    if (out) freeobject(out);
    if (patch) freeobject(patch);
}
BENCHMARK(BM_PatchCounterLoop);

// The same depth of deliveries through a hand-written `+ 1`, connected
// directly: what the chain costs without the built-in class and the patch.
void BM_RelayChain(benchmark::State &state)
{
    counter_chain chain(make_relay);
    long n = 0;
    for (auto _ : state) chain.trigger(n++);
    if (chain.last() != n - 1 + counter_chain::length) state.SkipWithError("the chain lost a message");
    state.SetItemsProcessed(state.iterations() * (counter_chain::length + 1));
}
BENCHMARK(BM_RelayChain);

}  // namespace
