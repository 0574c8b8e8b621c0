#include "kernel/core/memory.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include <malloc.h>

#include "kel/console.h"
#include "kel/memory.h"
#include "kernel/core/settings.h"
#include "platform/handles.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define KEL_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define KEL_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define KEL_POISON(p, n) ((void)(p), (void)(n))
#define KEL_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

int16_t g_kel_memislow = 0;

namespace kel {
namespace {

constexpr long chunk_size = 0x40000;
constexpr long low_water = 1024;  // the flag goes up when a carve passes this close to the end
constexpr long heap_boundary = pool_heap_boundary;
constexpr int free_list_count = heap_boundary / 8;

struct free_block {
    free_block *next;
};

struct pool {
    std::mutex lock;
    char *current = nullptr;  // next free byte of the current chunk
    char *end = nullptr;      // end of the current chunk
    char *spare = nullptr;    // a chunk allocated ahead of need
    free_block *free_lists[free_list_count] = {};
    long handed_out = 0;
    long given_back = 0;
    long blocks_out = 0;
    long blocks_back = 0;
};

pool &the_pool()
{
    static pool p;
    return p;
}

// Under the pool's lock; pool_replenish also reads the spare without it.
void set_spare(pool &p, char *chunk) { std::atomic_ref<char *>(p.spare).store(chunk, std::memory_order_relaxed); }

pool_totals g_pool16_totals{0, 0};
std::mutex g_fault_lock;
std::atomic<long> g_fault_countdown{-1};

// True when this allocation must fail (fault injection). One relaxed load
// while injection is off.
bool fault_now()
{
    if (g_fault_countdown.load(std::memory_order_relaxed) < 0) return false;
    std::lock_guard guard(g_fault_lock);
    long c = g_fault_countdown.load(std::memory_order_relaxed);
    if (c < 0) return false;
    if (c == 0) return true;
    g_fault_countdown.store(c - 1, std::memory_order_relaxed);
    return c == 1;
}

// The per-request countdown: the gate says whether any thread counts; the
// count itself belongs to the thread that armed it.
std::atomic<long> g_counting_threads{0};
struct request_countdown {
    bool on = false;
    bool and_later = false;
    long nth = 0;
    long count = 0;
};
thread_local request_countdown t_requests;

void *heap_alloc(size_t n)
{
    if (fault_now()) return nullptr;
    return std::malloc(n ? n : 1);
}

// The bases of every chunk, sorted: chunks are never given back, so a
// pointer inside one can always be read.
std::shared_mutex g_chunks_lock;
std::vector<uintptr_t> g_chunks;

char *chunk_alloc()
{
    char *c = static_cast<char *>(heap_alloc(chunk_size));
    if (!c) return nullptr;
    KEL_POISON(c, chunk_size);
    std::unique_lock guard(g_chunks_lock);
    auto base = reinterpret_cast<uintptr_t>(c);
    try {
        g_chunks.insert(std::upper_bound(g_chunks.begin(), g_chunks.end(), base), base);
    } catch (const std::bad_alloc &) {
        KEL_UNPOISON(c, chunk_size);
        std::free(c);  // a chunk the pool cannot list is not used
        return nullptr;
    }
    return c;
}

long round8(long size) { return (size + 7) & ~7L; }

}  // namespace

pool_totals pool_totals_get()
{
    pool &p = the_pool();
    std::lock_guard guard(p.lock);
    return {p.handed_out, p.given_back, p.blocks_out, p.blocks_back};
}

pool_totals pool16_totals_get() { return g_pool16_totals; }

void pool_totals_reset()
{
    pool &p = the_pool();
    std::lock_guard guard(p.lock);
    p.handed_out = p.given_back = 0;
    p.blocks_out = p.blocks_back = 0;
    g_pool16_totals = {0, 0};
}

void pool_post_totals()
{
    pool_totals t = pool_totals_get();
    post("s_util_heap_kel_mem: gb %ld, fb %ld", t.handed_out, t.given_back);
    post("s_util_heap_kel_16mem: gb %ld, fb %ld", g_pool16_totals.handed_out, g_pool16_totals.given_back);
}

void pool_replenish()
{
    pool &p = the_pool();
    // A spare seen without the lock may be taken a moment later; the next
    // replenish, or the allocation that takes it, makes another.
    if (std::atomic_ref<char *>(p.spare).load(std::memory_order_relaxed)) return;
    std::lock_guard guard(p.lock);
    if (!p.spare) set_spare(p, chunk_alloc());
}

bool pool_block_readable(const void *p, size_t n)
{
    auto at = reinterpret_cast<uintptr_t>(p);
    {
        std::shared_lock guard(g_chunks_lock);
        auto next = std::upper_bound(g_chunks.begin(), g_chunks.end(), at);
        if (next == g_chunks.begin()) return false;
        uintptr_t base = *(next - 1);
        if (at + n > base + chunk_size) return false;
    }
#if defined(__SANITIZE_ADDRESS__)
    // A block given back is poisoned: it is not read directly.
    if (__asan_region_is_poisoned(const_cast<void *>(p), n)) return false;
#endif
    return true;
}

bool pool_holds(const void *p, long size)
{
    if (pool_serves_from_heap(size)) return true;
    auto at = reinterpret_cast<uintptr_t>(p);
    std::shared_lock guard(g_chunks_lock);
    auto next = std::upper_bound(g_chunks.begin(), g_chunks.end(), at);
    return next != g_chunks.begin() && at < *(next - 1) + chunk_size;
}

bool memory_is_low() { return g_kel_memislow != 0; }

void memory_set_low(bool low) { g_kel_memislow = low ? 1 : 0; }

void memory_fail_after(long countdown)
{
    std::lock_guard guard(g_fault_lock);
    g_fault_countdown.store(countdown < 0 ? -1 : countdown, std::memory_order_relaxed);
}

bool memory_fault_injected() { return g_fault_countdown.load(std::memory_order_relaxed) >= 0; }

void memory_fail_request(long nth, bool and_later)
{
    request_countdown &r = t_requests;
    if (nth >= 0 && !r.on) g_counting_threads.fetch_add(1, std::memory_order_relaxed);
    if (nth < 0 && r.on) g_counting_threads.fetch_sub(1, std::memory_order_relaxed);
    if (nth < 0) {
        r.on = false;  // the count stays readable
        return;
    }
    r = {true, and_later, nth, 0};
}

long memory_requests_counted() { return t_requests.count; }

bool memory_request_fails()
{
    if (g_counting_threads.load(std::memory_order_relaxed) == 0) return false;
    request_countdown &r = t_requests;
    if (!r.on) return false;
    long n = ++r.count;
    return r.nth > 0 && (n == r.nth || (r.and_later && n > r.nth));
}

}  // namespace kel

using namespace kel;

// Takes a block from the pool under the pool's lock. What happened on the
// way (*low: memory became low; *chunk: a new chunk was started) is reported
// by the caller once the lock is released, because posting may allocate.
static void *pool_take(pool &p, long n, bool *low, uintptr_t *chunk)
{
    std::lock_guard guard(p.lock);
    free_block **list = &p.free_lists[n / 8];
    if (*list) {
        free_block *b = *list;
        KEL_UNPOISON(b, n);
        *list = b->next;
        p.handed_out += n;
        p.blocks_out++;
        return b;
    }
    if (!p.spare) {
        set_spare(p, chunk_alloc());
        if (!p.spare && (!p.current || p.end - p.current - n < low_water) && !g_kel_memislow) {
            g_kel_memislow = 1;
            *low = true;
        }
    }
    if (!p.current || p.end - p.current < n) {
        if (!p.spare) return nullptr;
        p.current = p.spare;
        p.end = p.spare + chunk_size;
        *chunk = reinterpret_cast<uintptr_t>(p.current);
        set_spare(p, chunk_alloc());
    }
    char *block = p.current;
    p.current += n;
    p.handed_out += n;
    p.blocks_out++;
    KEL_UNPOISON(block, n);
    return block;
}

KEL_API void *getbytes(long size)
{
    if (size <= 0) return nullptr;
    if (memory_request_fails()) {
        // As the pool fails when it is exhausted: with the flag up.
        if (!pool_serves_from_heap(size)) g_kel_memislow = 1;
        return nullptr;
    }
    long n = round8(size);
    pool &p = the_pool();
    if (n >= heap_boundary) {
        void *block = heap_alloc(static_cast<size_t>(n));
        if (block) {
            std::lock_guard guard(p.lock);
            p.handed_out += n;
            p.blocks_out++;
        }
        return block;
    }
    bool low = false;
    uintptr_t chunk = 0;
    void *block = pool_take(p, n, &low, &chunk);
    if (developer()) {
        if (low) post("setting g_kel_memislow");
        if (chunk) post("ate new alloc %lx", static_cast<unsigned long>(chunk));
    }
    return block;
}

KEL_API void freebytes(void *ptr, long size)
{
    if (!ptr || size <= 0) return;
    long n = round8(size);
    pool &p = the_pool();
    if (n >= heap_boundary) {
        std::free(ptr);
        std::lock_guard guard(p.lock);
        p.given_back += n;
        p.blocks_back++;
        return;
    }
    std::lock_guard guard(p.lock);
    free_block *b = static_cast<free_block *>(ptr);
    b->next = p.free_lists[n / 8];
    p.free_lists[n / 8] = b;
    p.given_back += n;
    p.blocks_back++;
    // Everything but the link is off limits until the block is handed out again.
    KEL_POISON(reinterpret_cast<char *>(b) + sizeof(free_block), n - static_cast<long>(sizeof(free_block)));
}

KEL_API void *sysmem_newptr(long n)
{
    if (n < 0 || memory_request_fails()) return nullptr;
    return heap_alloc(static_cast<size_t>(n));
}

KEL_API void *sysmem_newptrclear(long n)
{
    void *p = sysmem_newptr(n);
    if (p) std::memset(p, 0, malloc_usable_size(p));  // all of it: sysmem_ptrsize reports it usable
    return p;
}

KEL_API void sysmem_freeptr(void *p) { std::free(p); }

KEL_API void *sysmem_resizeptr(void *p, long n)
{
    if (n < 0 || memory_request_fails() || fault_now()) return nullptr;
    return std::realloc(p, static_cast<size_t>(n ? n : 1));
}

KEL_API void *sysmem_resizeptrclear(void *p, long n)
{
    long old = p ? sysmem_ptrsize(p) : 0;
    void *q = sysmem_resizeptr(p, n);
    long now = q ? sysmem_ptrsize(q) : 0;
    if (q && now > old) std::memset(static_cast<char *>(q) + old, 0, static_cast<size_t>(now - old));
    return q;
}

KEL_API long sysmem_ptrsize(void *p) { return p ? static_cast<long>(malloc_usable_size(p)) : 0; }

KEL_API void sysmem_copyptr(const void *src, void *dst, long n)
{
    if (src && dst && n > 0) std::memmove(dst, src, static_cast<size_t>(n));
}

KEL_API kel_handle sysmem_newhandle(long n)
{
    if (memory_request_fails() || fault_now()) return nullptr;
    return toolbox::NewHandle(n);
}

KEL_API kel_handle sysmem_newhandleclear(long n)
{
    if (memory_request_fails() || fault_now()) return nullptr;
    return toolbox::NewHandleClear(n);
}

KEL_API long sysmem_resizehandle(kel_handle h, long n)
{
    if (memory_request_fails() || fault_now()) return -108;  // the toolbox's out-of-memory code
    toolbox::SetHandleSize(h, n);
    return toolbox::MemError();
}

KEL_API long sysmem_handlesize(kel_handle h) { return toolbox::GetHandleSize(h); }

KEL_API void sysmem_freehandle(kel_handle h) { toolbox::DisposeHandle(h); }

KEL_API long sysmem_lockhandle(kel_handle h, long lock)
{
    if (!h) return 0;
    long was_locked = (toolbox::HGetState(h) & 0x80) != 0;
    if (lock)
        toolbox::HLock(h);
    else
        toolbox::HUnlock(h);
    return was_locked;
}

KEL_API long sysmem_ptrandhand(const void *src, kel_handle h, long n)
{
    if (!src || !h || n <= 0) return -1;
    long old = toolbox::GetHandleSize(h);
    long err = sysmem_resizehandle(h, old + n);
    if (err) return err;
    std::memcpy(*h + old, src, static_cast<size_t>(n));
    return 0;
}
