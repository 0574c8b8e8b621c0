// Kernel locks.
//
// The global critical section is recursive, like every kernel lock that a
// callback may re-enter. Small private locks that never call out (the symbol
// table, the memory pool) are plain mutexes.
#pragma once

#include <atomic>
#include <mutex>

#include "kel/outlets.h"

namespace kel {

// The kernel's global critical section: taken by the scheduler thread for a
// whole poll in overdrive, and by main-thread code that must not interleave
// with clock callbacks.
std::recursive_mutex &global_lock();

// Overdrive: clocks fire on the scheduler timer thread, so the critical
// section entered with NULL locks the global one. The flag is one byte that
// an audio host reads through the scheduler's takeover record.
// The flag is read on every poll and every `now`: inline, and its address a
// constant so that the takeover record stays constant-initialized.
extern char g_overdrive_active;
inline bool overdrive_active()
{
    return std::atomic_ref<const char>(g_overdrive_active).load(std::memory_order_relaxed) != 0;
}
inline void overdrive_active_set(bool on)
{
    std::atomic_ref<char>(g_overdrive_active).store(on ? 1 : 0, std::memory_order_relaxed);
}

// The lockout flag (lockout_set) set for the length of a scope.
class lockout_scope {
public:
    lockout_scope() : saved_(lockout_set(1)) {}
    ~lockout_scope() { lockout_set(saved_); }
    lockout_scope(const lockout_scope &) = delete;
    lockout_scope &operator=(const lockout_scope &) = delete;

private:
    long saved_;
};

}  // namespace kel
