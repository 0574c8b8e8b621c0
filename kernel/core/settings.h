// Process-wide settings that kernel modules read.
#pragma once

#include <atomic>

namespace kel {

// The verbose setting: what a user wants to know when on (files and
// externals loaded and from where, patchers loadbanged).
inline std::atomic<bool> g_verbose{false};

inline bool verbose() { return g_verbose.load(std::memory_order_relaxed); }

// The developer setting: the kernel's own internals (the allocator, class
// and object registration, symbol reuse, scheduler suspension), for whoever
// works on kel itself. Set from the environment (KEL_DEVELOPER=1) at start-up.
inline std::atomic<bool> g_developer{false};

inline bool developer() { return g_developer.load(std::memory_order_relaxed); }

}  // namespace kel
