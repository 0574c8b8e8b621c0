#include "kernel/time/clocks.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <mutex>
#include <new>
#include <vector>

#include "kel/classes.h"
#include "kel/console.h"
#include "kel/outlets.h"
#include "kel/symbols.h"
#include "kernel/core/calls.h"
#include "kernel/core/classes.h"
#include "kernel/core/guarded.h"
#include "kernel/core/locks.h"
#include "kernel/core/symbols.h"
#include "kernel/time/deferred.h"
#include "kernel/time/scheduler.h"

// A private scheduler: a list of clocks with a time of its own. Firing its
// clocks is its owner's business; scheduler_run only records the request.
struct kel_scheduler {
    method_entry *messlist;
    int32_t magic;
    kel::clock_queue clocks;
    double time;
    double run_until;
};

namespace kel {
namespace {

kel_class *g_clock_class = nullptr;
kel_class *g_scheduler_class = nullptr;
std::atomic<kel_scheduler *> g_current_scheduler{nullptr};
symbol *g_sym_unset = nullptr;
// Live clocks that have an owner: while there are none, freeing an object
// need not look through the pending clocks.
std::atomic<long> g_owned_clocks{0};
// The external and SMPTE times, from whatever produces them.
std::atomic<long> g_external_time{0};
std::atomic<short> g_external_format{0};
std::atomic<double> g_smpte_time{0};

clock_queue &queue_of(kel_clock *c) { return c->private_scheduler ? c->private_scheduler->clocks : global_clocks(); }

// Under the clock lock.
void unset_locked(kel_clock *c)
{
    if (c->state > 0) {
        // A setclock holds it: its own unset takes it off its waiting list.
        auto *owner = reinterpret_cast<object *>(c->state);
        if (kel_method fn = zgetfn(owner, g_sym_unset)) call_clock_unset(fn, owner, c);
    } else if (c->state == 0) {
        // Absent after an abort dropped the list: then it is only marked.
        queue_of(c).remove(c);
    }
    c->state = -1;
}

// Both times of a set clock must order: a NaN time would sort before every
// clock and, never becoming due, hold back the whole list.
double sortable(double t) { return std::isnan(t) ? HUGE_VAL : t; }

void clock_free_method(kel_clock *c)
{
    clock_unset(c);
    clock_set_owner(c, nullptr);
}

void scheduler_free_method(kel_scheduler *s)
{
    kel_scheduler *expected = s;
    g_current_scheduler.compare_exchange_strong(expected, nullptr);
    {
        std::lock_guard guard(clock_lock());
        while (kel_clock *c = s->clocks.pop()) c->state = -1;
    }
    s->clocks.~clock_queue();
}

bool owned_by(const kel_clock *c, const void *owner) { return c->owner == owner; }

// Delays count from the time of the clock's own scheduler.
double current_time_of(const kel_clock *c) { return c->private_scheduler ? c->private_scheduler->time : sched_now(); }

}  // namespace

constinit clock_queue g_global_clocks;

void clock_set_external_time(long ms, short format)
{
    g_external_time.store(ms, std::memory_order_relaxed);
    g_external_format.store(format, std::memory_order_relaxed);
}

void clock_set_smpte_time(double ms) { g_smpte_time.store(ms, std::memory_order_relaxed); }
double clock_smpte_time() { return g_smpte_time.load(std::memory_order_relaxed); }

kel_class *clock_class()
{
    if (g_clock_class) return g_clock_class;
    g_sym_unset = gensym("unset");
    kel_class *c =
        class_new("clock", nullptr, reinterpret_cast<kel_method>(&clock_free_method), sizeof(kel_clock), nullptr, 0);
    kel_class *s = class_new("scheduler", nullptr, reinterpret_cast<kel_method>(&scheduler_free_method),
                             sizeof(kel_scheduler), nullptr, 0);
    if (!c || !s) return nullptr;
    c->tiny = 1;
    s->tiny = 1;
    if (class_register(sym_nobox, c) != ERR_NONE || class_register(sym_nobox, s) != ERR_NONE) return nullptr;
    g_scheduler_class = s;
    // The owner hook: libraries reach it through the symbol, not an export.
    gensym("clock_setowner")->thing = reinterpret_cast<object *>(&clock_set_owner);
    g_clock_class = c;
    return c;
}

void clock_schedule(kel_clock *c, double time, double offset)
{
    if (!c) return;
    lockout_scope lockout;
    double logical = sortable(time);
    double fire = sortable(time + offset);
    bool inserted = false;
    {
        std::lock_guard guard(clock_lock());
        if (c->state != -1) unset_locked(c);
        c->logical_time = logical;
        c->fire_time = fire;
        if (queue_of(c).insert(c)) {
            c->state = 0;
            inserted = !c->private_scheduler;
        } else {
            c->state = -1;
            error("clock: out of memory, a clock was not set");
        }
    }
    if (inserted) main_loop_clock_set(fire);
}

void clock_set_owner(kel_clock *c, object *owner)
{
    if (!c) return;
    if (!c->owner && owner) g_owned_clocks.fetch_add(1, std::memory_order_relaxed);
    if (c->owner && !owner) g_owned_clocks.fetch_sub(1, std::memory_order_relaxed);
    c->owner = owner;
}

void clocks_remove_owned_by(void *x)
{
    if (g_owned_clocks.load(std::memory_order_relaxed) == 0) return;
    kel_clock *removed = nullptr;
    {
        lockout_scope lockout;
        std::lock_guard guard(clock_lock());
        global_clocks().remove_if(&owned_by, x, &removed);
        for (kel_clock *c = removed; c; c = c->next) c->state = -1;
    }
    // A scheduled call whose clock is gone would never run: its element goes.
    while (removed) {
        kel_clock *next = removed->next;
        removed->next = nullptr;
        scheduled_call_discard(removed);
        removed = next;
    }
}

void clocks_drop_all()
{
    lockout_scope lockout;
    std::lock_guard guard(clock_lock());
    global_clocks().clear();
}

void clocks_dump()
{
    guarded("clocks", [] {
        std::vector<kel_clock *> pending;
        {
            std::lock_guard guard(clock_lock());
            pending.assign(global_clocks().begin(), global_clocks().end());
        }
        std::sort(pending.begin(), pending.end(), [](const kel_clock *a, const kel_clock *b) {
            return a->fire_time < b->fire_time || (a->fire_time == b->fire_time && a->order < b->order);
        });
        post("time %.4f", sched_now());
        long n = 1;
        for (const kel_clock *c : pending)
            post("%3ld: t %8.2f %8.2f %5ld", n++, c->fire_time, c->logical_time, static_cast<long>(c->integer));
    });
}

}  // namespace kel

using namespace kel;

KEL_API kel_clock *clock_new(void *arg, kel_method fn)
{
    auto *c = static_cast<kel_clock *>(object_alloc(clock_class()));
    if (!c) return nullptr;
    c->next = nullptr;
    c->arg = arg;
    c->fn = fn;
    c->integer = 0;
    c->state = -1;
    c->fire_time = 0;
    c->logical_time = 0;
    c->private_scheduler = g_current_scheduler.load(std::memory_order_acquire);
    c->owner = nullptr;
    c->order = 0;
    c->slot = -1;
    return c;
}

KEL_API void clock_set(kel_clock *c, long time) { clock_schedule(c, static_cast<double>(time), 0); }
KEL_API void clock_fset(kel_clock *c, double time) { clock_schedule(c, time, 0); }
KEL_API void clock_fset2(kel_clock *c, double time, double offset) { clock_schedule(c, time, offset); }

KEL_API void clock_fdelay(kel_clock *c, double delay)
{
    if (c) clock_schedule(c, current_time_of(c) + delay, 0);
}

KEL_API void clock_delay(kel_clock *c, long delay) { clock_fdelay(c, static_cast<double>(delay < 0 ? 0 : delay)); }

KEL_API void clock_fdelay2(kel_clock *c, double delay, double offset)
{
    if (c) clock_schedule(c, current_time_of(c) + delay, offset);
}

KEL_API void clock_unset(kel_clock *c)
{
    if (!c) return;
    lockout_scope lockout;
    std::lock_guard guard(clock_lock());
    unset_locked(c);
}

KEL_API void clock_xdelay(kel_clock *c, long delay) { clock_delay(c, delay); }
KEL_API void clock_xset(kel_clock *c, long time) { clock_set(c, time); }
KEL_API void clock_xunset(kel_clock *c) { clock_unset(c); }

KEL_API void clock_getftime(double *time)
{
    if (!time) return;
    kel_scheduler *s = g_current_scheduler.load(std::memory_order_acquire);
    *time = s ? s->time : sched_now();
}

KEL_API long gettime(void)
{
    double t;
    clock_getftime(&t);
    return static_cast<long>(t);
}

KEL_API long getschedtime(void) { return gettime(); }

// No driver produces an external time yet: it stays 0, format 0, until
// clock_set_external_time gives one.
KEL_API long getexttime(void) { return g_external_time.load(std::memory_order_relaxed); }
KEL_API short clock_getextfmt(void) { return g_external_format.load(std::memory_order_relaxed); }

KEL_API kel_scheduler *scheduler_new(void)
{
    if (!clock_class()) return nullptr;
    auto *s = static_cast<kel_scheduler *>(object_alloc(g_scheduler_class));
    if (!s) return nullptr;
    new (&s->clocks) clock_queue();
    s->time = 0;
    s->run_until = 0;
    return s;
}

KEL_API kel_scheduler *scheduler_set(kel_scheduler *s) { return g_current_scheduler.exchange(s); }

KEL_API void scheduler_settime(kel_scheduler *s, double time)
{
    if (s)
        s->time = time;
    else
        sched_set_now(time);
}

KEL_API void scheduler_gettime(kel_scheduler *s, double *time)
{
    if (s && time) *time = s->time;
}

KEL_API void scheduler_run(kel_scheduler *s, double until)
{
    if (s) s->run_until = until;
}
