// The unit tests run against one kernel, brought up once.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "kernel/core/memory.h"
#include "kernel/files/path.h"
#include "objects/engine.h"

// The test program's global operator new joins the kernel's per-request
// fault injection (memory_fail_request), so that the standard containers
// inside the kernel fail where the kernel's own allocations would. While no
// countdown runs on the calling thread it is malloc and free.
namespace {

void *allocate(std::size_t n)
{
    if (kel::memory_request_fails()) return nullptr;
    return std::malloc(n ? n : 1);
}

}  // namespace

void *operator new(std::size_t n)
{
    if (void *p = allocate(n)) return p;
    throw std::bad_alloc();
}
void *operator new[](std::size_t n) { return operator new(n); }
void *operator new(std::size_t n, const std::nothrow_t &) noexcept { return allocate(n); }
void *operator new[](std::size_t n, const std::nothrow_t &) noexcept { return allocate(n); }
void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }
void operator delete[](void *p, std::size_t) noexcept { std::free(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { std::free(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { std::free(p); }

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (!kel::engine_init() || !kel::path_init()) return 1;
    return RUN_ALL_TESTS();
}
