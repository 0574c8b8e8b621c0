// The built-in object classes that the engine supplies itself, one source per
// class family. Each family hands its constructors to the creation object
// `#N` (kernel/creation.h); a family's classes are set up on first use unless
// the family says otherwise.
#pragma once

#include <cstdint>

#include "kel/base.h"

namespace kel {

// Sets up every family: provides its constructors to `#N` and builds the
// classes that must exist before any patcher loads. Called once by
// engine_init, after the kernel is up; safe to call again.
bool objects_init();

// A 32-bit integer from a method argument word: integers carried by atoms and
// typed messages are 32 bits wide and wrap.
inline int32_t wrap32(long n) { return static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long>(n))); }

// Any function as a method table entry.
template <typename F> kel_method as_method(F *f) { return reinterpret_cast<kel_method>(f); }

// A class whose instances may live in a patcher box.
kel_class *box_class(const char *name, kel_method constructor, kel_method free_method, long size);

// The object a name is bound to, or null when the name is unbound or bound
// to a kernel record that is not an object: objects that "send" to a name
// given in a message call it directly and must not trust it blindly.
object *bound_object(symbol *name);

}  // namespace kel
