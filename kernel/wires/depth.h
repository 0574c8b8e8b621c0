// The depth guard: what stops a runaway chain of messages before it runs the
// thread out of stack.
//
// Every send enters the guard and leaves it. From depth 24 on, each entry
// compares the current frame with the limit of the running thread: 40000
// bytes above the low end of its stack region. The compare is inline; a
// thread whose limit is not known yet takes the slow path once, which
// computes it. Past the limit, the send is refused,
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
    // What the inline compare tests frames against: the stack limit, or the
    // highest address while the limit is not yet known or an overflow is being
    // unwound, so that every send then takes the slow path.
    uintptr_t limit = UINTPTR_MAX;
    uintptr_t stack_limit = 0;  // frames below it are too deep; 0 until computed for this thread
};

// Per thread: each thread's chain of messages is guarded against its own stack.
// Constant-initialized, so that reaching it needs no per-access test for a
// first-use initializer.
extern thread_local constinit thread_depth t_depth __attribute__((tls_model("initial-exec")));

// The slow path of depth_enter, for a frame below t.limit: refuses while an
// overflow is being unwound, computes the limit when it is not known, and
// trips the guard when the frame really is too deep.
bool depth_check(uintptr_t frame);
// The slow path of depth_exit, when the outermost send returns while an
// overflow is being unwound: that is over.
void depth_unwound();

// Where the calling function's frame is: the stack pointer where it can be
// read in one instruction, else the address of a local (a frame address
// would make every sending function keep a frame pointer).
inline uintptr_t stack_position()
{
#if defined(__x86_64__)
    uintptr_t sp;
    asm("mov %%rsp, %0" : "=r"(sp));
    return sp;
#elif defined(__aarch64__)
    uintptr_t sp;
    asm("mov %0, sp" : "=r"(sp));
    return sp;
#else
    char probe;
    return reinterpret_cast<uintptr_t>(&probe);
#endif
}

// Enters a send: false when it must not go on (the guard tripped, or an
// overflow is being unwound); then depth_exit must not be called.
inline bool depth_enter()
{
    thread_depth &t = t_depth;
    ++t.depth;
    const uintptr_t frame = stack_position();
    if (__builtin_expect(frame < t.limit, 0) && !depth_check(frame)) {
        t.depth--;
        return false;
    }
    return true;
}

inline void depth_exit()
{
    thread_depth &t = t_depth;
    // The outermost send returns often (every top-level message): only an
    // overflow being unwound, or a count gone wrong, needs the slow path.
    if (--t.depth <= 0 && __builtin_expect(t.depth < 0 || t.aborting, 0)) depth_unwound();
}

// What a tripped guard calls with the alert text: the scheduler installs its
// halt at start-up (the guard sits below it).
using depth_overflow_handler = void (*)(const char *alert);
void depth_set_overflow_handler(depth_overflow_handler handler);

// Computes the limit of the calling thread from its stack region (done on
// first need; threads that start the scheduler call it at their start).
void depth_thread_start();

}  // namespace kel
