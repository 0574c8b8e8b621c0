// Asynchronous file requests: a ring of pending requests served in order by
// one worker thread.
//
// Invariants: the ring holds `count` requests from `head` on (modulo its
// size) in the order they were queued. Every queued request gets the next
// ticket; the worker finishes requests in ticket order, so every request with
// a ticket up to `finished_ticket` is finished (its callback has returned).
// A synchronous caller waits for its ticket, not for its ring entry, which may
// already hold a newer request. The ring, the tickets and the flags change
// only under the queue lock; the worker never holds it while it works on a
// file or calls a callback.
#include "kernel/files/sysfile_async.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <system_error>
#include <thread>

#include "kel/console.h"
#include "kel/memory.h"
#include "kel/path.h"
#include "kel/sysfile.h"
#include "kernel/files/sysfile.h"

static_assert(offsetof(asyncfile, file) == 0, "asyncfile layout is promised to externals");
static_assert(offsetof(asyncfile_params, file) == 0, "asyncfile_params layout is promised to externals");
#if defined(__LP64__)
static_assert(sizeof(asyncfile) == 16, "asyncfile layout is promised to externals");
static_assert(offsetof(asyncfile_params, request) == 8 && offsetof(asyncfile_params, position) == 48 &&
                  offsetof(asyncfile_params, callback) == 56 && offsetof(asyncfile_params, result) == 72 &&
                  sizeof(asyncfile_params) == 80,
              "asyncfile_params layout is promised to externals");
#endif

namespace kel {
namespace {

constexpr long queue_size = 4096;

struct queue_entry {
    asyncfile_params *request;
    uint64_t ticket;
};

struct request_queue {
    std::mutex lock;
    std::condition_variable work;      // the worker waits here while the ring is empty
    std::condition_variable finished;  // synchronous callers wait here for their ticket
    queue_entry ring[queue_size];
    long head = 0;
    long count = 0;
    uint64_t next_ticket = 1;
    uint64_t finished_ticket = 0;
    bool running = false;   // a worker was started and has not been joined
    bool stopping = false;  // no requests but the stop request are taken
    bool exited = false;    // the worker's loop has ended
    std::thread worker;
    std::mutex control;  // one start or stop at a time
};

// Never destroyed: the exit hook runs while static objects are being torn
// down, and must find the queue intact.
request_queue &the_queue()
{
    static auto *q = new request_queue;
    return *q;
}

thread_local bool t_on_worker = false;

void execute(asyncfile_params *p)
{
    p->done = 0;
    sysfile *f = p->file ? p->file->file : nullptr;
    if (!f) {
        p->result = -1;
        return;
    }
    switch (p->request) {
    case ASYNCFILE_READ:
    case ASYNCFILE_WRITE: {
        // Memory files and regions clamp the position into their window.
        long err = sysfile_setpos(f, SYSFILE_FROM_START, p->position);
        long n = err ? 0 : p->count;
        if (!err) err = p->request == ASYNCFILE_READ ? sysfile_read(f, &n, p->buffer) : sysfile_write(f, &n, p->buffer);
        p->done = n;
        p->result = err;
        break;
    }
    case ASYNCFILE_CLOSE:
        p->result = sysfile_close(f);
        // The record is freed whatever the close answered.
        p->file->file = nullptr;
        break;
    case ASYNCFILE_GETEOF: {
        long size = 0;
        p->result = sysfile_geteof(f, &size);
        if (p->result == 0) p->position = size;
        break;
    }
    case ASYNCFILE_SETEOF:
        p->result = sysfile_seteof(f, p->position);
        break;
    default:
        p->result = -1;
        break;
    }
}

void worker_main(request_queue *q)
{
    t_on_worker = true;
    std::unique_lock lk(q->lock);
    for (;;) {
        q->work.wait(lk, [q] { return q->count > 0 || q->stopping; });
        if (q->count == 0) break;  // stopping, and nothing left to do
        queue_entry e = q->ring[q->head];
        q->head = (q->head + 1) % queue_size;
        q->count--;
        lk.unlock();
        // The callback may free an asynchronous request: nothing reads it after.
        const bool stop = e.request->request == ASYNCFILE_STOP;
        if (!stop) execute(e.request);
        if (e.request->callback) e.request->callback(e.request);
        lk.lock();
        q->finished_ticket = e.ticket;
        q->finished.notify_all();
        if (stop) break;
    }
    q->exited = true;
    q->finished.notify_all();
}

enum class refusal { none, full, closed };

// Queues p; a synchronous request returns when it is finished, with its
// result. -1 and the reason when it is refused.
long submit(asyncfile_params *p, refusal *why)
{
    *why = refusal::none;
    const bool sync = p->flags & ASYNCFILE_SYNC;
    if (sync && t_on_worker) {
        // Waiting would wait for this very thread: carry it out now.
        execute(p);
        if (p->callback) p->callback(p);
        return p->result;
    }
    request_queue &q = the_queue();
    std::unique_lock lk(q.lock);
    if (!q.running || q.exited || (q.stopping && p->request != ASYNCFILE_STOP)) {
        *why = refusal::closed;
        return -1;
    }
    if (q.count >= queue_size) {
        *why = refusal::full;
        return -1;
    }
    const uint64_t ticket = q.next_ticket++;
    q.ring[(q.head + q.count) % queue_size] = queue_entry{p, ticket};
    q.count++;
    q.work.notify_one();
    if (!sync) return 0;
    q.finished.wait(lk, [&] { return q.finished_ticket >= ticket || q.exited; });
    return q.finished_ticket >= ticket ? p->result : -1;
}

long submit(asyncfile_params *p)
{
    refusal why;
    return submit(p, &why);
}

void exit_hook() { asyncfile_shutdown(); }

}  // namespace

void asyncfile_shutdown()
{
    request_queue &q = the_queue();
    if (t_on_worker) {
        // The worker cannot join itself: it ends once its queue is empty,
        // and the next shutdown (or the exit hook) joins it.
        std::lock_guard lk(q.lock);
        if (q.running) q.stopping = true;
        q.work.notify_one();
        return;
    }
    std::lock_guard control(q.control);
    {
        std::lock_guard lk(q.lock);
        if (!q.running) return;
        q.stopping = true;
    }
    asyncfile_params stop{};
    stop.request = ASYNCFILE_STOP;
    stop.flags = ASYNCFILE_SYNC;
    // Refused when the ring is full or the worker has ended already; it ends
    // by itself once the ring is empty, so joining is enough then.
    submit(&stop);
    {
        std::lock_guard lk(q.lock);
        q.work.notify_one();
    }
    q.worker.join();
    std::lock_guard lk(q.lock);
    q.running = false;
}

bool asyncfile_running()
{
    request_queue &q = the_queue();
    std::lock_guard lk(q.lock);
    return q.running && !q.stopping;
}

}  // namespace kel

using namespace kel;

KEL_API long asyncfile_init(void)
{
    if (t_on_worker) return asyncfile_running() ? 0 : -1;
    request_queue &q = the_queue();
    std::lock_guard control(q.control);
    std::unique_lock lk(q.lock);
    if (q.running && !q.stopping) return 0;
    if (q.running) {
        // Asked to stop from a callback: that worker ends once its queue is
        // empty.
        lk.unlock();
        q.worker.join();
        lk.lock();
        q.running = false;
    }
    q.stopping = false;
    q.exited = false;
    try {
        q.worker = std::thread(worker_main, &q);
    } catch (const std::system_error &e) {
        lk.unlock();
        post("asyncfile thread could not be created: %d", e.code().value());
        return -1;
    }
    q.running = true;
    static const bool hooked = std::atexit(exit_hook) == 0;
    (void)hooked;
    return 0;
}

KEL_API long asyncfile_create(const char *name, short path, short perm, long type, asyncfile **out, void *user)
{
    if (!out) return -1;
    *out = nullptr;
    if (!name || asyncfile_init() != 0) return -1;
    auto *h = static_cast<asyncfile *>(getbytes(sizeof(asyncfile)));
    if (!h) return -1;
    h->file = nullptr;
    h->user = user;
    short err = perm == 2 || perm == 3 ? path_createsysfile(name, path, type, &h->file)
                                       : path_opensysfile(name, path, &h->file, perm);
    if (err || !h->file) {
        if (h->file) sysfile_close(h->file);
        freebytes(h, sizeof(asyncfile));
        return err ? err : -1;
    }
    *out = h;
    return 0;
}

KEL_API long asyncfile_read(asyncfile_params *p)
{
    if (!p) return -1;
    p->request = ASYNCFILE_READ;
    return submit(p);
}

KEL_API long asyncfile_write(asyncfile_params *p)
{
    if (!p) return -1;
    p->request = ASYNCFILE_WRITE;
    return submit(p);
}

KEL_API long asyncfile_geteof(asyncfile *h, long *size)
{
    if (!h || !size) return -1;
    asyncfile_params p{};
    p.file = h;
    p.request = ASYNCFILE_GETEOF;
    p.flags = ASYNCFILE_SYNC;
    long err = submit(&p);
    if (err == 0) *size = p.position;
    return err;
}

KEL_API long asyncfile_seteof(asyncfile *h, long size)
{
    if (!h) return -1;
    asyncfile_params p{};
    p.file = h;
    p.request = ASYNCFILE_SETEOF;
    p.flags = ASYNCFILE_SYNC;
    p.position = size;
    return submit(&p);
}

KEL_API long asyncfile_close(asyncfile *h)
{
    if (!h) return -1;
    asyncfile_params p{};
    p.file = h;
    p.request = ASYNCFILE_CLOSE;
    p.flags = ASYNCFILE_SYNC;
    refusal why;
    long err = submit(&p, &why);
    // A full ring: the caller may try again later, so h stays theirs.
    if (why == refusal::full) return -1;
    if (why == refusal::closed) {
        // No worker will take it. One that is still finishing its queue may
        // hold requests for this file: let it end before closing here.
        request_queue &q = the_queue();
        {
            std::unique_lock lk(q.lock);
            q.finished.wait(lk, [&] { return !q.running || q.exited; });
        }
        execute(&p);
        err = p.result;
    }
    freebytes(h, sizeof(asyncfile));
    return err;
}

KEL_API asyncfile_params *asyncfile_params_new(void)
{
    auto *p = static_cast<asyncfile_params *>(getbytes(sizeof(asyncfile_params)));
    if (p) asyncfile_params_default(p);
    return p;
}

KEL_API void asyncfile_params_free(asyncfile_params *p)
{
    if (p) freebytes(p, sizeof(asyncfile_params));
}

KEL_API void asyncfile_params_default(asyncfile_params *p)
{
    if (p) *p = asyncfile_params{};
}

KEL_API asyncfile_callback asyncfile_callback_new(asyncfile_callback fn) { return fn; }
