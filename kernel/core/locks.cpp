#include "kernel/core/locks.h"

#include <atomic>

#include "kel/outlets.h"

namespace kel {

char g_overdrive_active = 0;

constinit std::atomic<long> g_lockout{0};

void recursive_lock::wait_for(int seen)
{
    // Mark the lock contended, then sleep until it is given back; whoever
    // takes it from here on leaves it marked, since others may still wait.
    if (seen != 2) seen = state_.exchange(2, std::memory_order_acquire);
    while (seen != 0) {
        state_.wait(2, std::memory_order_relaxed);
        seen = state_.exchange(2, std::memory_order_acquire);
    }
}

void recursive_lock::wake_one() { state_.notify_one(); }

std::recursive_mutex &global_lock()
{
    static std::recursive_mutex lock;
    return lock;
}

}  // namespace kel

KEL_API long lockout_set(long n) { return kel::lockout_exchange(n); }
