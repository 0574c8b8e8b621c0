// Kernel locks.
//
// The global critical section is recursive, like every kernel lock that a
// callback may re-enter. Small private locks that never call out (the symbol
// table, the memory pool) are plain mutexes.
#pragma once

#include <atomic>
#include <cstdint>
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

// A recursive mutex for locks taken on hot paths (the clock list): taking it
// free and giving it back are one atomic operation each, and taking it again
// on the owning thread only counts. A thread that finds it held sleeps on the
// state word (a futex) instead of spinning. The state is 0 free, 1 held,
// 2 held with a thread waiting, so that giving it back wakes only when
// someone waits.
class recursive_lock {
public:
    recursive_lock() = default;
    recursive_lock(const recursive_lock &) = delete;
    recursive_lock &operator=(const recursive_lock &) = delete;

    void lock()
    {
        const uintptr_t self = thread_token();
        // Only this thread ever stores its own token: reading it back is exact.
        if (owner_.load(std::memory_order_relaxed) == self) {
            depth_++;
            return;
        }
        int expected = 0;
        if (!state_.compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_relaxed))
            wait_for(expected);
        owner_.store(self, std::memory_order_relaxed);
        depth_ = 1;
    }

    bool try_lock()
    {
        const uintptr_t self = thread_token();
        if (owner_.load(std::memory_order_relaxed) == self) {
            depth_++;
            return true;
        }
        int expected = 0;
        if (!state_.compare_exchange_strong(expected, 1, std::memory_order_acquire, std::memory_order_relaxed))
            return false;
        owner_.store(self, std::memory_order_relaxed);
        depth_ = 1;
        return true;
    }

    void unlock()
    {
        if (--depth_ > 0) return;
        owner_.store(0, std::memory_order_relaxed);
        if (state_.exchange(0, std::memory_order_release) == 2) wake_one();
    }

private:
    // A distinct non-zero word per live thread: the address of a thread-local.
    static uintptr_t thread_token()
    {
        static thread_local constinit char token __attribute__((tls_model("initial-exec"))) = 0;
        return reinterpret_cast<uintptr_t>(&token);
    }
    void wait_for(int seen);
    void wake_one();

    std::atomic<int> state_{0};
    std::atomic<uintptr_t> owner_{0};
    int depth_ = 0;  // touched by the owner only
};

// The lockout flag, set around freeing an object, around the scheduler's
// services and clock changes, and around delivering an error to its
// subscribers; the kernel never reads it, externals may (lockout_set).
extern std::atomic<long> g_lockout;
inline long lockout_exchange(long n) { return g_lockout.exchange(n & 0xFF); }

// The lockout flag set for the length of a scope.
class lockout_scope {
public:
    lockout_scope() : saved_(lockout_exchange(1)) {}
    ~lockout_scope() { lockout_exchange(saved_); }
    lockout_scope(const lockout_scope &) = delete;
    lockout_scope &operator=(const lockout_scope &) = delete;

private:
    long saved_;
};

}  // namespace kel
