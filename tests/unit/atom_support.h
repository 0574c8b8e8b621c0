// Making atoms and showing them compactly, for tests that compare atom lists.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "kel/kel.h"
#include "kernel/core/atoms.h"

namespace kel::test {

using strings = std::vector<std::string>;

inline atom L(long n) { return int_atom(n); }
inline atom F(double f) { return float_atom(f); }
inline atom S(const char *name) { return sym_atom(gensym(name)); }

// "L:1", "F:2.5", "S:foo", "O:class", ";", ",", "$1", "D:1-x", "-" for none.
inline std::string describe(const atom &a)
{
    char text[64];
    switch (a.type) {
    case ATYPE_NOTHING:
        return "-";
    case ATYPE_LONG:
        return std::string("L:").append(std::to_string(a.word.w_long));
    case ATYPE_FLOAT:
        std::snprintf(text, sizeof text, "F:%g", static_cast<double>(a.word.w_float));
        return text;
    case ATYPE_SYM:
        return std::string("S:").append(a.word.w_sym->name);
    case ATYPE_OBJ:
        return std::string("O:").append(object_classname(a.word.w_obj)->name);
    case ATYPE_SEMI:
        return ";";
    case ATYPE_COMMA:
        return ",";
    case ATYPE_DOLLAR:
        return std::string("$").append(std::to_string(a.word.w_long));
    case ATYPE_DOLLSYM:
        return std::string("D:").append(a.word.w_sym->name);
    default:
        return std::string("?").append(std::to_string(a.type));
    }
}

}  // namespace kel::test
