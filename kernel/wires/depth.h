// The depth guard: what stops a runaway chain of messages before it runs the
// thread out of stack.
//
// Every send enters the guard and leaves it. From depth 24 on, each entry
// compares the current frame with the limit of the running thread: 40000
// bytes above the low end of its stack region. Past it, the send is refused,
// the user is alerted, the scheduler is stopped, and every send nested under
// the outermost one on this thread is refused until that one returns, so the
// whole runaway chain is abandoned, not just its deepest message.
#pragma once

#include <cstdint>

namespace kel {

inline constexpr int depth_check_threshold = 24;
inline constexpr uintptr_t stack_margin = 40000;

struct thread_depth {
    int depth = 0;
    bool aborting = false;  // a stack overflow on this thread is being unwound
    uintptr_t limit = 0;    // 0 until computed for this thread
};

// Per thread: each thread's chain of messages is guarded against its own stack.
extern thread_local thread_depth t_depth __attribute__((tls_model("initial-exec")));

// The slow part of depth_enter: the stack test.
bool depth_check(uintptr_t frame);

// Enters a send: false when it must not go on (the guard tripped, or an
// overflow is being unwound); then depth_exit must not be called.
inline bool depth_enter()
{
    thread_depth &t = t_depth;
    if (t.aborting) return false;
    if (++t.depth >= depth_check_threshold && !depth_check(reinterpret_cast<uintptr_t>(__builtin_frame_address(0)))) {
        t.depth--;
        return false;
    }
    return true;
}

inline void depth_exit()
{
    thread_depth &t = t_depth;
    if (t.depth > 0) t.depth--;
    if (t.depth == 0) t.aborting = false;
}

// What a tripped guard calls with the alert text: the scheduler installs its
// halt at start-up (the guard sits below it).
using depth_overflow_handler = void (*)(const char *alert);
void depth_set_overflow_handler(depth_overflow_handler handler);

// Computes the limit of the calling thread from its stack region (done on
// first need; threads that start the scheduler call it at their start).
void depth_thread_start();

}  // namespace kel
