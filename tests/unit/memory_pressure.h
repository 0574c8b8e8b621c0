// Running the kernel out of memory on purpose, and what it holds.
#pragma once

#include <ostream>
#include <vector>

#include "kel/memory.h"
#include "kernel/core/hashtab.h"
#include "kernel/core/linklist.h"
#include "kernel/core/memory.h"
#include "kernel/core/symbols.h"

namespace kel::test {

// The pool bytes and blocks in use, less what grows by design without
// anything being lost: the symbol table's blocks (never given back) and the
// slot lists of hash tables (each kept by its table once used; a table keyed
// by addresses or by new names comes to hold more of them).
struct pool_footprint {
    long bytes, blocks;

    static pool_footprint now()
    {
        pool_totals t = pool_totals_get();
        long symbol_bytes = 0, symbol_blocks = 0;
        symbols_pool_held(&symbol_bytes, &symbol_blocks);
        const long lists = hashtab_slot_lists();
        const long list_bytes = (static_cast<long>(sizeof(linklist)) + 7) & ~7L;
        return {t.handed_out - t.given_back - symbol_bytes - lists * list_bytes,
                t.blocks_out - t.blocks_back - symbol_blocks - lists};
    }
    bool operator==(const pool_footprint &) const = default;
};

inline std::ostream &operator<<(std::ostream &out, const pool_footprint &f)
{
    return out << f.bytes << " bytes in " << f.blocks << " blocks";
}

// While alive: every request to the system fails and the pool is used up,
// so the next getbytes of a size with an empty free list answers null.
class memory_exhausted {
public:
    memory_exhausted()
    {
        memory_fail_after(0);
        while (void *p = getbytes(block)) blocks_.push_back(p);
        while (void *p = getbytes(8)) small_.push_back(p);
    }
    ~memory_exhausted()
    {
        memory_fail_after(-1);
        for (void *p : blocks_) freebytes(p, block);
        for (void *p : small_) freebytes(p, 8);
        memory_set_low(false);
    }
    memory_exhausted(const memory_exhausted &) = delete;
    memory_exhausted &operator=(const memory_exhausted &) = delete;

private:
    static constexpr long block = 4000;
    std::vector<void *> blocks_;
    std::vector<void *> small_;
};

}  // namespace kel::test
