#include "kernel/time/qelems.h"

#include <atomic>
#include <mutex>

#include "kel/memory.h"
#include "kel/outlets.h"
#include "kel/symbols.h"
#include "kernel/core/calls.h"
#include "kernel/core/locks.h"
#include "kernel/time/deferred.h"
#include "kernel/time/scheduler.h"

namespace kel {
namespace {

// Changed only under its lock. The length is also read without it (is the
// queue empty?): a reader may see a change a moment late, as if it had looked
// just before it; whoever sets an element wakes the main loop after.
struct queue {
    std::mutex lock;
    qelem *head = nullptr;
    qelem *tail = nullptr;
    std::atomic<long> length{0};
};

queue &main_queue()
{
    static queue q;
    return q;
}

// Under the queue lock.
void unlink(queue &q, qelem *e)
{
    if (e->prev)
        e->prev->next = e->next;
    else
        q.head = e->next;
    if (e->next)
        e->next->prev = e->prev;
    else
        q.tail = e->prev;
    e->next = e->prev = nullptr;
    e->queued = 0;
    q.length.fetch_sub(1, std::memory_order_release);
}

void push_tail(queue &q, qelem *e)
{
    e->next = nullptr;
    e->prev = q.tail;
    if (q.tail)
        q.tail->next = e;
    else
        q.head = e;
    q.tail = e;
    e->queued = 1;
    q.length.fetch_add(1, std::memory_order_release);
}

void push_head(queue &q, qelem *e)
{
    e->prev = nullptr;
    e->next = q.head;
    if (q.head)
        q.head->prev = e;
    else
        q.tail = e;
    q.head = e;
    e->queued = 1;
    q.length.fetch_add(1, std::memory_order_release);
}

// Runs op on the queue under its lock, with lockout set.
template <typename Op> void with_queue(Op op)
{
    lockout_scope lockout;
    queue &q = main_queue();
    std::lock_guard guard(q.lock);
    op(q);
}

void set_owner(qelem *e, object *owner)
{
    if (e) e->owner = owner;
}

}  // namespace

void qelems_init() { gensym("qelem_setowner")->thing = reinterpret_cast<object *>(&set_owner); }

long queue_length() { return main_queue().length.load(std::memory_order_acquire); }

bool queue_is_empty() { return queue_length() == 0; }

void qelems_remove_owned_by(void *x)
{
    qelem *removed = nullptr;
    with_queue([&](queue &q) {
        for (qelem *e = q.head; e;) {
            qelem *next = e->next;
            if (e->owner == x) {
                unlink(q, e);
                e->next = removed;
                removed = e;
            }
            e = next;
        }
    });
    // A deferred call whose element is gone would never run: it is freed.
    while (removed) {
        qelem *next = removed->next;
        removed->next = nullptr;
        deferred_call_discard(removed);
        removed = next;
    }
}

int queue_service()
{
    sched_flags &flags = sched_state();
    int budget = sched_config().queue_throttle.load(std::memory_order_relaxed);
    flags.in_queue.store(true, std::memory_order_relaxed);
    event_counter_bump();
    empty_symbol_clear();
    if (queue_is_empty()) {  // nothing to run: no lock taken
        flags.in_queue.store(false, std::memory_order_relaxed);
        return 0;
    }
    long lockout = lockout_exchange(1);
    queue &q = main_queue();
    q.lock.lock();
    while (q.head && budget-- > 0) {
        qelem *e = q.head;
        unlink(q, e);
        void *arg = e->arg;
        kel_method fn = e->fn;
        q.lock.unlock();
        lockout_exchange(lockout);
        // The flag is already clear: the function may set its element again.
        if (fn) call_task(fn, arg);
        q.lock.lock();
        lockout_exchange(1);
    }
    q.lock.unlock();
    lockout_exchange(lockout);
    flags.in_queue.store(false, std::memory_order_relaxed);
    return budget < 10 ? 1 : 0;
}

}  // namespace kel

using namespace kel;

KEL_API qelem *qelem_new(void *arg, kel_method fn)
{
    auto *e = static_cast<qelem *>(getbytes(sizeof(qelem)));
    if (!e) return nullptr;
    e->next = e->prev = nullptr;
    e->arg = arg;
    e->fn = fn;
    e->queued = 0;
    e->owner = nullptr;
    return e;
}

KEL_API void qelem_set(qelem *e)
{
    if (!e) return;
    with_queue([e](queue &q) {
        if (!e->queued) push_tail(q, e);
    });
    main_loop_wake();
}

KEL_API void qelem_front(qelem *e)
{
    if (!e) return;
    with_queue([e](queue &q) {
        if (e->queued) unlink(q, e);
        push_head(q, e);
    });
    main_loop_wake();
}

KEL_API void qelem_unset(qelem *e)
{
    if (!e) return;
    with_queue([e](queue &q) {
        if (e->queued) unlink(q, e);
    });
}

KEL_API void qelem_free(qelem *e)
{
    if (!e) return;
    qelem_unset(e);
    freebytes(e, sizeof(qelem));
}

// The idle list is never filled: its forms act on the main queue.
KEL_API void qelem_idleset(qelem *e) { qelem_set(e); }
KEL_API void qelem_idlefront(qelem *e) { qelem_front(e); }
KEL_API void qelem_idleunset(qelem *e) { qelem_unset(e); }
KEL_API void qelem_idlefree(qelem *e) { qelem_free(e); }
