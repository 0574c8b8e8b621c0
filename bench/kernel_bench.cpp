// Kernel hot paths: method calls, symbol lookup, typed dispatch, the pool and
// table lookup. Figures are per operation.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "kel/kel.h"
#include "objects/engine.h"

namespace {

struct bench_object {
    object header;
    long total;
    double real;
    symbol *name;
};

void *bench_int(bench_object *x, long n)
{
    x->total += n;
    return nullptr;
}

void *bench_three(bench_object *x, long n, double f, symbol *s)
{
    x->total += n;
    x->real += f;
    x->name = s;
    return nullptr;
}

kel_class *bench_class()
{
    static kel_class *c = [] {
        kel_class *made = class_new("bench_object", nullptr, nullptr, sizeof(bench_object), nullptr, 0);
        class_addmethod(made, reinterpret_cast<kel_method>(&bench_int), "int", ATYPE_LONG, 0);
        class_addmethod(made, reinterpret_cast<kel_method>(&bench_three), "three", ATYPE_LONG, ATYPE_FLOAT, ATYPE_SYM,
                        0);
        class_register(gensym("nobox"), made);
        return made;
    }();
    return c;
}

long plain_add(long a, long b) { return a + b; }
long plain_sub(long a, long b) { return a - b; }

void BM_IndirectCall(benchmark::State &state)
{
    long (*table[2])(long, long) = {plain_add, plain_sub};
    benchmark::DoNotOptimize(table);
    long acc = 0, i = 0;
    for (auto _ : state) {
        acc = table[i & 1](acc, 3);
        benchmark::DoNotOptimize(acc);
        i++;
    }
}
BENCHMARK(BM_IndirectCall);

void BM_GensymExisting(benchmark::State &state)
{
    gensym("abcdefgh");
    for (auto _ : state) benchmark::DoNotOptimize(gensym("abcdefgh"));
}
BENCHMARK(BM_GensymExisting);

void BM_GensymNew(benchmark::State &state)
{
    // Names never seen before; made ahead so that formatting is not measured.
    static long serial = 0;
    std::vector<std::string> names(static_cast<size_t>(state.max_iterations));
    for (auto &n : names) n = "new_symbol_" + std::to_string(serial++);
    size_t i = 0;
    for (auto _ : state) benchmark::DoNotOptimize(gensym(names[i++].c_str()));
}
// A fixed count: the table grows with every iteration, and a patch makes
// thousands of names, not millions.
BENCHMARK(BM_GensymNew)->Iterations(100000);

void BM_TypedmessInt(benchmark::State &state)
{
    auto *x = static_cast<bench_object *>(object_alloc(bench_class()));
    x->total = 0;
    atom a;
    atom_setlong(&a, 1);
    symbol *s_int = gensym("int");
    for (auto _ : state) benchmark::DoNotOptimize(typedmess(x, s_int, 1, &a));
    freeobject(x);
}
BENCHMARK(BM_TypedmessInt);

void BM_TypedmessThreeArgs(benchmark::State &state)
{
    auto *x = static_cast<bench_object *>(object_alloc(bench_class()));
    x->total = 0;
    x->real = 0;
    atom av[3];
    atom_setlong(av, 1);
    atom_setfloat(av + 1, 0.5);
    atom_setsym(av + 2, gensym("name"));
    symbol *s_three = gensym("three");
    for (auto _ : state) benchmark::DoNotOptimize(typedmess(x, s_three, 3, av));
    freeobject(x);
}
BENCHMARK(BM_TypedmessThreeArgs);

void BM_GetbytesFreebytes(benchmark::State &state)
{
    for (auto _ : state) {
        void *p = getbytes(24);
        benchmark::DoNotOptimize(p);
        freebytes(p, 24);
    }
}
BENCHMARK(BM_GetbytesFreebytes);

void BM_HashtabLookup(benchmark::State &state)
{
    hashtab *table = hashtab_new(0);
    std::vector<symbol *> keys;
    for (int i = 0; i < 200; i++) {
        keys.push_back(gensym(("key" + std::to_string(i)).c_str()));
        hashtab_store_safe(table, keys.back(), keys.back());
    }
    size_t i = 0;
    void *value = nullptr;
    for (auto _ : state) {
        hashtab_lookup(table, keys[i++ % keys.size()], &value);
        benchmark::DoNotOptimize(value);
    }
    hashtab_chuck(table);
}
BENCHMARK(BM_HashtabLookup);

}  // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    if (!kel::engine_init()) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
