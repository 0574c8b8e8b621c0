#include "kernel/time/deferred.h"

#include <cstring>

#include "kel/classes.h"
#include "kel/console.h"
#include "kel/memory.h"
#include "kel/symbols.h"
#include "kernel/core/calls.h"
#include "kernel/core/objects.h"
#include "kernel/time/clocks.h"
#include "kernel/time/qelems.h"
#include "kernel/time/scheduler.h"

namespace kel {
namespace {

// The message of a deferred or scheduled call, with its own copy of the atoms.
struct call_message {
    object *ob;
    symbol *s;
    kel_method fn;
    short argc;
    atom *argv;
};

struct deferred_call {
    call_message m;
    qelem *q;
    short idle_priority;
};

struct scheduled_call {
    call_message m;
    kel_clock *clock;
    bool through_defer;
};

bool copy_message(call_message &m, void *ob, kel_method fn, symbol *s, short argc, const atom *argv)
{
    m.ob = static_cast<object *>(ob);
    m.s = s;
    m.fn = fn;
    m.argc = argc > 0 && argv ? argc : 0;
    m.argv = nullptr;
    if (!m.argc) return true;
    m.argv = static_cast<atom *>(getbytes(m.argc * static_cast<long>(sizeof(atom))));
    if (!m.argv) return false;
    std::memcpy(m.argv, argv, static_cast<size_t>(m.argc) * sizeof(atom));
    return true;
}

void free_message(call_message &m)
{
    if (m.argv) freebytes(m.argv, m.argc * static_cast<long>(sizeof(atom)));
    m.argv = nullptr;
}

// A call whose object is no longer alive is dropped: its memory may have
// been reused since the call was made.
bool target_alive(const call_message &m) { return !m.ob || object_valid_checked(m.ob); }

void call(const call_message &m)
{
    if (m.fn) call_deferred(m.fn, m.ob, m.s, m.argc, m.argv);
}

void free_deferred(deferred_call *d)
{
    free_message(d->m);
    qelem_free(d->q);
    freebytes(d, sizeof(deferred_call));
}

void run_deferred(deferred_call *d)
{
    if (target_alive(d->m)) call(d->m);
    free_deferred(d);
}

void *queue_call(void *ob, kel_method fn, symbol *s, short argc, atom *argv, bool at_front)
{
    auto *d = static_cast<deferred_call *>(getbytes(sizeof(deferred_call)));
    if (!d) {
        error("defer: out of memory, a call was dropped");
        return nullptr;
    }
    d->q = nullptr;
    if (!copy_message(d->m, ob, fn, s, argc, argv) ||
        !(d->q = qelem_new(d, reinterpret_cast<kel_method>(&run_deferred)))) {
        error("defer: out of memory, a call was dropped");
        free_message(d->m);
        freebytes(d, sizeof(deferred_call));
        return nullptr;
    }
    // Freeing the object cancels the call, unless it asked for idle priority.
    static symbol *const idle = gensym("idlepriority");
    d->idle_priority = s && s == idle;
    if (!d->idle_priority) d->q->owner = static_cast<object *>(ob);
    if (at_front)
        qelem_front(d->q);
    else
        qelem_set(d->q);
    return d;
}

void free_scheduled(scheduled_call *e)
{
    free_message(e->m);
    freeobject(e->clock);
    freebytes(e, sizeof(scheduled_call));
}

void run_scheduled(scheduled_call *e)
{
    if (target_alive(e->m)) {
        if (e->through_defer)
            defer(e->m.ob, e->m.fn, e->m.s, e->m.argc, e->m.argv);
        else
            call(e->m);
    }
    free_scheduled(e);
}

void *schedule_call(void *ob, kel_method fn, double delay, symbol *s, short argc, atom *argv, bool through_defer)
{
    auto *e = static_cast<scheduled_call *>(getbytes(sizeof(scheduled_call)));
    if (!e) {
        error("schedule: out of memory, a call was dropped");
        return nullptr;
    }
    e->clock = nullptr;
    e->through_defer = through_defer;
    if (!copy_message(e->m, ob, fn, s, argc, argv) ||
        !(e->clock = clock_new(e, reinterpret_cast<kel_method>(&run_scheduled)))) {
        error("schedule: out of memory, a call was dropped");
        free_message(e->m);
        freebytes(e, sizeof(scheduled_call));
        return nullptr;
    }
    clock_set_owner(e->clock, static_cast<object *>(ob));
    clock_fdelay(e->clock, delay);
    return e;
}

double delay_until(double when)
{
    double now;
    clock_getftime(&now);
    return when - now < 0 ? 0 : when - now;
}

}  // namespace

bool deferred_call_discard(qelem *q)
{
    if (q->fn != reinterpret_cast<kel_method>(&run_deferred)) return false;
    free_deferred(static_cast<deferred_call *>(q->arg));
    return true;
}

bool scheduled_call_discard(kel_clock *c)
{
    if (c->fn != reinterpret_cast<kel_method>(&run_scheduled)) return false;
    free_scheduled(static_cast<scheduled_call *>(c->arg));
    return true;
}

}  // namespace kel

using namespace kel;

KEL_API void *defer(void *ob, kel_method fn, symbol *s, short argc, atom *argv)
{
    if (in_isr() && !on_main_thread()) return queue_call(ob, fn, s, argc, argv, true);
    if (fn) call_deferred(fn, ob, s, argc, argv);
    return nullptr;
}

KEL_API void *defer_low(void *ob, kel_method fn, symbol *s, short argc, atom *argv)
{
    return queue_call(ob, fn, s, argc, argv, false);
}

KEL_API void *defer_front(void *ob, kel_method fn, symbol *s, short argc, atom *argv)
{
    return queue_call(ob, fn, s, argc, argv, true);
}

KEL_API void *defer_medium(void *ob, kel_method fn, symbol *s, short argc, atom *argv)
{
    if (in_isr()) return defer_low(ob, fn, s, argc, argv);
    return defer(ob, fn, s, argc, argv);
}

KEL_API void *schedule(void *ob, kel_method fn, long when, symbol *s, short argc, atom *argv)
{
    return schedule_call(ob, fn, delay_until(static_cast<double>(when)), s, argc, argv, false);
}

KEL_API void *schedulef(void *ob, kel_method fn, double when, symbol *s, short argc, atom *argv)
{
    return schedule_call(ob, fn, delay_until(when), s, argc, argv, false);
}

KEL_API void *schedule_delay(void *ob, kel_method fn, long delay, symbol *s, short argc, atom *argv)
{
    return schedule_call(ob, fn, delay < 0 ? 0.0 : static_cast<double>(delay), s, argc, argv, false);
}

KEL_API void *schedule_fdelay(void *ob, kel_method fn, double delay, symbol *s, short argc, atom *argv)
{
    return schedule_call(ob, fn, delay, s, argc, argv, false);
}

KEL_API void *schedule_defer(void *ob, kel_method fn, long delay, symbol *s, short argc, atom *argv)
{
    return schedule_call(ob, fn, delay < 0 ? 0.0 : static_cast<double>(delay), s, argc, argv, true);
}

KEL_API void *schedule_fdefer(void *ob, kel_method fn, double delay, symbol *s, short argc, atom *argv)
{
    return schedule_call(ob, fn, delay, s, argc, argv, true);
}
