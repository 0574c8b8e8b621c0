// The small-block pool, its counters and the memory-low flag, and the
// sysmem_ layer over the heap and relocatable handles.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "console_capture.h"
#include "kel/kel.h"
#include "kernel/core/memory.h"
#include "kernel/core/settings.h"
#include "memory_pressure.h"

namespace {

TEST(Pool, SizesRoundToEightAndBlocksAreAligned)
{
    kel::pool_totals before = kel::pool_totals_get();
    struct {
        long asked, consumed;
    } const cases[] = {{1, 8}, {8, 8}, {9, 16}, {100, 104}, {16383, 16384}, {16384, 16384}, {20000, 20000}};
    for (const auto &c : cases) {
        kel::pool_totals t0 = kel::pool_totals_get();
        void *p = getbytes(c.asked);
        ASSERT_NE(p, nullptr) << c.asked;
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 8, 0u) << c.asked;
        std::memset(p, 0xAB, static_cast<size_t>(c.asked));  // all of it is ours
        EXPECT_EQ(kel::pool_totals_get().handed_out - t0.handed_out, c.consumed) << c.asked;
        freebytes(p, c.asked);
        EXPECT_EQ(kel::pool_totals_get().given_back - t0.given_back, c.consumed) << c.asked;
    }
    EXPECT_GE(kel::pool_totals_get().handed_out, before.handed_out);
    EXPECT_EQ(getbytes(0), nullptr);
    EXPECT_EQ(getbytes(-4), nullptr);
    freebytes(nullptr, 8);  // nothing happens
    kel::pool_totals t = kel::pool_totals_get();
    freebytes(&t, 0);  // a size of 0 does nothing
    EXPECT_EQ(kel::pool_totals_get().given_back, t.given_back);
}

TEST(Pool, LastFreedIsFirstReusedPerRoundedSize)
{
    void *a = getbytes(40);
    void *b = getbytes(40);
    void *c = getbytes(33);  // rounds to 40 too
    freebytes(a, 40);
    freebytes(c, 33);
    EXPECT_EQ(getbytes(40), c);
    EXPECT_EQ(getbytes(37), a);
    void *d = getbytes(40);
    EXPECT_NE(d, a);
    EXPECT_NE(d, b);
    // A block of another size class does not come from this list.
    void *small = getbytes(8);
    freebytes(small, 8);
    void *other = getbytes(48);
    EXPECT_NE(other, small);
    for (void *p : {a, b, c, d}) freebytes(p, 40);
    freebytes(other, 48);
}

TEST(Pool, CountersAndReset)
{
    kel::pool_totals_reset();
    void *p = getbytes(24);
    void *q = getbytes(100);
    freebytes(p, 24);
    kel::pool_totals t = kel::pool_totals_get();
    EXPECT_EQ(t.handed_out, 24 + 104);
    EXPECT_EQ(t.given_back, 24);
    EXPECT_EQ(t.blocks_out, 2);
    EXPECT_EQ(t.blocks_back, 1);
    kel::test::console_capture console;
    kel::pool_post_totals();
    EXPECT_EQ(console.lines(),
              (std::vector<std::string>{"s_util_heap_kel_mem: gb 128, fb 24", "s_util_heap_kel_16mem: gb 0, fb 0"}));
    freebytes(q, 100);
    kel::pool_totals_reset();
    EXPECT_EQ(kel::pool_totals_get().handed_out, 0);
    EXPECT_EQ(kel::pool16_totals_get().handed_out, 0);
}

TEST(Pool, ChunksChangeOverWithoutLosingBlocks)
{
    // More than one 256 KiB chunk of 1000-byte blocks, all distinct and intact.
    std::vector<char *> blocks;
    for (int i = 0; i < 600; i++) {
        auto *p = static_cast<char *>(getbytes(1000));
        ASSERT_NE(p, nullptr);
        std::memset(p, i & 0xFF, 1000);
        blocks.push_back(p);
    }
    for (int i = 0; i < 600; i++) {
        EXPECT_EQ(static_cast<unsigned char>(blocks[i][0]), i & 0xFF);
        EXPECT_EQ(static_cast<unsigned char>(blocks[i][999]), i & 0xFF);
    }
    kel::test::console_capture console;
    kel::g_developer = true;
    for (int i = 0; i < 300; i++) blocks.push_back(static_cast<char *>(getbytes(1000)));
    kel::g_developer = false;
    ASSERT_FALSE(console.lines().empty());
    EXPECT_EQ(console.lines()[0].rfind("ate new alloc ", 0), 0u) << console.lines()[0];
    for (char *p : blocks) freebytes(p, 1000);
}

TEST(Pool, ExhaustionAnswersNullAndRaisesTheFlag)
{
    kel::memory_set_low(false);
    {
        kel::test::memory_exhausted exhausted;
        EXPECT_EQ(getbytes(4000), nullptr);
        EXPECT_TRUE(kel::memory_is_low());
        EXPECT_EQ(g_kel_memislow, 1);
        void *large = getbytes(20000);  // from the system, which refuses too
        EXPECT_EQ(large, nullptr);
    }
    EXPECT_FALSE(kel::memory_is_low());
    kel::pool_replenish();
    void *again = getbytes(4000);
    EXPECT_NE(again, nullptr);
    freebytes(again, 4000);
}

TEST(Pool, HoldsOnlyWhatItHandedOut)
{
    void *small = getbytes(40);
    void *large = getbytes(20000);
    void *heap = sysmem_newptr(40);
    EXPECT_TRUE(kel::pool_holds(small, 40));
    EXPECT_TRUE(kel::pool_holds(large, 20000));  // a size the pool takes from the heap
    EXPECT_FALSE(kel::pool_holds(heap, 40));
    freebytes(small, 40);
    freebytes(large, 20000);
    sysmem_freeptr(heap);
}

// What fails under the per-request countdown: one request of each kind per
// round, in this order.
TEST(FaultInjection, TheNthRequestFailsAloneOrWithEveryLaterOne)
{
    auto round = [] {
        std::string failed;
        void *small = getbytes(24);
        void *large = getbytes(20000);
        void *heap = sysmem_newptr(24);
        kel_handle h = sysmem_newhandle(8);
        long resized = h ? sysmem_resizehandle(h, 64) : -1;
        int *from_new = new (std::nothrow) int(7);
        failed += small ? '-' : 's';
        failed += large ? '-' : 'l';
        failed += heap ? '-' : 'p';
        failed += h ? '-' : 'h';
        failed += resized == 0 ? '-' : 'r';
        failed += from_new ? '-' : 'n';
        freebytes(small, 24);
        freebytes(large, 20000);
        sysmem_freeptr(heap);
        if (h) sysmem_freehandle(h);
        delete from_new;
        return failed;
    };
    const struct {
        long nth;
        bool and_later;
        const char *failed;
        long counted;
    } cases[] = {
        {0, false, "------", 6}, {1, false, "s-----", 6}, {3, false, "--p---", 6}, {6, false, "-----n", 6},
        {2, true, "-lphrn", 5},  {4, true, "---hrn", 5},  {7, true, "------", 6},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.nth << (c.and_later ? " and later" : " alone"));
        kel::memory_set_low(false);
        kel::memory_fail_request(c.nth, c.and_later);
        const std::string failed = round();
        kel::memory_fail_request(-1, false);
        EXPECT_EQ(failed, c.failed);
        EXPECT_EQ(kel::memory_requests_counted(), c.counted);
        // An exhausted pool raises the flag; the heap only answers null.
        EXPECT_EQ(kel::memory_is_low(), failed[0] == 's');
        EXPECT_EQ(round(), "------") << "off again";
    }
    kel::memory_set_low(false);

    // A standard container's allocation throws; another thread is not counted.
    std::atomic<int> step{0};
    void *elsewhere = nullptr;
    std::thread other([&] {
        while (step.load() == 0) std::this_thread::yield();
        elsewhere = getbytes(24);
        step = 2;
    });
    kel::memory_fail_request(1, true);
    step = 1;
    while (step.load() != 2) std::this_thread::yield();
    EXPECT_THROW(std::vector<int>(100), std::bad_alloc);
    kel::memory_fail_request(-1, false);
    other.join();
    EXPECT_NE(elsewhere, nullptr);
    freebytes(elsewhere, 24);
}

TEST(Sysmem, HeapPointers)
{
    auto *p = static_cast<char *>(sysmem_newptrclear(10));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 10; i++) EXPECT_EQ(p[i], 0);
    EXPECT_GE(sysmem_ptrsize(p), 10);
    std::memcpy(p, "0123456789", 10);
    p = static_cast<char *>(sysmem_resizeptrclear(p, 100));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::memcmp(p, "0123456789", 10), 0);
    for (long i = 10; i < 100; i++) ASSERT_EQ(p[i], 0) << i;
    sysmem_copyptr(p, p + 2, 8);  // overlapping, source first
    EXPECT_EQ(std::memcmp(p, "0101234567", 10), 0);
    sysmem_freeptr(p);
    EXPECT_EQ(sysmem_ptrsize(nullptr), 0);
    EXPECT_EQ(sysmem_newptr(-1), nullptr);
}

TEST(Sysmem, HandlesGrowKeepContentsAndReportLocking)
{
    kel_handle h = sysmem_newhandle(4);
    ASSERT_NE(h, nullptr);
    std::memcpy(*h, "abcd", 4);
    EXPECT_EQ(sysmem_handlesize(h), 4);
    EXPECT_EQ(sysmem_ptrandhand("efgh", h, 4), 0);
    EXPECT_EQ(sysmem_handlesize(h), 8);
    EXPECT_EQ(std::memcmp(*h, "abcdefgh", 8), 0);
    EXPECT_EQ(sysmem_ptrandhand(nullptr, h, 4), -1);
    EXPECT_EQ(sysmem_ptrandhand("x", nullptr, 1), -1);
    EXPECT_EQ(sysmem_ptrandhand("x", h, 0), -1);

    EXPECT_EQ(sysmem_lockhandle(h, 1), 0);  // was unlocked
    EXPECT_NE(sysmem_lockhandle(h, 1), 0);  // was locked
    char *data = *h;
    EXPECT_NE(sysmem_resizehandle(h, 1 << 20), 0);  // a locked handle cannot move
    EXPECT_EQ(*h, data);
    EXPECT_EQ(std::memcmp(*h, "abcdefgh", 8), 0);
    EXPECT_NE(sysmem_lockhandle(h, 0), 0);
    EXPECT_EQ(sysmem_resizehandle(h, 1 << 20), 0);
    EXPECT_EQ(std::memcmp(*h, "abcdefgh", 8), 0);
    EXPECT_EQ(sysmem_resizehandle(h, 2), 0);
    EXPECT_EQ(sysmem_handlesize(h), 2);
    sysmem_freehandle(h);

    kel_handle cleared = sysmem_newhandleclear(16);
    for (int i = 0; i < 16; i++) EXPECT_EQ((*cleared)[i], 0);
    sysmem_freehandle(cleared);
    EXPECT_EQ(sysmem_lockhandle(nullptr, 1), 0);
}

}  // namespace
