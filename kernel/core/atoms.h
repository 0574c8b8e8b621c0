// Conversions shared by the atom getters and typed dispatch, and atoms made
// by value for code that builds argument lists.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "kel/atoms.h"
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

inline atom int_atom(long n)
{
    atom a;
    atom_setlong(&a, n);
    return a;
}

inline atom float_atom(double f)
{
    atom a;
    atom_setfloat(&a, f);
    return a;
}

inline atom sym_atom(symbol *s)
{
    atom a;
    atom_setsym(&a, s);
    return a;
}

// Whether two atoms hold the same value: same type, and the same number,
// symbol or word (object pointers compare as pointers).
inline bool atom_same(const atom &a, const atom &b)
{
    if (a.type != b.type) return false;
    switch (a.type) {
    case ATYPE_LONG:
        return a.word.w_long == b.word.w_long;
    case ATYPE_FLOAT:
        return a.word.w_float == b.word.w_float;
    default:
        return a.word.w_sym == b.word.w_sym;
    }
}

// Atoms from variable arguments by a format, one letter a value: l a long, f
// a double (stored as a float), s a symbol pointer (null: the empty
// symbol), o an object pointer; any other letter takes no value. At most max
// atoms are made; returns how many.
long atoms_from_format(const char *format, va_list *args, atom *out, long max);

}  // namespace kel
