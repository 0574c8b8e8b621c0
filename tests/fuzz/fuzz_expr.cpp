// Fuzz target: expressions (any text through the tokenizer into expr_new).
//
// For any input:
//   - compiling never breaks: it gives an expression or posts an error;
//   - an expression that compiled evaluates with any inlet values, int,
//     float or symbol, and with a small table to read and write, to an int
//     or a float, or posts an error and gives nothing.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "kel/kel.h"
#include "kernel/core/atoms.h"
#include "kernel/text/binbuf.h"
#include "objects/engine.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

object *g_table = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    kel::engine_init();
    atom name = kel::sym_atom(gensym("fuzzt"));
    g_table = static_cast<object *>(newinstance(gensym("table"), 1, &name));
    FUZZ_CHECK(g_table != nullptr, "a table named fuzzt");
    atom size = kel::int_atom(4);
    typedmess(g_table, gensym("size"), 1, &size);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (!g_table) LLVMFuzzerInitialize(nullptr, nullptr);
    std::vector<atom> atoms(300);
    long argc = 0;
    kel::binbuf_parse_text(reinterpret_cast<const char *>(data), size, &argc, atoms.data(),
                           static_cast<long>(atoms.size()));
    short kinds[9];
    void *e = expr_new(argc, atoms.data(), kinds);
    if (!e) return 0;
    for (short k : kinds) FUZZ_CHECK(k >= 0 && k <= 4, "inlet kinds are 0 to 4");
    // Inlet values drawn from the input itself, so that a run repeats.
    uint32_t seed = 2166136261u;
    for (size_t k = 0; k < size; k++) seed = (seed ^ data[k]) * 16777619u;
    for (int round = 0; round < 4; round++) {
        atom in[9];
        for (atom &a : in) {
            seed = seed * 1103515245u + 12345u;
            const int32_t v = static_cast<int32_t>(seed >> 8) - (1 << 23);
            switch ((seed >> 3) % 4) {
            case 0:
                atom_setlong(&a, v);
                break;
            case 1:
                atom_setlong(&a, seed & 1 ? INT32_MIN : -1);
                break;
            case 2:
                atom_setfloat(&a, static_cast<double>(v) / 7.0);
                break;
            default:
                atom_setsym(&a, gensym(seed & 1 ? "fuzzt" : "nosuch"));
                break;
            }
        }
        atom result;
        if (expr_eval(e, 9, in, &result))
            FUZZ_CHECK(result.type == ATYPE_LONG || result.type == ATYPE_FLOAT, "a result is an int or a float");
    }
    freeobject(e);
    return 0;
}
