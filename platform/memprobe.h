// Asking whether memory can be read without touching it.
#pragma once

#include <cstddef>

namespace kel::platform {

// True when the n bytes at p can be read. Costs a system call; meant for
// validating pointers handed in from outside, not for hot paths.
bool memory_readable(const void *p, size_t n);

}  // namespace kel::platform
