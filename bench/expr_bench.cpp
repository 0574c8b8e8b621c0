// Expressions: evaluation against the same arithmetic through a C++
// function pointer, compilation of a 60-character text, and an `expr` box
// between two cords. Figures are per evaluation, compilation or delivery.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "kel/kel.h"
#include "kernel/text/binbuf.h"

namespace {

std::vector<atom> expression_atoms(const char *text)
{
    std::vector<atom> atoms(64);
    long argc = 0;
    kel::binbuf_parse_text(text, std::strlen(text), &argc, atoms.data(), 64);
    atoms.resize(static_cast<size_t>(argc));
    return atoms;
}

void *compile(const char *text)
{
    std::vector<atom> atoms = expression_atoms(text);
    return expr_new(static_cast<long>(atoms.size()), atoms.data(), nullptr);
}

void BM_ExprEval(benchmark::State &state)
{
    const bool floats = state.range(0) != 0;
    void *e = compile(floats ? "$f1 * $f2 + sin($f3)" : "$i1 * 3 + $i2 - 1");
    atom in[3];
    if (floats) {
        atom_setfloat(&in[0], 1.5);
        atom_setfloat(&in[1], 2.5);
        atom_setfloat(&in[2], 0.5);
    } else {
        atom_setlong(&in[0], 7);
        atom_setlong(&in[1], 5);
        atom_setlong(&in[2], 0);
    }
    atom result;
    for (auto _ : state) {
        in[0].word.w_long ^= 1;  // a changing input, as a patch gives
        benchmark::DoNotOptimize(expr_eval(e, 3, in, &result));
    }
    freeobject(e);
}
BENCHMARK(BM_ExprEval)->Arg(0)->ArgName("floats");
BENCHMARK(BM_ExprEval)->Arg(1)->ArgName("floats");

int32_t native_ints(int32_t a, int32_t b, float) { return a * 3 + b - 1; }
float native_floats(float a, float b, float c) { return a * b + static_cast<float>(std::sin(c)); }

// The same arithmetic in C++, called through a pointer the compiler cannot
// see through.
void BM_NativeEval(benchmark::State &state)
{
    const bool floats = state.range(0) != 0;
    int32_t (*volatile ints)(int32_t, int32_t, float) = &native_ints;
    float (*volatile fls)(float, float, float) = &native_floats;
    int32_t a = 7;
    for (auto _ : state) {
        a ^= 1;
        if (floats)
            benchmark::DoNotOptimize(fls(static_cast<float>(a), 2.5f, 0.5f));
        else
            benchmark::DoNotOptimize(ints(a, 5, 0.0f));
    }
}
BENCHMARK(BM_NativeEval)->Arg(0)->ArgName("floats");
BENCHMARK(BM_NativeEval)->Arg(1)->ArgName("floats");

void BM_ExprCompile(benchmark::State &state)
{
    // 60 characters with the spaces the box text puts between atoms.
    const char *text = "($i1 + $i2) * 3 - min($f3 , 2.5) / (sqrt($f3) + 1) % 7";
    std::vector<atom> atoms = expression_atoms(text);
    for (auto _ : state) {
        void *e = expr_new(static_cast<long>(atoms.size()), atoms.data(), nullptr);
        benchmark::DoNotOptimize(e);
        freeobject(e);
    }
}
BENCHMARK(BM_ExprCompile);

struct bench_end {
    object header;
    long last;
    outlet *out;
};

void *bench_end_int(bench_end *x, long n)
{
    x->last = n;
    return nullptr;
}

kel_class *bench_end_class()
{
    static kel_class *c = [] {
        kel_class *made = class_new("expr_bench_end", nullptr, nullptr, sizeof(bench_end), nullptr, 0);
        class_addmethod(made, reinterpret_cast<kel_method>(&bench_end_int), "int", ATYPE_LONG, 0);
        class_register(gensym("nobox"), made);
        return made;
    }();
    return c;
}

// A source's outlet into `expr $i1 * 3 + 1`, its outlet into a sink.
void BM_ExprBox(benchmark::State &state)
{
    std::vector<atom> atoms = expression_atoms("$i1 * 3 + 1");
    auto *box = static_cast<object *>(newinstance(gensym("expr"), static_cast<long>(atoms.size()), atoms.data()));
    auto *source = static_cast<bench_end *>(object_alloc(bench_end_class()));
    auto *sink = static_cast<bench_end *>(object_alloc(bench_end_class()));
    source->out = intout(source);
    outlet_add(source->out, box);
    outlet_add(box->outlets, sink);
    long n = 0;
    for (auto _ : state) outlet_int(source->out, n++ & 1023);
    benchmark::DoNotOptimize(sink->last);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ExprBox);

}  // namespace
