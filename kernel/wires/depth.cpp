#include "kernel/wires/depth.h"

#include <atomic>

#include <pthread.h>

#include "kel/console.h"

namespace kel {

thread_local constinit thread_depth t_depth __attribute__((tls_model("initial-exec")));

namespace {

std::atomic<depth_overflow_handler> g_overflow_handler{nullptr};

// The low end of the calling thread's stack region, or 0 when the system
// cannot tell.
uintptr_t stack_low_end()
{
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return 0;
    void *address = nullptr;
    size_t size = 0;
    int failed = pthread_attr_getstack(&attr, &address, &size);
    pthread_attr_destroy(&attr);
    return failed ? 0 : reinterpret_cast<uintptr_t>(address);
}

}  // namespace

void depth_set_overflow_handler(depth_overflow_handler handler)
{
    g_overflow_handler.store(handler, std::memory_order_relaxed);
}

void depth_thread_start()
{
    thread_depth &t = t_depth;
    uintptr_t low = stack_low_end();
    if (low) {
        t.stack_limit = low + stack_margin;
    } else {
        error("Error querying stack base.");
        t.stack_limit = reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) - 249997;
    }
    if (!t.aborting) t.limit = t.stack_limit;
}

bool depth_check(uintptr_t frame)
{
    thread_depth &t = t_depth;
    if (t.aborting) return false;
    if (!t.stack_limit) depth_thread_start();
    if (frame >= t.stack_limit || t.depth < depth_check_threshold) return true;
    // The stack grows down: the frame is below the limit. The depth is not
    // reset: it counts the sends still to be unwound, and the last of them
    // ends the abandonment.
    t.aborting = true;
    t.limit = UINTPTR_MAX;
    if (depth_overflow_handler halt = g_overflow_handler.load(std::memory_order_relaxed))
        halt("Stack overflow. Choose Resume to restart the scheduler");
    return false;
}

void depth_unwound()
{
    thread_depth &t = t_depth;
    t.depth = 0;
    if (t.aborting) {
        t.aborting = false;
        t.limit = t.stack_limit ? t.stack_limit : UINTPTR_MAX;
    }
}

}  // namespace kel
