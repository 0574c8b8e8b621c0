#include "kernel/core/locks.h"

#include <atomic>

#include "kel/outlets.h"

namespace kel {

char g_overdrive_active = 0;

namespace {

// The lockout flag, set around freeing an object and around delivering an
// error to its subscribers; the kernel never reads it, externals may.
std::atomic<long> g_lockout{0};

}  // namespace

std::recursive_mutex &global_lock()
{
    static std::recursive_mutex lock;
    return lock;
}

}  // namespace kel

KEL_API long lockout_set(long n) { return kel::g_lockout.exchange(n & 0xFF); }
