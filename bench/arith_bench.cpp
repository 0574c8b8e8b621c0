// Message delivery through built-in arithmetic objects. Figures are per
// delivery (items per second are messages delivered per second), to compare
// with BM_OutletIntOne, one bare delivery on a typed outlet.
#include <benchmark/benchmark.h>

#include <vector>

#include "kel/kel.h"

namespace {

struct counter_sink {
    object header;
    long last;
};

void *counter_sink_int(counter_sink *x, long n)
{
    x->last = n;
    return nullptr;
}

kel_class *counter_sink_class()
{
    static kel_class *c = [] {
        kel_class *made = class_new("arith_bench_sink", nullptr, nullptr, sizeof(counter_sink), nullptr, 0);
        class_addmethod(made, reinterpret_cast<kel_method>(&counter_sink_int), "int", ATYPE_LONG, 0);
        class_register(gensym("nobox"), made);
        return made;
    }();
    return c;
}

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

object *make_adder()
{
    atom one;
    atom_setlong(&one, 1);
    return static_cast<object *>(newinstance(gensym("+"), 1, &one));
}

// A counter patch: a source, 100 `+ 1` boxes in a row, a sink that keeps the
// last number. The boxes are made by name through `#N` and their outlets
// connected left inlet to left inlet, as loading the patch
//   [source] -> [+ 1] -> [+ 1] -> ... -> [+ 1] -> [sink]
// would connect them; the patch file itself is not read, so the figure is
// the delivery cost alone.
class counter_chain {
  public:
    static constexpr int length = 100;

    explicit counter_chain(object *(*make_box)())
    {
        source_ = static_cast<counter_sink *>(object_alloc(counter_sink_class()));
        trigger_ = intout(source_);
        sink_ = static_cast<counter_sink *>(object_alloc(counter_sink_class()));
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
        for (object *box : boxes_)
            freeobject(box);
        freeobject(source_);
        freeobject(sink_);
    }
    counter_chain(const counter_chain &) = delete;
    counter_chain &operator=(const counter_chain &) = delete;

    void trigger(long n) { outlet_int(trigger_, n); }
    long last() const { return sink_->last; }

  private:
    counter_sink *source_;
    outlet *trigger_;
    counter_sink *sink_;
    std::vector<object *> boxes_;
};

void run_chain(benchmark::State &state, object *(*make_box)())
{
    counter_chain chain(make_box);
    long n = 0;
    for (auto _ : state)
        chain.trigger(n++);
    if (chain.last() != n - 1 + counter_chain::length) state.SkipWithError("the chain lost a message");
    // One trigger is 101 deliveries: into each box and into the sink.
    state.SetItemsProcessed(state.iterations() * (counter_chain::length + 1));
}

void BM_PatchCounterLoop(benchmark::State &state) { run_chain(state, make_adder); }
BENCHMARK(BM_PatchCounterLoop);

void BM_RelayChain(benchmark::State &state) { run_chain(state, make_relay); }
BENCHMARK(BM_RelayChain);

}  // namespace
