#include "kernel/time/scheduler.h"

#include <cmath>
#include <cstdio>

#include <pthread.h>

#include "kel/console.h"
#include "kel/outlets.h"
#include "kel/symbols.h"
#include "kel/threads.h"
#include "kernel/core/calls.h"
#include "kernel/core/console.h"
#include "kernel/core/locks.h"
#include "kernel/core/objects.h"
#include "kernel/core/settings.h"
#include "kernel/core/symbols.h"
#include "kernel/time/clocks.h"
#include "kernel/time/qelems.h"
#include "kernel/wires/depth.h"

namespace kel {

std::atomic<unsigned long> g_other_events{0};
unsigned long g_main_events = 0;
thread_local constinit bool t_main_thread = false;

namespace {

// Bytes that an audio host reads through the takeover record.
char g_in_isr = 0;
char g_in_isr2 = 0;
char g_host_byte = 0;

std::atomic<bool> g_takeover{false};
std::atomic<uintptr_t> g_scheduler_thread{0};

// The outlet slot published as "##suspend##": an object may store an outlet
// there to hear of the application losing (0) and regaining (1) the foreground.
outlet *g_suspend_outlet = nullptr;

// The current run of clock firings at one logical time: the time and how
// many fired. Polls never overlap, but may run on different threads in turn.
std::atomic<double> g_run_time{-HUGE_VAL};
std::atomic<long> g_run_fired{0};
void (*g_stall_handler)(const char *) = &sched_halt;

// Set once the scheduler has said that it fell behind real time.
std::atomic<bool> g_behind_said{false};

std::atomic<sched_input_hook> g_input_hook{nullptr};
std::atomic<sched_input_pending> g_input_pending{nullptr};

// A pass the throttle ended left clocks due: when the oldest is more than
// sched_behind_limit ms older than the pass, more clocks fall due than the
// scheduler fires, or something held it up. Said once; virtual time never
// falls behind.
void behind_check(double start, const clock_queue &clocks)
{
    if (sched_virtual_time() || g_behind_said.load(std::memory_order_relaxed)) return;
    const double late = start - clocks.published_due();
    if (!(late > sched_behind_limit)) return;
    if (g_behind_said.exchange(true, std::memory_order_relaxed)) return;
    warning("scheduler: falling behind real time: clocks fire more than %g ms late", sched_behind_limit);
}

// The takeover host's re-entry request.
std::atomic<bool> g_poll_again{false};

inline char byte_get(const char &b) { return std::atomic_ref<const char>(b).load(std::memory_order_relaxed); }
inline char byte_swap(char &b, char v) { return std::atomic_ref<char>(b).exchange(v, std::memory_order_relaxed); }

uintptr_t self_id() { return static_cast<uintptr_t>(pthread_self()); }

void takeover_poll();

// The console's redraw runs on the main thread, from the queue.
qelem *g_console_redraw = nullptr;

void run_console_redraw(void *) { console_redraw(); }

void request_console_redraw() { qelem_set(g_console_redraw); }

// Nothing a freed object owned may fire against it.
void forget_owned_timers(object *x)
{
    clocks_remove_owned_by(x);
    qelems_remove_owned_by(x);
}

}  // namespace

constinit sched_settings g_sched_settings;
constinit sched_flags g_sched_flags;
constinit sched_takeover g_takeover_record = {
    &takeover_poll, &sched_set_takeover, 0.0,          44.1,      1.0 / 44.1,
    44.1,           1.0 / 44.1,          &g_host_byte, &g_in_isr, &g_overdrive_active,
};

constinit recursive_lock g_clock_lock;

bool on_main_thread() { return t_main_thread; }

bool in_isr() { return byte_get(g_in_isr) || byte_get(g_in_isr2); }

bool isr_flag() { return byte_get(g_in_isr) != 0; }

bool takeover_on() { return g_takeover.load(std::memory_order_relaxed); }

unsigned long event_counter() { return t_main_thread ? g_main_events : g_other_events.load(std::memory_order_relaxed); }

void message_event_start()
{
    event_counter_bump();
    empty_symbol_clear();
    if (!overdrive_active()) sched_set_now(timer_time());
}

void sched_init()
{
    static bool done = false;
    t_main_thread = true;
    if (done) return;
    done = true;
    depth_thread_start();
    depth_set_overflow_handler(&sched_halt);
    clock_class();
    qelems_init();
    object_add_teardown_hook(free_step::forget, &forget_owned_timers);
    g_console_redraw = qelem_new(nullptr, reinterpret_cast<kel_method>(&run_console_redraw));
    if (g_console_redraw) console_set_redraw_request(&request_console_redraw);
    gensym("__takeover")->thing = reinterpret_cast<object *>(&takeover_record());
    gensym("sched_start")->thing = reinterpret_cast<object *>(&sched_start_timer);
    gensym("##suspend##")->thing = reinterpret_cast<object *>(&g_suspend_outlet);
    gensym("##_initialenable_##")->thing = reinterpret_cast<object *>(static_cast<uintptr_t>(1));
    sched_set_now(0);
}

int sched_poll_clocks(bool takeover)
{
    sched_flags &flags = sched_state();
    if (flags.stopped.load(std::memory_order_relaxed)) return 1;
    // The abort keys (Control and '.') are never held down without a keyboard.
    if (overdrive_active() && !t_main_thread) {
        uintptr_t self = self_id();
        if (g_scheduler_thread.load(std::memory_order_relaxed) != self) {
            g_scheduler_thread.store(self, std::memory_order_relaxed);
            depth_thread_start();
        }
    }
    long lockout = lockout_exchange(1);
    flags.in_poll.store(true, std::memory_order_relaxed);
    const double start = sched_now();
    const double slop = sched_config().slop.load(std::memory_order_relaxed);
    recursive_lock &lock = clock_lock();
    clock_queue &clocks = global_clocks();
    int drained = 0;
    // The stall check costs one increment and one compare per clock: the
    // run's count lives in a register for the whole poll.
    const long stall_limit = sched_config().stall_limit.load(std::memory_order_relaxed);
    long fired = g_run_time.load(std::memory_order_relaxed) == start ? g_run_fired.load(std::memory_order_relaxed) : 0;
    bool stalled = false;
    // Input (MIDI, once a manager with drivers exists) joins each pass: one
    // unit of input, then one clock; the poll is drained when neither is left.
    const sched_input_hook input = g_input_hook.load(std::memory_order_acquire);
    for (int budget = sched_config().poll_throttle.load(std::memory_order_relaxed); budget > 0; budget--) {
        sched_set_now(start);
        const bool took = input && input(start);
        if (took) sched_set_now(start);
        if (!takeover) {
            // Nothing due: no lock. A clock another thread sets due just
            // after this look waits for the next poll, as one set just after
            // a look under the lock would.
            if (clocks.published_due() > start) {
                if (took) continue;
                drained = 1;
                break;
            }
            lock.lock();
        }
        kel_clock *c = clocks.head();
        if (!c || c->fire_time > start || flags.stopped.load(std::memory_order_relaxed)) {
            if (!takeover) lock.unlock();
            if (took) continue;
            drained = 1;
            break;
        }
        // On time within the slop: the callback sees the time it asked for.
        if (start - c->fire_time < slop) sched_set_now(c->logical_time);
        clocks.pop();
        c->state = -1;
        void *arg = c->arg;
        kel_method fn = c->fn;
        if (!takeover) lock.unlock();
        if (fn) call_task(fn, arg);
        if (++fired >= stall_limit) {
            stalled = true;
            break;
        }
    }
    g_run_time.store(start, std::memory_order_relaxed);
    g_run_fired.store(fired, std::memory_order_relaxed);
    if (!drained && !takeover) behind_check(start, clocks);
    sched_set_now(start);
    lockout_exchange(lockout);
    flags.in_poll.store(false, std::memory_order_relaxed);
    if (stalled) {
        // Logical time cannot move while clocks keep falling due at it (a
        // delay 0 that restarts itself): nothing else would ever end the run.
        char alert[128];
        std::snprintf(alert, sizeof alert, "Scheduler stopped: %ld clocks fired at %.2f ms without time moving on",
                      fired, start);
        flags.stalled.store(true, std::memory_order_relaxed);
        g_run_fired.store(0, std::memory_order_relaxed);
        g_stall_handler(alert);
        return 1;
    }
    return drained;
}

int sched_poll()
{
    sched_flags &flags = sched_state();
    sched_set_now(timer_time());
    bool in_queue = flags.in_queue.exchange(false, std::memory_order_relaxed);
    event_counter_bump();
    empty_symbol_clear();
    int drained = sched_poll_clocks(false);
    flags.in_queue.store(in_queue, std::memory_order_relaxed);
    return drained;
}

void sched_set_input_hook(sched_input_hook hook, sched_input_pending pending)
{
    g_input_pending.store(pending, std::memory_order_release);
    g_input_hook.store(hook, std::memory_order_release);
}

bool sched_input_waiting()
{
    sched_input_pending pending = g_input_pending.load(std::memory_order_acquire);
    return pending && pending();
}

void sched_halt(const char *alert)
{
    ouchstring("%s", alert);
    sched_state().stopped.store(true, std::memory_order_relaxed);
    clocks_drop_all();
}

void sched_restart()
{
    g_run_fired.store(0, std::memory_order_relaxed);
    g_behind_said.store(false, std::memory_order_relaxed);  // a restarted scheduler says so again
    sched_state().stalled.store(false, std::memory_order_relaxed);
    sched_state().stopped.store(false, std::memory_order_relaxed);
}

void sched_set_stall_handler(void (*handler)(const char *alert)) { g_stall_handler = handler ? handler : &sched_halt; }

// Both read the published figures: the answer is what a locked look just
// before a concurrent change would have given.
bool sched_next_clock_time(double *t)
{
    const clock_queue &clocks = global_clocks();
    if (clocks.published_size() == 0) return false;
    double due = clocks.published_due();
    if (due == HUGE_VAL) {
        // A clock set for no real time, or the list emptied between the two
        // reads: the locked look tells which.
        std::lock_guard guard(clock_lock());
        kel_clock *c = clocks.head();
        if (!c) return false;
        due = c->fire_time;
    }
    if (t) *t = due;
    return true;
}

long sched_pending_clocks() { return global_clocks().published_size(); }

void sched_set_overdrive(bool on)
{
    sched_state().overdrive_requested.store(on, std::memory_order_relaxed);
    if (on) lockout_exchange(0);
    main_loop_wake();
}

namespace {

void takeover_poll()
{
    if (byte_get(g_in_isr)) {
        g_poll_again.store(true, std::memory_order_relaxed);
        return;
    }
    byte_swap(g_in_isr, 1);
    do {
        g_poll_again.store(false, std::memory_order_relaxed);
        if (!overdrive_active()) break;
        std::recursive_mutex &global = global_lock();
        if (!global.try_lock()) break;
        if (!clock_lock().try_lock()) {
            global.unlock();
            break;
        }
        sched_poll_clocks(true);
        clock_lock().unlock();
        global.unlock();
    } while (g_poll_again.load(std::memory_order_relaxed));
    byte_swap(g_in_isr, 0);
}

}  // namespace

}  // namespace kel

using namespace kel;

KEL_API void sched_suspend(void)
{
    sched_state().background.store(true, std::memory_order_relaxed);
    if (developer()) post("sched_suspend");
}

KEL_API void sched_resume(void)
{
    sched_state().background.store(false, std::memory_order_relaxed);
    if (developer()) post("sched_resume");
}

KEL_API short sched_isinpoll(void)
{
    if (!sched_state().in_poll.load(std::memory_order_relaxed)) return 0;
    return !overdrive_active() || systhread_istimerthread() ? 1 : 0;
}

KEL_API short sched_isinqueue(void)
{
    if (!sched_state().in_queue.load(std::memory_order_relaxed)) return 0;
    return !overdrive_active() || t_main_thread ? 1 : 0;
}

KEL_API int isr(void)
{
    return overdrive_active() && sched_state().in_poll.load(std::memory_order_relaxed) && systhread_istimerthread();
}

KEL_API int systhread_istimerthread(void) { return g_scheduler_thread.load(std::memory_order_relaxed) == self_id(); }

KEL_API int systhread_ismainthread(void) { return t_main_thread; }

KEL_API void sched_setpollthrottle(int n, int *old)
{
    std::atomic<int> &throttle = sched_config().poll_throttle;
    if (old) *old = throttle.load(std::memory_order_relaxed);
    if (n != -1) throttle.store(n, std::memory_order_relaxed);
}

KEL_API void sched_setqueuethrottle(int n, int *old)
{
    std::atomic<int> &throttle = sched_config().queue_throttle;
    if (old) *old = throttle.load(std::memory_order_relaxed);
    if (n != -1) throttle.store(n, std::memory_order_relaxed);
}

// The idle list is never filled, so its service finds nothing to run.
KEL_API int sched_idledequeue(void) { return 0; }

KEL_API int sched_set_takeover(int on)
{
    lockout_scope lockout;
    bool was = g_takeover.exchange(on != 0);
    if (overdrive_active() && was != (on != 0)) {
        if (on) {
            sched_stop_timer();
            timebase_freeze(true);
        } else {
            double now = sched_now();
            sched_start_timer();
            timer_time_set(now);
        }
    }
    return was;
}

KEL_API short isr_set(short v) { return byte_swap(g_in_isr, static_cast<char>(v)); }

KEL_API short inisr_set(short v) { return byte_swap(g_in_isr2, static_cast<char>(v)); }
