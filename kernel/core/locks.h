// Kernel locks.
//
// The global critical section is recursive, like every kernel lock that a
// callback may re-enter. Small private locks that never call out (the symbol
// table, the memory pool) are plain mutexes.
#pragma once

#include <mutex>

namespace kel {

// The kernel's global critical section: taken by the scheduler thread for a
// whole poll in overdrive, and by main-thread code that must not interleave
// with clock callbacks.
std::recursive_mutex &global_lock();

}  // namespace kel
