// The small-block pool behind getbytes/freebytes, and the memory-low flag.
//
// Invariants: every block handed out is a multiple of 8 bytes and 8-aligned;
// blocks of 16384 bytes or more come from the system heap; smaller blocks are
// carved from 256 KiB chunks or popped from the free list of their size
// (last freed, first reused). Chunks are never given back to the system.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kel {

struct pool_totals {
    long handed_out;  // bytes
    long given_back;
    long blocks_out = 0;  // blocks, of any size
    long blocks_back = 0;
};

// The totals of the kernel pool and of the second, 16-byte-granular pool
// (from which no kernel operation allocates).
pool_totals pool_totals_get();
pool_totals pool16_totals_get();
void pool_totals_reset();
// Posts the totals of both pools, one line each.
void pool_post_totals();

// At idle time: make sure a spare chunk exists, so that the next chunk change
// does not have to call the system allocator.
void pool_replenish();

// True when p .. p+n lies inside one of the pool's chunks, which stay mapped
// for the life of the process: such memory can be read without a probe.
bool pool_block_readable(const void *p, size_t n);

// getbytes serves a request of this many bytes or more (rounded up to 8)
// from the system heap.
inline constexpr long pool_heap_boundary = 16384;
inline bool pool_serves_from_heap(long size) { return ((size + 7) & ~7L) >= pool_heap_boundary; }

// True when a block of that size at p is one getbytes handed out: carved
// from one of the pool's chunks, or of a size the pool takes from the system
// heap. A smaller block from anywhere else is not the pool's to take back.
bool pool_holds(const void *p, long size);

// The process-wide memory-low flag, set when the pool runs short and by the
// kernel's allocation fallbacks; while set, no object is created by name.
bool memory_is_low();
void memory_set_low(bool low);

// Fault injection for tests: the countdown-th request to the system from now
// on (a pool chunk, a large block, a heap pointer or handle) fails, and every
// one after it, until the countdown is set to -1 (off). Blocks the pool
// already holds are still handed out.
void memory_fail_after(long countdown);
bool memory_fault_injected();

// Fault injection per request, for tests: from now on every allocation
// request made on the calling thread is counted (getbytes, the sysmem
// pointer and handle functions and their resizes, and an allocator outside
// the kernel that asks memory_request_fails); the nth fails, and with
// and_later every one after it too. nth = 0 counts without failing;
// memory_fail_request(-1, false) ends it. A failed request fails as the
// memory behind it does when exhausted: getbytes of a pool size raises the
// memory-low flag, as the pool does when it cannot get a chunk; the heap
// (a large getbytes, sysmem, handles) only answers null or the
// out-of-memory code. Other threads are never affected, so a count is
// repeatable.
void memory_fail_request(long nth, bool and_later);
// The requests counted since the countdown was last started.
long memory_requests_counted();
// Counts one request of the calling thread; true when it must fail. One
// relaxed load while no thread counts.
bool memory_request_fails();

}  // namespace kel

extern "C" {
// The 16-bit flag itself, for code that reads it directly.
extern int16_t g_kel_memislow;
}
