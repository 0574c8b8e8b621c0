// The kernel's rule for standard containers, and the guard that keeps it.
//
// Kernel code may use std::vector, std::string, the maps and the other
// standard containers. Their allocations throw std::bad_alloc, which must
// never reach C code: not an external, not a caller of the C API. Hence:
//
//   1. An exported function (KEL_API, extern "C") whose own work can reach
//      a container allocation runs that work inside guarded(): there the
//      exception ends, the memory-low flag goes up (as the pool raises it),
//      the console says "NAME: out of memory", and the function answers
//      its documented failure value.
//   2. So does a method or callback the kernel or a built-in object
//      registers (a class's method, a console sink, a qelem, clock or
//      deferred function): the kernel calls it as C code would, and so may
//      an external.
//   3. Code that must leave a structure whole when an allocation fails
//      catches std::bad_alloc itself, next to the container, and fails the
//      way its callers already handle (null, an error code, a part left
//      out), raising the memory-low flag: a load in progress knows by it
//      that it did not get all the file describes. State that code changes
//      for the length of a call is held by a scope object, so that an
//      exception passing through on its way to a guard puts it back.
//
// Dispatch (typedmess, object_method, the outlets), symbol lookup and the
// clocks reach containers only through the methods they call, which keep
// rule 2 themselves: those hot paths carry no guard. A guard costs nothing
// while nothing throws (table-based unwinding).
//
// The kernel's fault injection (memory_fail_request) reaches the containers
// in the unit tests, whose global operator new joins its countdown.
#pragma once

#include <new>
#include <utility>

#include "kel/console.h"
#include "kernel/core/memory.h"

namespace kel {

// What a guard does when memory ran out: raises the memory-low flag and
// posts "WHO: out of memory".
inline void report_out_of_memory(const char *who)
{
    memory_set_low(true);
    error("%s: out of memory", who);
}

// Answers what work() answers; when it runs out of memory, reports it and
// answers fallback.
template <class R, class F> R guarded(const char *who, R fallback, F &&work) noexcept
{
    try {
        return std::forward<F>(work)();
    } catch (const std::bad_alloc &) {
        report_out_of_memory(who);
        return fallback;
    }
}

// Runs work(); when it runs out of memory, reports it.
template <class F> void guarded(const char *who, F &&work) noexcept
{
    try {
        std::forward<F>(work)();
    } catch (const std::bad_alloc &) {
        report_out_of_memory(who);
    }
}

}  // namespace kel
