// The two periodic timers and the main loop.
//
// The scheduler timer thread ticks every scheduler interval: it keeps timer
// time and, in overdrive, polls the clocks itself. The event timer thread
// ticks every event interval and wakes the main thread, which then runs its
// periodic service (queue, then clocks outside overdrive). At most one
// wake-up is outstanding, so a slow main thread is never flooded.
#include <algorithm>
#include <chrono>
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

// A thread that calls tick() every period() until it is stopped, and also
// at the earlier moment early() names, if any. Each start is a new
// generation: a stopped timer never ticks again.
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
        thread_ = std::thread([this, period, tick, early] {
            depth_thread_start();
            auto length = [&] {
                return std::chrono::duration_cast<steady::duration>(
                    std::chrono::duration<double, std::milli>(period()));
            };
            auto next = steady::now() + length();
            std::unique_lock lock(m_);
            while (!stop_) {
                steady::time_point wake = std::min(next, early(next));
                cv_.wait_until(lock, wake, [this] { return stop_; });
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
    std::thread thread_;
};

periodic_timer &scheduler_timer()
{
    static periodic_timer t;
    return t;
}

periodic_timer &event_timer()
{
    static periodic_timer t;
    return t;
}

// The main thread's wake-ups.
std::mutex g_main_lock;
std::condition_variable g_main_cv;
std::atomic<int> g_wakeups{0};      // event timer ticks not yet handled (0 or 1)
std::atomic<bool> g_kicked{false};  // other reasons to look again (input, quit)
std::atomic<bool> g_main_waiting{false};
void (*g_idle_hook)() = nullptr;
bool g_in_event_procedure = false;
kel_method g_loop_function = nullptr;
outlet *g_key_outlets[3] = {nullptr, nullptr, nullptr};

// The timer poll: in overdrive the scheduler thread fires the clocks, but
// never waits for the global lock; a busy lock costs this tick.
void timer_poll()
{
    std::recursive_mutex &global = global_lock();
    bool locked = false;
    if (overdrive_active()) {
        if (!global.try_lock()) return;
        locked = true;
    }
    isr_set(1);
    sched_poll();
    if (locked) global.unlock();
    isr_set(0);
}

void scheduler_tick()
{
    if (overdrive_active() && !isr_flag()) timer_poll();
}

// In overdrive the scheduler thread also wakes when the next clock falls
// due between two ticks, so a clock fires on time instead of at the next
// tick after it. A clock already due waits for the regular tick (a poll that
// could not take the global lock must not turn into a busy loop).
steady::time_point next_clock_due(steady::time_point regular)
{
    if (!overdrive_active() || sched_state().stopped.load() || sched_virtual_time()) return regular;
    double due = 0;
    if (!sched_next_clock_time(&due)) return regular;
    double ahead = due - timer_time();
    if (ahead <= 0) return regular;
    return steady::now() +
           std::chrono::duration_cast<steady::duration>(std::chrono::duration<double, std::milli>(ahead));
}

steady::time_point no_early_tick(steady::time_point regular) { return regular; }

void event_tick()
{
    int expected = 0;
    if (!g_wakeups.compare_exchange_strong(expected, 1)) return;
    std::lock_guard lock(g_main_lock);
    g_main_cv.notify_one();
}

bool something_to_wake_for() { return g_wakeups.load() > 0 || g_kicked.load() || sched_state().quit_requested.load(); }

// Waits at most ms for a wake-up. With stop_when_queued, queued work counts
// as one (in virtual time the main thread has nothing else to wait for).
void wait_for_wakeup(double ms, bool stop_when_queued)
{
    std::unique_lock lock(g_main_lock);
    g_main_waiting.store(true);
    if (!something_to_wake_for() && !(stop_when_queued && !queue_is_empty()))
        g_main_cv.wait_for(lock, std::chrono::duration<double, std::milli>(ms), [stop_when_queued] {
            return something_to_wake_for() || (stop_when_queued && !queue_is_empty());
        });
    g_main_waiting.store(false);
    g_kicked.store(false);
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
    double next;
    if (!sched_state().stopped.load() && sched_next_clock_time(&next)) {
        if (next > timer_time()) timer_time_set(next);
        return;
    }
    wait_for_wakeup(sleep_ms(), true);
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

void event_timer_start()
{
    event_timer().start([] { return static_cast<double>(std::max(1, sched_config().event_interval.load())); },
                        &event_tick, &no_early_tick);
}

void event_timer_stop() { event_timer().stop(); }

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
    if (!g_main_waiting.load()) return;
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
    g_wakeups.store(0);
    g_kicked.store(false);
}

outlet **key_report_outlets() { return g_key_outlets; }

}  // namespace kel

using namespace kel;

KEL_API void event_run(void)
{
    if (sched_virtual_time()) {
        virtual_event_run();
        return;
    }
    wait_for_wakeup(sleep_ms(), false);
    if (g_wakeups.load() > 0) {
        event_timer_procedure();
        g_wakeups.fetch_sub(1);
    }
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

KEL_API long plug_dokey(long key, long, long value)
{
    outlet **outs = g_key_outlets;
    if (!outs[0] && !outs[1] && !outs[2]) return 0;
    if (outs[0]) outlet_int(outs[0], static_cast<short>(value));
    if (outs[1]) outlet_int(outs[1], 255);
    if (outs[2]) outlet_int(outs[2], key & 0xFF);
    return 1;
}

KEL_API void plug_setloopfun(kel_method fn) { g_loop_function = fn; }

KEL_API void plug_init(void) {}
KEL_API void plug_free(void) {}
