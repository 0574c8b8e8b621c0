// The scheduler: logical time, the scheduler poll, the queue service, the
// flags and counters that tell code which thread and which phase it runs in.
//
// Threads: clocks fire on the main thread (normal), on the scheduler timer
// thread (overdrive), or on an audio host's thread (overdrive + takeover).
// Qelems always run on the main thread. Lock order: global lock, clock lock,
// queue lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "kel/outlets.h"
#include "kel/sched.h"
#include "kernel/core/locks.h"
#include "kernel/core/symbols.h"

namespace kel {

// --- settings ---
struct sched_settings {
    std::atomic<double> scheduler_interval{1.0};  // ms, 1.0 .. 20.0
    std::atomic<int> event_interval{2};           // ms
    std::atomic<int> sleep{2};                    // main-loop wait, in sixtieths of a second
    std::atomic<int> poll_throttle{30};
    std::atomic<int> queue_throttle{10};
    std::atomic<double> slop{25.0};  // ms
    // Clocks that may fire one after another while logical time stands
    // still before the scheduler is stopped as stuck (see sched_poll_clocks).
    std::atomic<long> stall_limit{1000000};
};
extern constinit sched_settings g_sched_settings;
inline sched_settings &sched_config() { return g_sched_settings; }

// --- flags ---
struct sched_flags {
    std::atomic<bool> overdrive_requested{false};
    std::atomic<bool> quit_requested{false};
    std::atomic<bool> stopped{false};
    std::atomic<bool> stalled{false};  // stopped because logical time stood still
    std::atomic<bool> background{false};
    std::atomic<bool> in_poll{false};
    std::atomic<bool> in_queue{false};
};
extern constinit sched_flags g_sched_flags;
inline sched_flags &sched_state() { return g_sched_flags; }

// The record bound to "__takeover"; its `now` is the logical time.
extern constinit sched_takeover g_takeover_record;
inline sched_takeover &takeover_record() { return g_takeover_record; }

// Called once by kernel start-up on the main thread: records the main
// thread, binds the scheduler's symbols, sets `now` to 0.
void sched_init();

// --- logical time ---
// Read and written by whichever thread runs clocks, and read by an audio
// host through the takeover record: a relaxed atomic view of the double.
inline double sched_now() { return std::atomic_ref<double>(g_takeover_record.now).load(std::memory_order_relaxed); }
inline void sched_set_now(double t)
{
    std::atomic_ref<double>(g_takeover_record.now).store(t, std::memory_order_relaxed);
}

// --- the time base ---
// Milliseconds since time zero: the steady clock normally; a stored value
// when time is virtual or placed by hand (tests).
extern std::atomic<bool> g_stored;
extern std::atomic<double> g_stored_time;
double flowing_time();  // the steady clock's, or the frozen value
inline double timer_time()
{
    if (g_stored.load(std::memory_order_relaxed)) return g_stored_time.load(std::memory_order_relaxed);
    return flowing_time();
}
void timer_time_set(double t);
// Virtual time: logical time jumps to the next due clock instead of
// waiting. Switching it on stores the current timer time.
void sched_set_virtual_time(bool on);
bool sched_virtual_time();
// Places timer time by hand (switches to the stored time base); tests.
void sched_place_time(double t);
// Back to the steady clock (leaves virtual and placed time).
void sched_real_time();
// Freezes timer time at its current value while an audio host drives time
// (takeover stopped the scheduler timer); starting the timer thaws it.
void timebase_freeze(bool frozen);

// --- the two services ---
// The scheduler poll (entry P0): fires due clocks; 1 when drained, 0 when
// the poll throttle ended it. Whoever polls polls again at once while it
// answers 0, giving other work its turn in between; when clocks still wait
// after that more than sched_behind_limit ms past their time, the poll says
// so once (a console warning).
int sched_poll();
constexpr double sched_behind_limit = 10.0;  // ms
// The queue service: runs queued qelems; 1 when at least one ran (default
// throttle).
int queue_service();
// The poll without its entry step, with `now` as it stands (takeover).
int sched_poll_clocks(bool takeover);

// --- event counters: one for the main thread, one for all others ---
extern thread_local constinit bool t_main_thread;
extern unsigned long g_main_events;  // written by the main thread only
extern std::atomic<unsigned long> g_other_events;
unsigned long event_counter();
inline void event_counter_bump()
{
    if (t_main_thread)
        g_main_events++;
    else
        g_other_events.fetch_add(1, std::memory_order_relaxed);
}
// Work that comes from outside (input, loading) begins: the event counter
// moves, the value of the empty symbol is cleared, and outside overdrive
// `now` catches up with timer time.
void message_event_start();

// Clears the value bound to the empty symbol (each service starts so).
inline void empty_symbol_clear()
{
    std::atomic_ref<object *>(sym_empty->thing).store(nullptr, std::memory_order_relaxed);
}

// --- threads and flags ---
bool on_main_thread();
bool takeover_on();
bool in_isr();    // either "inside a poll" flag
bool isr_flag();  // the first one alone: the timer's or the takeover host's poll
extern constinit recursive_lock g_clock_lock;
inline recursive_lock &clock_lock() { return g_clock_lock; }

// Stops the scheduler: shows the alert, sets stopped, drops every pending
// clock. The Resume command (`sched_restart`) clears stopped.
void sched_halt(const char *alert);
void sched_restart();
// A run of stall_limit clock firings (across polls) without logical time
// moving on sets stalled and calls the stall handler with the alert
// "Scheduler stopped: N clocks fired at T ms without time moving on"; the
// handler must stop the scheduler (the default is sched_halt). The run's
// count restarts whenever a poll starts at another logical time, and at
// sched_restart, which also clears stalled.
void sched_set_stall_handler(void (*handler)(const char *alert));
// Input that joins every pass of the poll (MIDI): takes at most one unit of
// input at the poll's start time and answers whether it took one. A layer
// above the scheduler installs it; null: none.
// pending answers, from any thread, whether input waits: the main loop does
// not sleep then (whoever puts input there wakes it with main_loop_wake).
using sched_input_hook = bool (*)(double start);
using sched_input_pending = bool (*)();
void sched_set_input_hook(sched_input_hook hook, sched_input_pending pending);
bool sched_input_waiting();

// Takes the next due clock's fire time into *t; false when none is pending.
bool sched_next_clock_time(double *t);
long sched_pending_clocks();
bool queue_is_empty();
// Nothing left to do: the queue is empty and no clock can fire (none is
// pending, or the scheduler is stopped).
bool sched_idle();

// --- the main loop ---
// Runs until quit is requested: the overdrive variant while overdrive is
// requested, the normal one otherwise. In virtual time clocks always fire on
// the main thread and time jumps whenever the main thread has nothing to do.
void main_loop();
void sched_request_quit();
// Called on the main thread after each turn that leaves the queue empty,
// before virtual time jumps; a batch run decides here whether to quit.
void main_loop_set_idle_hook(void (*hook)());
// Wakes the main loop from any thread (new input was queued).
void main_loop_wake();
// Input arrived from another thread (MIDI): wakes whichever thread polls,
// the main thread outside overdrive, the scheduler thread in overdrive.
void sched_input_arrived();
// Tells the loop that a clock of the global list was set to fire at
// fire_time (any thread, after the clock lock is given back): the thread that
// fires clocks, asleep past that time, wakes.
void main_loop_clock_set(double fire_time);
// Starts and stops the scheduler timer thread and the event timer.
void sched_start_timer();
void sched_stop_timer();
bool sched_timer_running();
void event_timer_start();
void event_timer_stop();
void sched_set_overdrive(bool on);
// The main thread's periodic service (the event timer procedure).
void event_timer_procedure();
// Stops the timers and resets every flag that a run leaves set.
void sched_shutdown();

// The broadcast points of key presses (plug_dokey) and releases
// (plug_dokeyup): [0] character, [1] key code, [2] modifiers. The key
// objects fill them with their first instance.
outlet **key_report_outlets();
outlet **keyup_report_outlets();
// Reports a key release as plug_dokey reports a press: key holds the
// character in bits 0 to 7 and the key code in bits 8 to 15, modifiers the
// 16-bit modifier word. 1 when any point exists. Headless, only a host (or
// a test) calls it.
long plug_dokeyup(long key, long modifiers);

}  // namespace kel
