// Arithmetic, comparison and number objects: `int`/`i`, `float`/`f`, the
// seventeen two-operand operators, `abs` and `random`.
#pragma once

#include <cstdint>

namespace kel {

// The state of one minimal-standard generator with its shuffle table; all
// zero means "not yet seeded" (the first draw starts from 1).
struct random_generator {
    int32_t state;
    int32_t table[32];
    int32_t last;
};

// The next number of g, 1 .. 2^31 - 2: the algorithm of `random`.
int32_t random_next(random_generator &g);

// Provides the constructors of the family to `#N` and builds the operator
// classes (both modes), which exist before any patcher loads.
bool arith_init();

}  // namespace kel
