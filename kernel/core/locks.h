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

// Overdrive: clocks fire on the scheduler timer thread, so the critical
// section entered with NULL locks the global one. The flag is one byte that
// an audio host reads through the scheduler's takeover record.
bool overdrive_active();
void overdrive_active_set(bool on);
char *overdrive_active_byte();

}  // namespace kel
