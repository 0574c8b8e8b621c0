// The scheduler timer and the main loop's waiting.
//
// The scheduler timer thread ticks every scheduler interval while overdrive
// is on: it keeps timer time and polls the clocks itself. Outside overdrive it
// has nothing to do and sleeps until overdrive comes on.
//
// The main thread sleeps until it has something to do: the next clock falls
// due (outside overdrive, where it fires the clocks), a queue element is set,
// a line of input or a signal asks for a quit, overdrive changes. Then it runs
// its periodic service (queue, then clocks outside overdrive). In overdrive it
// also wakes every event interval, as the event timer did, to service the
// queue and refill the memory pool. An idle patch therefore costs no
// wake-ups but the main thread's rare safety wake (idle_wait_limit).
//
// Waking without a lost wake-up: whoever makes work (qelem_set, a clock set
// from another thread, overdrive coming on) first publishes it (the queue or
// clock list under their locks, the overdrive flag) and then adds one to
// g_wake_epoch and reads the sleeper's waiting flag; the sleeper first sets
// its waiting flag and then reads g_wake_epoch and looks for work. All four
// are sequentially consistent, so one of the two sees the other: either the
// sleeper's read of the epoch takes the waker's addition, which makes the
// published work visible to its look, or the waker sees the sleeper waiting
// and sets a flag under the sleeper's lock that the sleeper checks under that
// lock before it sleeps and that ends the sleep. (An epoch rather than a
// fence: ThreadSanitizer does not model fences.) The look itself takes no
// lock while the sleeper's lock is held: wakers give the clock lock back
// before they take the sleeper's, never the other way round.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "kel/console.h"
#include "kernel/core/locks.h"
#include "kernel/core/memory.h"
#include "kernel/time/qelems.h"
#include "kernel/time/scheduler.h"
#include "kernel/wires/depth.h"

namespace kel {
namespace {

using steady = std::chrono::steady_clock;

// Set on the thread running main_loop: what it queues or sets is seen by its
// own next look, so it never needs waking and pays nothing.
thread_local bool t_main_loop = false;

// Added to by every waker after it published work; read by every sleeper
// before it looks (see the file comment).
std::atomic<unsigned long> g_wake_epoch{0};

// A thread that calls tick() every period() until it is stopped, and also
// at the earlier moment early() names, if any. early() answering
// time_point::max() means there is nothing to do: the thread sleeps until
// wake() or stop(), then ticks at once and every period() from there. Each
// start is a new generation: a stopped timer never ticks again.
class periodic_timer {
public:
    periodic_timer() = default;
    periodic_timer(const periodic_timer &) = delete;
    periodic_timer &operator=(const periodic_timer &) = delete;
    // A timer still running at exit is stopped, never abandoned mid-tick.
    ~periodic_timer() { stop(); }

    template <typename Period, typename Tick, typename Early> bool start(Period period, Tick tick, Early early)
    {
        std::lock_guard guard(control_);
        if (thread_.joinable()) return false;
        stop_ = false;
        woken_ = false;
        thread_ = std::thread([this, period, tick, early] {
            depth_thread_start();
            auto length = [&] {
                return std::chrono::duration_cast<steady::duration>(
                    std::chrono::duration<double, std::milli>(period()));
            };
            auto next = steady::now() + length();
            std::unique_lock lock(m_);
            while (!stop_) {
                idle_.store(true);
                (void)g_wake_epoch.load();
                steady::time_point wake = early(next);
                if (wake == steady::time_point::max()) {
                    cv_.wait(lock, [this] { return stop_ || woken_; });
                    next = steady::now();  // ticks at once below, then on a new grid
                } else {
                    cv_.wait_until(lock, std::min(next, wake), [this] { return stop_ || woken_; });
                }
                idle_.store(false);
                woken_ = false;
                if (stop_) break;
                lock.unlock();
                tick();
                lock.lock();
                auto now = steady::now();
                if (now < next) continue;  // an early tick: the regular one stays due
                next += length();
                // After a stall, tick on from now instead of in a burst.
                if (next < now - std::chrono::milliseconds(5)) next = now + length();
            }
        });
        return true;
    }

    void stop()
    {
        std::lock_guard guard(control_);
        if (!thread_.joinable()) return;
        {
            std::lock_guard lock(m_);
            stop_ = true;
        }
        cv_.notify_all();
        if (thread_.get_id() == std::this_thread::get_id())
            thread_.detach();
        else
            thread_.join();
    }

    // Makes the thread look at early() again now. Cheap unless the thread is
    // waiting; see the file comment for why the look is safe.
    void wake()
    {
        g_wake_epoch.fetch_add(1);
        wake_published();
    }

    // wake() for a caller that has already added to g_wake_epoch.
    void wake_published()
    {
        if (!idle_.load()) return;
        {
            std::lock_guard lock(m_);
            woken_ = true;
        }
        cv_.notify_all();
    }

    bool running()
    {
        std::lock_guard guard(control_);
        return thread_.joinable();
    }

private:
    std::mutex control_;  // start and stop
    std::mutex m_;
    std::condition_variable cv_;
    bool stop_ = false;
    bool woken_ = false;             // under m_
    std::atomic<bool> idle_{false};  // the thread is deciding to wait, or waiting
    std::thread thread_;
};

periodic_timer &scheduler_timer()
{
    static periodic_timer t;
    return t;
}

// The main thread's wake-ups.
std::mutex g_main_lock;
std::condition_variable g_main_cv;
std::atomic<bool> g_service_on{false};  // event_timer_start: the main thread services in real time
std::atomic<bool> g_kicked{false};      // a reason to look again (input, a clock set elsewhere, quit)
std::atomic<bool> g_main_waiting{false};
// The timer time of the clock the main thread sleeps toward (+inf: none, or
// not decided yet); set only while g_main_waiting is, +inf otherwise.
std::atomic<double> g_main_deadline{HUGE_VAL};
// The longest the main thread sleeps with nothing to wait for: a safety net
// that bounds the harm of a wake-up this file does not know of.
constexpr double idle_wait_limit = 1000.0;
void (*g_idle_hook)() = nullptr;
bool g_in_event_procedure = false;
kel_method g_loop_function = nullptr;
// The broadcast points of key presses and releases: character, key code,
// modifiers. Made by the key objects with their first instance and kept for
// the whole process.
outlet *g_key_outlets[3] = {nullptr, nullptr, nullptr};
outlet *g_keyup_outlets[3] = {nullptr, nullptr, nullptr};

// Modifiers first, then the key code (bits 8 to 15 of the event message),
// then the character (bits 0 to 7): every listener outputs right to left.
long key_report(outlet *const points[3], long key, long modifiers)
{
    if (!points[0] && !points[1] && !points[2]) return 0;
    if (points[2]) outlet_int(points[2], modifiers & 0xFFFF);
    if (points[1]) outlet_int(points[1], (key >> 8) & 0xFF);
    if (points[0]) outlet_int(points[0], key & 0xFF);
    return 1;
}

// Set when the scheduler thread's last poll was ended by the throttle with
// clocks still due: its next pass runs at once instead of at the next tick.
std::atomic<bool> g_timer_backlog{false};

// The timer poll: in overdrive the scheduler thread fires the clocks, but
// never waits for the global lock; a busy lock costs this tick.
void timer_poll()
{
    std::recursive_mutex &global = global_lock();
    bool locked = false;
    if (overdrive_active()) {
        if (!global.try_lock()) {
            g_timer_backlog.store(false);
            return;
        }
        locked = true;
    }
    isr_set(1);
    bool backlog = sched_poll() == 0;
    if (locked) global.unlock();
    isr_set(0);
    g_timer_backlog.store(backlog);
    // Between two passes the lock is free: let a main thread waiting for it
    // (the queue) have its turn first.
    if (backlog) std::this_thread::yield();
}

void scheduler_tick()
{
    if (overdrive_active() && !isr_flag()) timer_poll();
}

// Outside overdrive the scheduler thread has nothing to do (timer time is
// read from the steady clock when asked for) and sleeps until woken. In
// overdrive it also wakes when the next clock falls due between two ticks,
// so a clock fires on time instead of at the next tick after it. After a
// pass the poll throttle ended, the next pass runs at once. Otherwise a clock
// already due waits for the regular tick (a poll that could not take the
// global lock must not turn into a busy loop).
steady::time_point next_clock_due(steady::time_point regular)
{
    if (!overdrive_active()) return steady::time_point::max();
    if (sched_state().stopped.load() || sched_virtual_time()) return regular;
    if (g_timer_backlog.load()) return steady::now();
    double due = 0;
    if (!sched_next_clock_time(&due)) return regular;
    double ahead = due - timer_time();
    if (ahead <= 0) return regular;
    return steady::now() +
           std::chrono::duration_cast<steady::duration>(std::chrono::duration<double, std::milli>(ahead));
}

steady::time_point after_ms(double ms)
{
    return steady::now() + std::chrono::duration_cast<steady::duration>(
                               std::chrono::duration<double, std::micro>(std::ceil(ms * 1000)));
}

bool something_to_wake_for() { return g_kicked.load() || sched_state().quit_requested.load(); }

// When the main thread must look again: *ms from now, 0 when work is
// already waiting, +inf when only a wake-up can bring work. *due is the timer time of the
// next clock the main thread fires (+inf for none). Outside overdrive that
// is the next clock; in overdrive the scheduler thread fires them, and the
// main thread keeps the event interval.
void next_look(bool servicing, bool queued_wakes, double *ms, double *due)
{
    *due = HUGE_VAL;
    *ms = HUGE_VAL;
    if (queued_wakes && !queue_is_empty()) {
        *ms = 0;
        return;
    }
    // Input waiting is taken by the next poll: outside overdrive the main
    // thread's, in overdrive the scheduler thread's.
    if ((servicing || sched_virtual_time()) && !overdrive_active() && sched_input_waiting()) {
        *ms = 0;
        return;
    }
    if (!servicing) return;
    if (overdrive_active()) {
        *ms = std::max(1, sched_config().event_interval.load());
        return;
    }
    double next = 0;
    if (sched_state().stopped.load() || !sched_next_clock_time(&next)) return;
    // Clocks the poll throttle left due answer 0: the next pass runs without
    // a sleep, after the queue's turn.
    *due = next;
    *ms = std::max(0.0, next - timer_time());
}

// Sleeps until there is something to do: work queued, the next clock the
// main thread fires, a kick (input, quit, a clock set elsewhere), at most
// limit ms. In virtual time (servicing false) clocks never wait: only the
// queue and kicks end the sleep. Without the real-time service (no event
// timer) the queue is not serviced here and does not end the sleep.
void wait_for_work(bool servicing, bool queued_wakes, double limit)
{
    // A kick taken here was for work published before it: the look below
    // sees that work (the exchange reads the kicker's write).
    g_kicked.exchange(false);
    g_main_waiting.store(true);
    (void)g_wake_epoch.load();
    double ms = 0, due = HUGE_VAL;
    if (!sched_state().quit_requested.load()) next_look(servicing, queued_wakes, &ms, &due);
    if (ms > 0) {
        g_main_deadline.store(due);
        std::unique_lock lock(g_main_lock);
        g_main_cv.wait_until(lock, after_ms(std::min(ms, limit)), [] { return something_to_wake_for(); });
    }
    g_main_deadline.store(HUGE_VAL);
    g_main_waiting.store(false);
}

double sleep_ms() { return std::max(1, sched_config().sleep.load()) * 1000.0 / 60.0; }

void run_idle_hook()
{
    if (g_idle_hook && queue_is_empty()) g_idle_hook();
}

// Virtual time: service everything due now; when nothing is, time jumps to
// the next clock. Only input can wake a patch with nothing pending.
void virtual_event_run()
{
    event_timer_procedure();
    if (!queue_is_empty() || sched_state().quit_requested.load()) return;
    run_idle_hook();
    if (sched_state().quit_requested.load()) return;
    // Input still waiting is taken at this time, before time moves on.
    if (sched_input_waiting()) return;
    double next;
    if (!sched_state().stopped.load() && sched_next_clock_time(&next)) {
        if (next > timer_time()) timer_time_set(next);
        return;
    }
    wait_for_work(false, true, idle_wait_limit);
}

void normal_loop()
{
    sched_flags &f = sched_state();
    while (!f.quit_requested.load() && !(f.overdrive_requested.load() && !sched_virtual_time())) event_run();
}

void overdrive_loop()
{
    sched_flags &f = sched_state();
    if (takeover_on()) {
        // The host drives time now: timer time stays where it is.
        sched_stop_timer();
        timebase_freeze(true);
    }
    overdrive_active_set(true);
    scheduler_timer().wake();
    while (!f.quit_requested.load() && f.overdrive_requested.load() && !sched_virtual_time()) event_run();
    if (takeover_on()) {
        double now = sched_now();
        if (!sched_timer_running()) sched_start_timer();
        timer_time_set(now);
    }
    overdrive_active_set(false);
}

}  // namespace

void sched_start_timer()
{
    sched_settings &s = sched_config();
    if (s.scheduler_interval.load() == 0.0) s.scheduler_interval.store(1.0);
    timer_time();  // takes time zero when it is not yet set
    timebase_freeze(false);
    scheduler_timer().start([] { return std::clamp(sched_config().scheduler_interval.load(), 1.0, 20.0); },
                            &scheduler_tick, &next_clock_due);
}

void sched_stop_timer() { scheduler_timer().stop(); }

bool sched_timer_running() { return scheduler_timer().running(); }

// The event timer is the main thread's own timed sleep (wait_for_work):
// starting it makes the main loop service the queue and the clocks in real
// time.
void event_timer_start()
{
    g_service_on.store(true);
    main_loop_wake();
}

void event_timer_stop() { g_service_on.store(false); }

void event_timer_procedure()
{
    if (g_in_event_procedure) return;
    g_in_event_procedure = true;
    if (!overdrive_active()) sched_set_now(timer_time());
    queue_service();
    pool_replenish();
    if (!overdrive_active()) sched_poll();
    g_in_event_procedure = false;
}

bool sched_idle()
{
    if (!queue_is_empty()) return false;
    return sched_state().stopped.load() || sched_pending_clocks() == 0;
}

void main_loop_set_idle_hook(void (*hook)()) { g_idle_hook = hook; }

void main_loop_wake()
{
    if (t_main_loop) return;
    g_wake_epoch.fetch_add(1);
    if (!g_main_waiting.load()) return;
    std::lock_guard lock(g_main_lock);
    g_kicked.store(true);
    g_main_cv.notify_one();
}

void sched_input_arrived()
{
    if (!overdrive_active()) {
        main_loop_wake();
        return;
    }
    g_wake_epoch.fetch_add(1);
    scheduler_timer().wake_published();
}

void main_loop_clock_set(double fire_time)
{
    if (t_main_loop) return;
    g_wake_epoch.fetch_add(1);
    if (overdrive_active()) {
        scheduler_timer().wake_published();
        return;
    }
    // The deadline read here is the one the main thread sleeps with, or
    // +inf while it has not decided yet (a needless kick, never a lost one).
    if (!g_main_waiting.load() || fire_time >= g_main_deadline.load()) return;
    std::lock_guard lock(g_main_lock);
    g_kicked.store(true);
    g_main_cv.notify_one();
}

void sched_request_quit()
{
    sched_state().quit_requested.store(true);
    std::lock_guard lock(g_main_lock);
    g_main_cv.notify_all();
}

void main_loop()
{
    t_main_loop = true;
    sched_flags &f = sched_state();
    while (!f.quit_requested.load()) {
        if (f.overdrive_requested.load() && !sched_virtual_time())
            overdrive_loop();
        else
            normal_loop();
    }
}

void sched_shutdown()
{
    event_timer_stop();
    sched_stop_timer();
    sched_flags &f = sched_state();
    f.quit_requested.store(false);
    f.overdrive_requested.store(false);
    overdrive_active_set(false);
    g_kicked.store(false);
    g_timer_backlog.store(false);
}

outlet **key_report_outlets() { return g_key_outlets; }

outlet **keyup_report_outlets() { return g_keyup_outlets; }

long plug_dokeyup(long key, long modifiers) { return key_report(g_keyup_outlets, key, modifiers); }

}  // namespace kel

using namespace kel;

KEL_API void event_run(void)
{
    if (sched_virtual_time()) {
        virtual_event_run();
        return;
    }
    if (!g_service_on.load()) {
        // No real-time service: the loop only waits (for a quit or input)
        // and lets the idle hook look.
        wait_for_work(false, false, sleep_ms());
        run_idle_hook();
        return;
    }
    wait_for_work(true, true, idle_wait_limit);
    event_timer_procedure();
    run_idle_hook();
}

// No event records exist without a window system.
KEL_API void event_process(void *) {}

KEL_API void dialog_poll(void *, long flag, long)
{
    event_timer_procedure();
    // flag asks for one pending user event too; there are none headless.
    (void)flag;
}

KEL_API void plug_preevent(long)
{
    if (!overdrive_active()) sched_set_now(timer_time());
    queue_service();
    pool_replenish();
}

KEL_API long plug_dokey(long key, long, long value) { return key_report(g_key_outlets, key, value); }

KEL_API void plug_setloopfun(kel_method fn) { g_loop_function = fn; }

KEL_API void plug_init(void) {}
KEL_API void plug_free(void) {}
