// Conversions shared by the atom getters and typed dispatch.
#pragma once

#include <cstdint>

#include "kel/base.h"

namespace kel {

// A float truncated toward zero; values beyond the 32-bit range saturate and
// NaN gives 0, where a plain conversion would be undefined.
inline atom_long float_to_long(double f)
{
    if (!(f == f)) return 0;
    if (f >= 2147483648.0) return INT32_MAX;
    if (f <= -2147483649.0) return INT32_MIN;
    return static_cast<atom_long>(f);
}

}  // namespace kel
