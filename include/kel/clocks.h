/* SPDX-License-Identifier: MIT (see LICENSE) */
/* kel external SDK: time. Clocks, private schedulers, queue elements,
 * deferred and scheduled calls.
 *
 * All times are milliseconds held as double. A clock calls its function with
 * its argument at a time: on the main thread normally, on the scheduler
 * thread in overdrive. A queue element (qelem) runs its function later on the
 * main thread, at most once however often it is set. Anything that touches
 * the main thread's world from a clock callback goes through `defer` or a
 * qelem.
 */
#ifndef KEL_CLOCKS_H
#define KEL_CLOCKS_H

#include "kel/base.h"

KEL_BEGIN_C

typedef struct kel_clock kel_clock;
typedef struct kel_scheduler kel_scheduler;
typedef struct qelem qelem;

/* --- clocks (fn is called as void fn(void *arg)) --- */

/* A new unscheduled clock; it joins the current private scheduler, if any.
 * freeobject() unschedules and releases it. */
KEL_API kel_clock *clock_new(void *arg, kel_method fn);
/* Schedules for an absolute time; a clock already scheduled moves. */
KEL_API void clock_set(kel_clock *c, long time);
KEL_API void clock_fset(kel_clock *c, double time);
/* Fires at time + offset while `now` reads time during the call. */
KEL_API void clock_fset2(kel_clock *c, double time, double offset);
/* Schedules relative to the current time; clock_delay makes negative delays 0. */
KEL_API void clock_delay(kel_clock *c, long delay);
KEL_API void clock_fdelay(kel_clock *c, double delay);
KEL_API void clock_fdelay2(kel_clock *c, double delay, double offset);
KEL_API void clock_unset(kel_clock *c);
KEL_API void clock_xdelay(kel_clock *c, long delay);
KEL_API void clock_xset(kel_clock *c, long time);
KEL_API void clock_xunset(kel_clock *c);
/* The current time: the current private scheduler's, else the logical time. */
KEL_API void clock_getftime(double *time);
KEL_API long gettime(void);
KEL_API long getschedtime(void);
/* The external synchronisation time (0 unless a source supplies one). */
KEL_API long getexttime(void);
KEL_API short clock_getextfmt(void);

/* --- setclock time bases ---
 * base is a setclock object (what a setclock's name is bound to) or NULL for
 * the scheduler, where each is the clock_ function of the same name. Any
 * other object counts as NULL. */
/* Schedules c for the base's current time + delay (not clamped), after every
 * clock waiting there for that time or earlier; c leaves whatever held it. */
KEL_API void setclock_fdelay(object *base, kel_clock *c, double delay);
KEL_API void setclock_delay(object *base, kel_clock *c, long delay);
/* Takes c off the base's waiting list, or off the scheduler's. */
KEL_API void setclock_unset(object *base, kel_clock *c);
/* The base's time: by its mode, its own time, the scheduler's (interp), the
 * external time (ext) or the SMPTE time (smpte). */
KEL_API void setclock_getftime(object *base, double *time);
KEL_API long setclock_gettime(object *base);

/* --- private schedulers: a group of clocks with a time of their own --- */

KEL_API kel_scheduler *scheduler_new(void);
/* Makes s current (NULL: none); returns the previous one. */
KEL_API kel_scheduler *scheduler_set(kel_scheduler *s);
/* With NULL sets the logical time itself. */
KEL_API void scheduler_settime(kel_scheduler *s, double time);
KEL_API void scheduler_gettime(kel_scheduler *s, double *time);
KEL_API void scheduler_run(kel_scheduler *s, double until);

/* --- queue elements (fn is called as void fn(void *arg)) --- */

KEL_API qelem *qelem_new(void *arg, kel_method fn);
/* Appends at the tail unless already queued. */
KEL_API void qelem_set(qelem *q);
/* Moves (or inserts) it to the head. */
KEL_API void qelem_front(qelem *q);
KEL_API void qelem_unset(qelem *q);
KEL_API void qelem_free(qelem *q);
KEL_API void qelem_idleset(qelem *q);
KEL_API void qelem_idlefront(qelem *q);
KEL_API void qelem_idleunset(qelem *q);
KEL_API void qelem_idlefree(qelem *q);

/* --- deferred calls: fn is called as
 *     void fn(void *ob, symbol *s, long argc, atom *argv) on the main thread.
 * The atoms are copied. Freeing ob cancels the call unless s is the symbol
 * "idlepriority". Each returns the queued element, or NULL when the call was
 * made at once. --- */

/* Queues (at the head) when called inside a timer or driver poll from a
 * thread other than the main one; otherwise calls at once. */
KEL_API void *defer(void *ob, kel_method fn, symbol *s, short argc, atom *argv);
/* Always queues at the tail. */
KEL_API void *defer_low(void *ob, kel_method fn, symbol *s, short argc, atom *argv);
/* Always queues at the head. */
KEL_API void *defer_front(void *ob, kel_method fn, symbol *s, short argc, atom *argv);
/* Inside a poll as defer_low, otherwise as defer. */
KEL_API void *defer_medium(void *ob, kel_method fn, symbol *s, short argc, atom *argv);

/* --- scheduled calls: one call of fn (same signature as deferred calls) at a
 * time, on a clock owned by ob. `when` is absolute, `delay` relative. --- */

KEL_API void *schedule(void *ob, kel_method fn, long when, symbol *s, short argc, atom *argv);
KEL_API void *schedulef(void *ob, kel_method fn, double when, symbol *s, short argc, atom *argv);
KEL_API void *schedule_delay(void *ob, kel_method fn, long delay, symbol *s, short argc, atom *argv);
KEL_API void *schedule_fdelay(void *ob, kel_method fn, double delay, symbol *s, short argc, atom *argv);
/* As schedule_delay / schedule_fdelay, but the call goes through defer. */
KEL_API void *schedule_defer(void *ob, kel_method fn, long delay, symbol *s, short argc, atom *argv);
KEL_API void *schedule_fdefer(void *ob, kel_method fn, double delay, symbol *s, short argc, atom *argv);

KEL_END_C

#endif /* KEL_CLOCKS_H */
