// Calling a method with native arguments, portably.
//
// A method's argument types fix its native signature: each argument is a word
// (integers and pointers, intptr_t) or a double, at most seven of them. The
// table below holds one caller per signature, generated at compile time, each
// calling through the exact function type (call_shape in calls.h), so no
// calling-convention knowledge is needed. A signature is indexed by its
// argument count n and a bitmask of which arguments are doubles:
// (1 << n) - 1 + mask.
#pragma once

#include <array>
#include <cstdint>
#include <utility>

#include "kel/base.h"
#include "kernel/core/calls.h"

namespace kel {

inline constexpr int max_call_args = 7;

using shape_caller = void *(*)(kel_method fn, void *x, const call_arg *args);

namespace callshape_detail {

constexpr int count_of(int index)
{
    int n = 0;
    while (index >= (1 << (n + 1)) - 1) n++;
    return n;
}

constexpr unsigned mask_of(int index) { return static_cast<unsigned>(index - ((1 << count_of(index)) - 1)); }

// With the object as first argument.
template <int Index> void *object_caller(kel_method fn, void *x, const call_arg *a)
{
    return call_shape<mask_of(Index)>(fn, x, a, std::make_index_sequence<count_of(Index)>{});
}

// Without it: the constructors of the creation object.
template <int Index> void *plain_caller(kel_method fn, void *, const call_arg *a)
{
    return call_shape_constructor<mask_of(Index)>(fn, a, std::make_index_sequence<count_of(Index)>{});
}

inline constexpr int shape_count = (1 << (max_call_args + 1)) - 1;

template <size_t... I> constexpr std::array<shape_caller, shape_count> object_table(std::index_sequence<I...>)
{
    return {&object_caller<static_cast<int>(I)>...};
}

template <size_t... I> constexpr std::array<shape_caller, shape_count> plain_table(std::index_sequence<I...>)
{
    return {&plain_caller<static_cast<int>(I)>...};
}

}  // namespace callshape_detail

inline constexpr std::array<shape_caller, callshape_detail::shape_count> object_callers =
    callshape_detail::object_table(std::make_index_sequence<callshape_detail::shape_count>{});
inline constexpr std::array<shape_caller, callshape_detail::shape_count> plain_callers =
    callshape_detail::plain_table(std::make_index_sequence<callshape_detail::shape_count>{});

inline constexpr int shape_index(int count, unsigned real_mask)
{
    return (1 << count) - 1 + static_cast<int>(real_mask);
}

}  // namespace kel
