// Helpers shared by the routing and list classes.
#pragma once

#include <cctype>

#include "kel/atoms.h"
#include "kel/classes.h"
#include "kel/memory.h"
#include "kel/symbols.h"
#include "kernel/core/atoms.h"
#include "kernel/core/classes.h"

namespace kel::routing {

// The list and state classes of routing_lists.cpp: pack, unpack, swap,
// fswap, change, bag and accum.
bool routing_lists_init();

template <typename T> T *pool_array(long count)
{
    return static_cast<T *>(getbytes(count * static_cast<long>(sizeof(T))));
}

template <typename T> void pool_free(T *p, long count)
{
    if (p) freebytes(p, count * static_cast<long>(sizeof(T)));
}

inline bool is_number(const atom &a) { return a.type == ATYPE_LONG || a.type == ATYPE_FLOAT; }

inline double number_of(const atom &a) { return a.type == ATYPE_LONG ? a.word.w_long : a.word.w_float; }

// "#" and one digit: a patcher argument that was not filled in.
inline bool is_unfilled_argument(const atom &a)
{
    if (a.type != ATYPE_SYM || !a.word.w_sym) return false;
    const char *name = a.word.w_sym->name;
    return name[0] == '#' && std::isdigit(static_cast<unsigned char>(name[1])) && name[2] == '\0';
}

inline bool is_named(const atom &a, symbol *s) { return a.type == ATYPE_SYM && a.word.w_sym == s; }

}  // namespace kel::routing
