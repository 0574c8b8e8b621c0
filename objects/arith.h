// Arithmetic, comparison and number objects: `int`/`i`, `float`/`f`, the
// seventeen two-operand operators, `abs` and `random`.
#pragma once

namespace kel {

// Provides the constructors of the family to `#N` and builds the operator
// classes (both modes), which exist before any patcher loads.
bool arith_init();

}  // namespace kel
