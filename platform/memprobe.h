// Asking whether memory can be read without touching it.
#pragma once

#include <cstddef>

namespace kel::platform {

// True when the n bytes at p can be read. Costs a system call; meant for
// validating pointers handed in from outside, not for hot paths.
bool memory_readable(const void *p, size_t n);

// Copies the n bytes at p (n at most 64) into out when they can be read, and
// answers whether they could. The copy is made by the operating system, so
// memory that the program does not own (a value that only might be an
// object) is looked at without the program reading it itself.
bool memory_read(const void *p, void *out, size_t n);

}  // namespace kel::platform
