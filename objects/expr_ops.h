// The operators and the function table shared by the expression compiler and
// evaluator.
#pragma once

#include <cstdint>

namespace kel {

enum expr_op : uint8_t {
    op_comma,
    op_lor,
    op_land,
    op_bor,
    op_bxor,
    op_band,
    op_ne,
    op_eq,
    op_ge,
    op_gt,
    op_le,
    op_lt,
    op_shr,
    op_shl,
    op_sub,
    op_add,
    op_mod,
    op_div,
    op_mul,
    op_neg,
    op_bnot,
    op_lnot,
};

// Higher binds tighter.
inline int op_precedence(uint8_t op)
{
    constexpr uint8_t table[] = {2, 3, 4, 5, 6, 7, 8, 8, 9, 9, 9, 9, 10, 10, 11, 11, 12, 12, 12, 13, 13, 13};
    return table[op];
}

inline bool op_is_unary(uint8_t op) { return op >= op_neg; }

// The function table entry named name, or -1.
int expr_function_find(const char *name);

}  // namespace kel
