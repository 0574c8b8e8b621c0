#include "kernel/core/locks.h"

#include <atomic>

#include "kel/outlets.h"

namespace kel {
namespace {

char g_overdrive_active = 0;

// The lockout flag, set around freeing an object and around delivering an
// error to its subscribers; the kernel never reads it, externals may.
std::atomic<long> g_lockout{0};

}  // namespace

std::recursive_mutex &global_lock()
{
    static std::recursive_mutex lock;
    return lock;
}

bool overdrive_active() { return std::atomic_ref<char>(g_overdrive_active).load(std::memory_order_relaxed) != 0; }

void overdrive_active_set(bool on)
{
    std::atomic_ref<char>(g_overdrive_active).store(on ? 1 : 0, std::memory_order_relaxed);
}

char *overdrive_active_byte() { return &g_overdrive_active; }

}  // namespace kel

KEL_API long lockout_set(long n) { return kel::g_lockout.exchange(n & 0xFF); }
