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
    long handed_out;
    long given_back;
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

}  // namespace kel

extern "C" {
// The 16-bit flag itself, for code that reads it directly.
extern int16_t g_kel_memislow;
}
