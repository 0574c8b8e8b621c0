// Invariants: a setclock is in the process-wide list from its creation
// until it is freed, unless its name was in use by something else. A name's
// bound value is its primary setclock; the others of that name are aliases
// whose `primary` points to it. A clock waiting on a setclock has the
// setclock as its state, its logical time as its place in the waiting list
// (a heap ordered by time, then by the order set), and is in no other list.
// The waiting list, the time fields and the stepping state change under the
// clock lock, so that a setclock ticking on the scheduler thread (overdrive)
// and time messages from the main thread do not race; callbacks run with
// the lock released.
#include "objects/setclock.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "kernel/core/calls.h"
#include "kernel/core/guarded.h"
#include "kernel/core/locks.h"
#include "kernel/core/objects.h"
#include "kernel/core/symbols.h"
#include "kernel/create/creation.h"
#include "kernel/time/clocks.h"
#include "kernel/time/scheduler.h"
#include "objects/objects.h"

namespace kel {
namespace {

enum mode : long { inactive = 0, pass = 1, add = 2, shifted = 3, ext = 4, interp = 5, mul = 6, smpte = 7 };

constexpr double interval_min = 0.001, interval_max = 50000;
// The update clock is re-armed at most this often: a shorter update interval
// truncates to 0 ms, which would loop inside a master's walk.
constexpr double min_rearm_ms = 1.0;
// A source that jumps further than this moves the waiting clocks with it.
constexpr double jump_limit = 500;

struct setclock {
    object ob;
    kel_clock *update;     // the tick; null while an alias or in use
    clock_queue *waiting;  // clocks scheduled on this setclock
    symbol *name;
    long mode;
    double current;
    double last_source;
    double multiplier;
    double interval;
    double quotient, remainder, accumulator;  // mul stepping; interp: rate and scaled position
    double segment_length, segment_start;     // interp
    setclock *master;                         // the update clock runs on it; null: the scheduler
    setclock *primary;                        // null unless an alias
    symbol *mode_symbol;
    setclock *next;  // the process-wide list
    outlet *out;
    bool listed;
};

kel_class *g_class = nullptr;
setclock *g_setclocks = nullptr;  // the process-wide list, newest first

setclock *as_setclock(void *o)
{
    return o && object_valid_checked(o) && object_class(o) == g_class ? static_cast<setclock *>(o) : nullptr;
}

// Time messages and the exported functions act on the primary.
setclock *target(setclock *x) { return x->primary ? x->primary : x; }

double scheduler_time()
{
    double t;
    clock_getftime(&t);
    return t;
}

double source_time(const setclock *x)
{
    switch (x->mode) {
    case shifted:
    case ext:
        return static_cast<double>(getexttime());
    case interp:
        return scheduler_time();
    case smpte:
        return clock_smpte_time();
    default:
        return x->current;
    }
}

long mode_of(symbol *s)
{
    if (s == sym_empty || s == gensym("pass")) return pass;
    if (s == gensym("add")) return add;
    if (s == gensym("ext")) return ext;
    if (s == gensym("interp")) return interp;
    if (s == gensym("mul")) return mul;
    if (s == gensym("smpte")) return smpte;
    return inactive;
}

// The update clock's period: the interval in whole milliseconds, at least
// one (a shorter one would loop inside a master's walk).
double update_period(const setclock *x) { return std::max(std::trunc(x->interval), min_rearm_ms); }

// (period × 1000) / (multiplier × 1000), quotient and remainder as whole
// numbers; the remainder counts in 1/(multiplier × 1000) ms, so it carries at
// multiplier × 1000. The period is the one the update clock keeps, so that
// the rate is the multiplier's whatever the interval. A multiplier whose
// × 1000 truncates to 0 is refused.
bool set_stepping(setclock *x, double multiplier)
{
    const auto divisor = static_cast<int64_t>(multiplier * 1000);
    if (divisor == 0) return false;
    const auto dividend = static_cast<int64_t>(update_period(x) * 1000);
    x->multiplier = multiplier;
    x->quotient = static_cast<double>(dividend / divisor);
    x->remainder = static_cast<double>(dividend % divisor);
    x->accumulator = 0;
    return true;
}

// Sets the update clock after delay on the master, or on the scheduler.
void arm_update(setclock *x, double delay)
{
    if (!x->update) return;
    std::lock_guard guard(clock_lock());
    if (x->master)
        setclock_fdelay(&x->master->ob, x->update, delay);
    else
        clock_fdelay(x->update, delay);
}

// Fires, in time order, every waiting clock due by whole milliseconds at
// time; each callback sees the setclock's time equal to its clock's. Then
// the setclock's time is time, in full. At most the scheduler's stall limit
// fire in one call (a clock that sets itself again for now would otherwise
// never let the walk end); the rest wait for the next.
void fire_until(setclock *x, double time)
{
    const double whole = std::floor(time);
    const long limit = sched_config().stall_limit.load(std::memory_order_relaxed);
    recursive_lock &lock = clock_lock();
    for (long fired = 0; fired < limit; fired++) {
        lock.lock();
        kel_clock *c = x->waiting->head();
        if (!c || std::floor(c->logical_time) > whole) {
            lock.unlock();
            break;
        }
        x->waiting->pop();
        c->state = -1;
        x->current = c->logical_time;
        void *arg = c->arg;
        kel_method fn = c->fn;
        lock.unlock();
        if (fn) call_task(fn, arg);
    }
    std::lock_guard guard(lock);
    x->current = time;
}

// Every waiting clock moves by the same amount: their order holds.
void shift_waiting(setclock *x, double by)
{
    for (kel_clock *c : *x->waiting) {
        c->logical_time += by;
        c->fire_time += by;
    }
}

void tick(setclock *x)
{
    double time;
    {
        std::lock_guard guard(clock_lock());
        const double source = source_time(x);
        time = x->current;
        switch (x->mode) {
        case pass:
            time = source;
            break;
        case shifted:
        case ext:
        case smpte:
            if (std::fabs(source - x->current) > jump_limit) shift_waiting(x, source - x->current);
            time = source;
            break;
        case interp:
            x->accumulator += x->quotient;
            time = std::min(x->accumulator / 1024, x->segment_start + x->segment_length - 1);
            break;
        case mul: {
            x->accumulator += x->remainder;
            double extra = 0;
            const double carry = std::fabs(x->multiplier * 1000);
            if (carry > 0 && std::fabs(x->accumulator) >= carry) {
                x->accumulator -= std::copysign(carry, x->accumulator);
                extra = std::copysign(1.0, x->remainder);
            }
            time = x->current + x->quotient + extra;
            x->last_source = source;
            break;
        }
        default:
            break;
        }
    }
    fire_until(x, time);
    if (x->mode >= shifted) arm_update(x, update_period(x));
}

void tick_method(setclock *x) { tick(x); }

// Makes x the primary of its name and starts it as its mode asks.
bool activate(setclock *x)
{
    x->update = clock_new(x, as_method(&tick_method));
    if (!x->update) return false;
    x->primary = nullptr;
    x->name->thing = &x->ob;
    x->mode = mode_of(x->mode_symbol);
    switch (x->mode) {
    case shifted:
    case ext:
    case smpte:
        x->current = x->last_source = 0;
        break;
    case mul:
        x->current = x->last_source = scheduler_time();
        if (!set_stepping(x, x->multiplier)) set_stepping(x, 1);
        break;
    default:
        return true;
    }
    clock_fdelay(x->update, 0);
    return true;
}

// --- time messages ---

void interp_time(setclock *x, double value)
{
    fire_until(x, x->segment_length + x->segment_start - 1);
    {
        std::lock_guard guard(clock_lock());
        x->current += 1;
        x->segment_length = value;
        const double now = scheduler_time();
        double elapsed = now - x->last_source;
        if (elapsed <= 0) elapsed = 1;
        x->quotient = x->segment_length * x->interval * 1024 / elapsed;
        x->accumulator = x->current * 1024;
        x->last_source = now;
        x->segment_start = x->current;
    }
    arm_update(x, 0);
}

void time_message(setclock *x, double value)
{
    x = target(x);
    {
        std::lock_guard guard(clock_lock());
        switch (x->mode) {
        case pass:
            x->current = value;
            break;
        case add:
            x->current += value;
            break;
        case interp:
            break;
        case mul:
            if (value == 0 || !set_stepping(x, value)) return;
            break;
        default:
            return;
        }
    }
    if (x->mode == interp)
        interp_time(x, value);
    else if (x->mode == mul)
        arm_update(x, 0);
    else
        tick(x);
}

void setclock_int(setclock *x, long n) { time_message(x, static_cast<double>(n)); }
void setclock_float(setclock *x, double f) { time_message(x, f); }

void setclock_set(setclock *x, double value)
{
    x = target(x);
    if (x->mode == inactive) return;
    {
        std::lock_guard guard(clock_lock());
        if (x->mode == pass || x->mode == add)
            x->current = value;
        else
            x->current += value;
    }
    tick(x);
}

void setclock_ft1(setclock *x, double value)
{
    x = target(x);
    std::lock_guard guard(clock_lock());
    x->interval = std::clamp(value, interval_min, interval_max);
    if (x->mode == mul) set_stepping(x, x->multiplier);
}

void setclock_bang(setclock *x)
{
    setclock *t = target(x);
    double time;
    {
        std::lock_guard guard(clock_lock());
        time = t->current;
    }
    if (t->mode != inactive) outlet_float(x->out, time);
}

// Whether master's chain of masters reaches x (x would be its own master).
bool leads_to(const setclock *master, const setclock *x)
{
    for (const setclock *m = master; m; m = m->master)
        if (m == x) return true;
    return false;
}

// clock [name]: the master the update clock runs on. Acts on x itself, alias
// or not.
void setclock_clock(setclock *x, symbol *name)
{
    setclock *master = nullptr;
    if (name != sym_empty) {
        master = as_setclock(name->thing);
        if (!master) {
            error("setclock: %s not a setclock", name->name);
            return;
        }
        master = target(master);
        if (leads_to(master, x)) {
            error("setclock: %s would be its own master", name->name);
            return;
        }
    }
    {
        std::lock_guard guard(clock_lock());
        if (x->update && x->mode >= shifted) setclock_unset(x->master ? &x->master->ob : nullptr, x->update);
        x->master = master;
    }
    if (x->mode >= shifted) arm_update(x, 0);
}

void setclock_reset(setclock *x, double value)
{
    x = target(x);
    if (x->mode != interp) return;
    std::lock_guard guard(clock_lock());
    x->current = x->segment_start = x->last_source = value;
    // The accumulator holds the position scaled by 1024.
    x->accumulator = value * 1024;
}

void setclock_go(setclock *, long) {}

void setclock_dblclick(setclock *x)
{
    x = target(x);
    guarded("setclock", [&] {
        std::vector<kel_clock *> waiting;
        {
            std::lock_guard guard(clock_lock());
            waiting.assign(x->waiting->begin(), x->waiting->end());
        }
        std::sort(waiting.begin(), waiting.end(), [](const kel_clock *a, const kel_clock *b) {
            return a->logical_time < b->logical_time || (a->logical_time == b->logical_time && a->order < b->order);
        });
        post("setclock %s at %.4f:", x->name->name, x->current);
        long n = 0;
        for (const kel_clock *c : waiting) {
            object *owner = c->owner                       ? c->owner
                            : object_valid_checked(c->arg) ? static_cast<object *>(c->arg)
                                                           : nullptr;
            post(" %ld time %.4f fun %lx owner %s", n++, c->logical_time,
                 static_cast<unsigned long>(reinterpret_cast<uintptr_t>(c->fn)),
                 owner ? object_classname(owner)->name : "(none)");
        }
    });
}

// --- life ---

void *setclock_new(symbol *, long argc, atom *argv)
{
    if (argc < 1 || argv[0].type != ATYPE_SYM) {
        error("setclock: bad arguments");
        return nullptr;
    }
    auto *x = static_cast<setclock *>(object_alloc(g_class));
    if (!x) return nullptr;
    // Everything after the header, as a new setclock has it.
    x->update = nullptr;
    x->mode = inactive;
    x->current = x->last_source = 0;
    x->quotient = x->remainder = x->accumulator = 0;
    x->segment_length = x->segment_start = 0;
    x->master = x->primary = nullptr;
    x->next = nullptr;
    x->listed = false;
    x->waiting = new (std::nothrow) clock_queue;
    if (!x->waiting) {
        freeobject(&x->ob);
        return nullptr;
    }
    x->name = argv[0].word.w_sym;
    x->mode_symbol = argc > 1 && argv[1].type == ATYPE_SYM ? argv[1].word.w_sym : sym_empty;
    x->multiplier = argc > 2 && argv[2].type == ATYPE_FLOAT && argv[2].word.w_float != 0 ? argv[2].word.w_float : 1;
    x->interval = 5;
    floatin(x, 1);
    x->out = floatout(x);
    if (mode_of(x->mode_symbol) == inactive) error("setclock: no mode %s", x->mode_symbol->name);
    if (setclock *existing = as_setclock(x->name->thing)) {
        x->primary = target(existing);
    } else if (x->name->thing) {
        error("setclock: %s in use", x->name->name);
        return x;
    } else if (!activate(x)) {
        freeobject(&x->ob);
        return nullptr;
    }
    x->listed = true;
    x->next = g_setclocks;
    g_setclocks = x;
    return x;
}

void unlist(setclock *x)
{
    for (setclock **s = &g_setclocks; *s; s = &(*s)->next)
        if (*s == x) {
            *s = x->next;
            return;
        }
}

void setclock_free(setclock *x)
{
    if (x->listed) unlist(x);
    // The update clock leaves its master, then goes.
    if (x->update) {
        setclock_unset(x->master ? &x->master->ob : nullptr, x->update);
        freeobject(x->update);
        x->update = nullptr;
    }
    setclock *heir = nullptr;
    if (x->listed && !x->primary) {
        for (setclock *s = g_setclocks; s; s = s->next) {
            // Slaves run on the scheduler from now on.
            if (s->master == x) {
                {
                    std::lock_guard guard(clock_lock());
                    s->master = nullptr;
                }
                if (s->update && s->mode >= shifted) clock_fdelay(s->update, 0);
            }
            if (s->primary == x && !heir) heir = s;
        }
        for (setclock *s = g_setclocks; s; s = s->next)
            if (s->primary == x) s->primary = s == heir ? nullptr : heir;
        if (!heir || !activate(heir)) {
            heir = nullptr;
            if (x->name->thing == &x->ob) x->name->thing = nullptr;
        }
    }
    if (!x->waiting) return;
    // The clocks waiting here go to the heir, at their own times; without
    // one they are dropped (they run again only when set again).
    std::lock_guard guard(clock_lock());
    while (kel_clock *c = x->waiting->pop()) {
        c->state = -1;
        if (heir && heir->waiting->insert(c)) c->state = reinterpret_cast<intptr_t>(heir);
    }
    delete x->waiting;
    x->waiting = nullptr;
}

}  // namespace

bool setclock_init()
{
    if (g_class) return true;
    const short F = ATYPE_FLOAT, L = ATYPE_LONG, DS = ATYPE_DEFSYM, DF = ATYPE_DEFFLOAT, none = ATYPE_NOTHING,
                cant = ATYPE_CANT;
    g_class =
        define_class("setclock", as_method(&setclock_new), as_method(&setclock_free), sizeof(setclock), class_home::box,
                     {{as_method(&setclock_int), "int", L},
                      {as_method(&setclock_float), "float", F},
                      {as_method(&setclock_set), "set", F},
                      {as_method(&setclock_ft1), "ft1", F},
                      {as_method(&setclock_bang), "bang", none},
                      {as_method(&setclock_clock), "clock", DS},
                      {as_method(&setclock_reset), "reset", DF},
                      {as_method(&setclock_go), "go", L},
                      {as_method(&setclock_dblclick), "dblclick", cant},
                      {as_method(&setclock_delay), "delay", cant},
                      {as_method(&setclock_fdelay), "fdelay", cant},
                      {as_method(&setclock_unset), "unset", cant}},
                     ATYPE_GIMME);
    return g_class && creation_provide("setclock", as_method(&setclock_new));
}

}  // namespace kel

using namespace kel;

KEL_API void setclock_fdelay(object *base, kel_clock *c, double delay)
{
    setclock *x = as_setclock(base);
    if (!x) {
        clock_fdelay(c, delay);
        return;
    }
    if (!c) return;
    x = target(x);
    lockout_scope lockout;
    std::lock_guard guard(clock_lock());
    if (c->state != -1) clock_unset(c);
    const double time = x->current + delay;
    c->logical_time = time;
    c->fire_time = std::isnan(time) ? HUGE_VAL : time;
    if (x->waiting->insert(c))
        c->state = reinterpret_cast<intptr_t>(x);
    else
        error("clock: out of memory, a clock was not set");
}

KEL_API void setclock_delay(object *base, kel_clock *c, long delay)
{
    setclock_fdelay(base, c, static_cast<double>(delay));
}

KEL_API void setclock_unset(object *base, kel_clock *c)
{
    setclock *x = as_setclock(base);
    if (!x) {
        clock_unset(c);
        return;
    }
    if (!c) return;
    x = target(x);
    std::lock_guard guard(clock_lock());
    if (c->state == reinterpret_cast<intptr_t>(x)) {
        x->waiting->remove(c);
        c->state = -1;
    } else if (c->state == 0) {
        clock_unset(c);
    }
}

KEL_API void setclock_getftime(object *base, double *time)
{
    if (!time) return;
    setclock *x = as_setclock(base);
    if (!x) {
        clock_getftime(time);
        return;
    }
    x = target(x);
    std::lock_guard guard(clock_lock());
    *time = source_time(x);
}

KEL_API long setclock_gettime(object *base)
{
    double t;
    setclock_getftime(base, &t);
    return static_cast<long>(t);
}
