/* SPDX-License-Identifier: MIT (see LICENSE) */
/* kel external SDK: the scheduler's state, the takeover interface for audio
 * hosts, and the main-loop entry points an embedding host or a modal loop
 * calls.
 */
#ifndef KEL_SCHED_H
#define KEL_SCHED_H

#include "kel/base.h"

KEL_BEGIN_C

/* The application left / regained the foreground. */
KEL_API void sched_suspend(void);
KEL_API void sched_resume(void);
/* 1 while a poll runs (and, in overdrive, the caller is the scheduler thread). */
KEL_API short sched_isinpoll(void);
/* 1 while a queue service runs (and, in overdrive, the caller is the main thread). */
KEL_API short sched_isinqueue(void);
/* 1 only in overdrive, inside a poll, on the scheduler thread. */
KEL_API int isr(void);
/* Stores the old value in *old (when old is not NULL); n = -1 only reads. */
KEL_API void sched_setpollthrottle(int n, int *old);
KEL_API void sched_setqueuethrottle(int n, int *old);
KEL_API int sched_idledequeue(void);
/* An audio host drives the scheduler; returns the previous state. */
KEL_API int sched_set_takeover(int on);
/* Milliseconds of the high-resolution clock since the scheduler's time zero. */
KEL_API double systimer_gettime(void);
/* The two "inside a poll" flags; each returns the old value. */
KEL_API short isr_set(short v);
KEL_API short inisr_set(short v);

/* The record bound to the symbol "__takeover". A host writes `now` and then
 * calls `poll` from its own thread, typically once per audio vector. */
typedef struct sched_takeover {
    void (*poll)(void);
    int (*set_takeover)(int on);
    double now;
    double samples_per_ms;
    double ms_per_sample;
    double samples_per_ms2;
    double ms_per_sample2;
    char *host_byte;
    char *in_isr;
    char *overdrive_active;
} sched_takeover;

/* --- main-loop entry points --- */

/* Waits for the next event (at most the sleep setting) and handles it. */
KEL_API void event_run(void);
/* Handles one event record (none are defined headless: returns at once). */
KEL_API void event_process(void *event);
/* Runs the main thread's periodic service; flag: also one user event. */
KEL_API void dialog_poll(void *x, long flag, long n);
/* Updates the logical time (outside overdrive) and services the queue. */
KEL_API void plug_preevent(long flag);
/* Reports a key press to the key objects: key holds the character in bits 0
 * to 7 and the key code in bits 8 to 15, value the 16-bit modifier word. They
 * hear the modifiers, then the key code, then the character. 1 when any key
 * object has ever been made. */
KEL_API long plug_dokey(long key, long ignored, long value);
/* A function that mouse-tracking loops call with 0 while the button is held. */
KEL_API void plug_setloopfun(kel_method fn);
KEL_API void plug_init(void);
KEL_API void plug_free(void);

KEL_END_C

#endif /* KEL_SCHED_H */
