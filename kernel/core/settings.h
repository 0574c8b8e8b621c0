// Process-wide settings that kernel modules read.
#pragma once

#include <atomic>

namespace kel {

// The verbose setting: extra diagnostic console lines when on.
inline std::atomic<bool> g_verbose{false};

inline bool verbose() { return g_verbose.load(std::memory_order_relaxed); }

}  // namespace kel
