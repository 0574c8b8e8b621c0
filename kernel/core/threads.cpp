// Locks, threads and the wall clock for externals.
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <new>
#include <thread>

#include <pthread.h>

#include "kel/threads.h"
#include "kernel/core/calls.h"
#include "kernel/core/locks.h"
#include "platform/datetime.h"

struct critical {
    std::recursive_mutex m;
};

// A thread made by systhread_create (owned: its handle is freed by join), or
// the record of a thread that asked for its own handle.
struct systhread_record {
    pthread_t tid;
    bool owned;
    kel_method fn;
    void *arg;
    std::mutex m;
    std::condition_variable cv;
    bool terminate = false;
};

struct systhread_cond_record {
    std::condition_variable_any cv;
};

namespace {

thread_local systhread_record *t_self = nullptr;

// Which of the calling thread's nested enters with NULL really locked (they
// lock only while overdrive is active, and overdrive may change in between):
// an exit unlocks only what its enter locked.
thread_local uint64_t t_null_locked = 0;
thread_local int t_null_depth = 0;

// The lock a critical_/systhread_mutex_ argument names; null when none.
std::recursive_mutex *resolve(critical *c)
{
    if (c == CRITICAL_GLOBAL) return &kel::global_lock();
    if (c) return &c->m;
    return kel::overdrive_active() ? &kel::global_lock() : nullptr;
}

void *thread_main(void *p)
{
    auto *t = static_cast<systhread_record *>(p);
    t_self = t;
    kel::call_task(t->fn, t->arg);
    return nullptr;
}

}  // namespace

KEL_API void critical_new(critical **p)
{
    if (p) *p = new (std::nothrow) critical;
}

KEL_API void critical_enter(critical *c)
{
    if (c) {
        resolve(c)->lock();
        return;
    }
    std::recursive_mutex *m = resolve(nullptr);
    if (t_null_depth < 64) {
        if (m)
            t_null_locked |= uint64_t{1} << t_null_depth;
        else
            t_null_locked &= ~(uint64_t{1} << t_null_depth);
    }
    t_null_depth++;
    if (m) m->lock();
}

KEL_API void critical_exit(critical *c)
{
    if (c) {
        resolve(c)->unlock();
        return;
    }
    if (t_null_depth == 0) return;
    t_null_depth--;
    if (t_null_depth < 64 && (t_null_locked & (uint64_t{1} << t_null_depth))) kel::global_lock().unlock();
}

KEL_API int critical_tryenter(critical *c)
{
    std::recursive_mutex *m = resolve(c);
    if (!m) {
        if (!c) critical_enter(nullptr);  // keeps the NULL bookkeeping balanced with critical_exit
        return 0;
    }
    if (!m->try_lock()) return 1;
    if (!c) {
        // Taken: recorded as an enter that locked.
        if (t_null_depth < 64) t_null_locked |= uint64_t{1} << t_null_depth;
        t_null_depth++;
    }
    return 0;
}

KEL_API void critical_free(critical *c)
{
    if (c && c != CRITICAL_GLOBAL) delete c;
}

KEL_API long systhread_mutex_new(systhread_mutex **p, long)
{
    critical_new(p);
    return p && *p ? 0 : ENOMEM;
}

KEL_API long systhread_mutex_free(systhread_mutex *m)
{
    critical_free(m);
    return 0;
}

KEL_API long systhread_mutex_lock(systhread_mutex *m)
{
    critical_enter(m);
    return 0;
}

KEL_API long systhread_mutex_unlock(systhread_mutex *m)
{
    critical_exit(m);
    return 0;
}

KEL_API long systhread_mutex_trylock(systhread_mutex *m) { return critical_tryenter(m); }

KEL_API long systhread_mutex_newlock(systhread_mutex **p, long flags)
{
    if (!p) return EINVAL;
    if (!*p && systhread_mutex_new(p, flags)) return ENOMEM;
    return systhread_mutex_lock(*p);
}

KEL_API long systhread_create(kel_method fn, void *arg, long stacksize, long, long, systhread *out)
{
    if (!fn) return EINVAL;
    auto *t = new (std::nothrow) systhread_record;
    if (!t) return ENOMEM;
    t->owned = true;
    t->fn = fn;
    t->arg = arg;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    if (stacksize > 0) pthread_attr_setstacksize(&attr, static_cast<size_t>(stacksize));
    int failed = pthread_create(&t->tid, &attr, &thread_main, t);
    pthread_attr_destroy(&attr);
    if (failed) {
        delete t;
        return failed;
    }
    if (out) *out = t;
    return 0;
}

KEL_API long systhread_join(systhread t, unsigned int *status)
{
    if (!t) return EINVAL;
    void *result = nullptr;
    int failed = pthread_join(t->tid, &result);
    if (!failed && status) *status = static_cast<unsigned int>(reinterpret_cast<uintptr_t>(result));
    if (!failed && t->owned) delete t;
    return failed;
}

KEL_API long systhread_terminate(systhread t)
{
    if (!t) return EINVAL;
    {
        std::lock_guard lock(t->m);
        t->terminate = true;
    }
    t->cv.notify_all();
    return 0;
}

KEL_API void systhread_sleep(long ms)
{
    systhread_record *self = t_self;
    auto span = std::chrono::milliseconds(ms > 0 ? ms : 0);
    if (!self) {
        std::this_thread::sleep_for(span);
        return;
    }
    bool ended;
    {
        std::unique_lock lock(self->m);
        self->cv.wait_for(lock, span, [self] { return self->terminate; });
        ended = self->terminate;
    }
    if (ended) systhread_exit(0);
}

KEL_API void systhread_exit(long status) { pthread_exit(reinterpret_cast<void *>(static_cast<uintptr_t>(status))); }

KEL_API systhread systhread_self(void)
{
    if (!t_self) {
        // A thread the kernel did not make: its record lives as long as it does.
        thread_local systhread_record record;
        record.tid = pthread_self();
        record.owned = false;
        record.fn = nullptr;
        record.arg = nullptr;
        t_self = &record;
    }
    return t_self;
}

KEL_API long systhread_cond_new(systhread_cond *c, long)
{
    if (!c) return EINVAL;
    *c = new (std::nothrow) systhread_cond_record;
    return *c ? 0 : ENOMEM;
}

KEL_API long systhread_cond_free(systhread_cond c)
{
    delete c;
    return 0;
}

KEL_API long systhread_cond_wait(systhread_cond c, systhread_mutex *m)
{
    std::recursive_mutex *lock = resolve(m);
    if (!c || !lock) return EINVAL;
    c->cv.wait(*lock);
    return 0;
}

KEL_API long systhread_cond_signal(systhread_cond c)
{
    if (!c) return EINVAL;
    c->cv.notify_one();
    return 0;
}

KEL_API long systhread_cond_broadcast(systhread_cond c)
{
    if (!c) return EINVAL;
    c->cv.notify_all();
    return 0;
}

KEL_API unsigned long systime_ms(void)
{
    using namespace std::chrono;
    static const steady_clock::time_point start = steady_clock::now();
    return static_cast<unsigned long>(duration_cast<milliseconds>(steady_clock::now() - start).count());
}

KEL_API unsigned long systime_ticks(void) { return kel::toolbox::TickCount(); }

KEL_API unsigned long systime_seconds(void)
{
    unsigned long secs = 0;
    kel::toolbox::GetDateTime(&secs);
    return secs;
}

KEL_API void systime_secondstodate(unsigned long secs, systime_date *d)
{
    if (!d) return;
    kel::toolbox::DateTimeRec r{};
    kel::toolbox::SecondsToDate(secs, &r);
    *d = {r.year, r.month, r.day, r.hour, r.minute, r.second, r.dayOfWeek, 0};
}

KEL_API void systime_datetime(systime_date *d)
{
    if (!d) return;
    using namespace std::chrono;
    systime_secondstodate(systime_seconds(), d);
    d->millisecond =
        static_cast<long>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count() % 1000);
}

KEL_API unsigned long systime_datetoseconds(const systime_date *d)
{
    if (!d) return 0;
    kel::toolbox::DateTimeRec r{static_cast<short>(d->year),
                                static_cast<short>(d->month),
                                static_cast<short>(d->day),
                                static_cast<short>(d->hour),
                                static_cast<short>(d->minute),
                                static_cast<short>(d->second),
                                0};
    unsigned long secs = 0;
    kel::toolbox::DateToSeconds(&r, &secs);
    return secs;
}
