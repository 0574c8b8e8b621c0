// Running the kernel out of memory on purpose.
#pragma once

#include <vector>

#include "kel/memory.h"
#include "kernel/core/memory.h"

namespace kel::test {

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
