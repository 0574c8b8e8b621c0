/* SPDX-License-Identifier: MIT (see LICENSE) */
/* kel external SDK: locks, threads and the wall clock.
 *
 * Lock arguments: NULL means the kernel's global lock, but only while
 * overdrive is active (otherwise everything that could interleave runs on the
 * main thread, so the call does nothing); CRITICAL_GLOBAL means the global
 * lock always. Every kernel lock may be entered again by the thread that
 * holds it.
 */
#ifndef KEL_THREADS_H
#define KEL_THREADS_H

#include "kel/base.h"

KEL_BEGIN_C

typedef struct critical critical;
#define CRITICAL_GLOBAL ((critical *)-1)

/* *p receives a new lock, or NULL when it cannot be made. */
KEL_API void critical_new(critical **p);
KEL_API void critical_enter(critical *c);
KEL_API void critical_exit(critical *c);
/* 0 when acquired (or nothing to acquire), 1 when another thread holds it. */
KEL_API int critical_tryenter(critical *c);
KEL_API void critical_free(critical *c);

typedef struct critical systhread_mutex;
typedef struct systhread_record *systhread;
typedef struct systhread_cond_record *systhread_cond;

/* The same semantics as the critical_ family, NULL and CRITICAL_GLOBAL included. */
KEL_API long systhread_mutex_new(systhread_mutex **p, long flags);
KEL_API long systhread_mutex_free(systhread_mutex *m);
KEL_API long systhread_mutex_lock(systhread_mutex *m);
KEL_API long systhread_mutex_unlock(systhread_mutex *m);
KEL_API long systhread_mutex_trylock(systhread_mutex *m);
/* Creates *p on first use, then locks it. */
KEL_API long systhread_mutex_newlock(systhread_mutex **p, long flags);

/* Starts fn(arg) on a new thread; 0 or a system error code. stacksize 0 is
 * the system's default; priority and flags are accepted and ignored. */
KEL_API long systhread_create(kel_method fn, void *arg, long stacksize, long priority, long flags, systhread *out);
/* Waits for the thread; *status (when not NULL) receives its exit status. */
KEL_API long systhread_join(systhread t, unsigned int *status);
/* Asks the thread to end at its next sleep. */
KEL_API long systhread_terminate(systhread t);
/* Sleeps ms milliseconds; ends early when the thread is asked to end. */
KEL_API void systhread_sleep(long ms);
/* Ends the calling thread (it must have been made by systhread_create). */
KEL_API void systhread_exit(long status);
KEL_API systhread systhread_self(void);
KEL_API int systhread_ismainthread(void);
KEL_API int systhread_istimerthread(void);

KEL_API long systhread_cond_new(systhread_cond *c, long flags);
KEL_API long systhread_cond_free(systhread_cond c);
/* Waits for a signal; m must be held and is held again on return. */
KEL_API long systhread_cond_wait(systhread_cond c, systhread_mutex *m);
KEL_API long systhread_cond_signal(systhread_cond c);
KEL_API long systhread_cond_broadcast(systhread_cond c);

/* --- the wall clock --- */

typedef struct systime_date {
    long year;
    long month; /* 1..12 */
    long day;   /* 1..31 */
    long hour;
    long minute;
    long second;
    long day_of_week; /* 1 = Sunday .. 7 = Saturday */
    long millisecond;
} systime_date;

/* Milliseconds since the process started (steady). */
KEL_API unsigned long systime_ms(void);
/* Sixtieths of a second since the process started (steady). */
KEL_API unsigned long systime_ticks(void);
/* Local time as seconds since 1904-01-01 00:00. */
KEL_API unsigned long systime_seconds(void);
KEL_API void systime_datetime(systime_date *d);
KEL_API void systime_secondstodate(unsigned long secs, systime_date *d);
KEL_API unsigned long systime_datetoseconds(const systime_date *d);

KEL_END_C

#endif /* KEL_THREADS_H */
