// Relocatable handles: sizes, resizing, locking, errors.
#include "platform/handles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define KEL_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KEL_TEST_ASAN 1
#endif
#endif

namespace kel::toolbox {
namespace {

// Fills h with a pattern that differs from byte to byte.
void fill_pattern(Handle h)
{
    const long n = GetHandleSize(h);
    for (long i = 0; i < n; ++i) (*h)[i] = static_cast<char>(i * 7 + 3);
}

// True when the first n bytes of h still hold fill_pattern's pattern.
bool has_pattern(Handle h, long n)
{
    for (long i = 0; i < n; ++i)
        if ((*h)[i] != static_cast<char>(i * 7 + 3)) return false;
    return true;
}

TEST(Handles, NewHandleGivesTheSizeAskedUnlocked)
{
    for (long size : {0L, 1L, 7L, 4096L, 1L << 20}) {
        SCOPED_TRACE(size);
        for (auto make : {NewHandle, NewHandleClear}) {
            Handle h = make(size);
            ASSERT_NE(h, nullptr);
            EXPECT_EQ(MemError(), noErr);
            EXPECT_NE(*h, nullptr) << "even an empty handle has a block";
            EXPECT_EQ(GetHandleSize(h), size);
            EXPECT_EQ(HGetState(h), 0);
            EXPECT_FALSE(HIsLocked(h));
            DisposeHandle(h);
            EXPECT_EQ(MemError(), noErr);
        }
    }
}

TEST(Handles, NewHandleRefusesImpossibleSizes)
{
    struct Case {
        long size;
        short error;
    };
    for (Case c : {Case{-1, paramErr}, Case{-4096, paramErr}, Case{kMaxHandleSize + 1, memFullErr}}) {
        SCOPED_TRACE(c.size);
        EXPECT_EQ(NewHandle(c.size), nullptr);
        EXPECT_EQ(MemError(), c.error);
        EXPECT_EQ(NewHandleClear(c.size), nullptr);
        EXPECT_EQ(MemError(), c.error);
    }
}

TEST(Handles, NewHandleClearZeroesEvenReusedMemory)
{
    for (long size : {1L, 100L, 65536L}) {
        SCOPED_TRACE(size);
        // Leave dirty blocks of this size behind for the allocator to reuse.
        for (int i = 0; i < 4; ++i) {
            Handle dirty = NewHandle(size);
            ASSERT_NE(dirty, nullptr);
            std::memset(*dirty, 0xA5, static_cast<size_t>(size));
            DisposeHandle(dirty);
        }
        Handle h = NewHandleClear(size);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(std::string(*h, static_cast<size_t>(size)), std::string(static_cast<size_t>(size), '\0'));
        DisposeHandle(h);
    }
}

TEST(Handles, ResizeKeepsTheContentsUpToTheSmallerSize)
{
    struct Case {
        long from, to;
    };
    const Case cases[] = {
        {16, 32}, {16, 8}, {16, 0}, {0, 16}, {16, 16}, {1, 1 << 20}, {1 << 20, 3}, {100, 101},
    };
    for (bool locked_during_fill : {false, true}) {
        for (Case c : cases) {
            SCOPED_TRACE(testing::Message() << c.from << " -> " << c.to);
            Handle h = NewHandle(c.from);
            ASSERT_NE(h, nullptr);
            if (locked_during_fill) HLock(h);
            fill_pattern(h);
            if (locked_during_fill) HUnlock(h);
            SetHandleSize(h, c.to);
            EXPECT_EQ(MemError(), noErr);
            EXPECT_EQ(GetHandleSize(h), c.to);
            EXPECT_TRUE(has_pattern(h, c.from < c.to ? c.from : c.to));
            // The new tail is usable memory.
            if (c.to > c.from) std::memset(*h + c.from, 0, static_cast<size_t>(c.to - c.from));
            DisposeHandle(h);
        }
    }
}

TEST(Handles, LockedHandleNeverMoves)
{
    struct Case {
        long from;
        std::vector<long> sizes;  // resized to each in turn while locked
        std::vector<short> errors;
        std::vector<long> sizes_after;
    };
    const Case cases[] = {
        {64, {128}, {memLockedErr}, {64}},
        {64, {65}, {memLockedErr}, {64}},
        {64, {32}, {noErr}, {32}},
        {64, {0}, {noErr}, {0}},
        // Having shrunk in place, it may grow back within its block, not beyond.
        {64, {16, 64, 65}, {noErr, noErr, memLockedErr}, {16, 64, 64}},
        {0, {1}, {memLockedErr}, {0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.from);
        Handle h = NewHandle(c.from);
        ASSERT_NE(h, nullptr);
        fill_pattern(h);
        HLock(h);
        char *const block = *h;
        long smallest = c.from;
        for (std::size_t i = 0; i < c.sizes.size(); ++i) {
            SCOPED_TRACE(c.sizes[i]);
            SetHandleSize(h, c.sizes[i]);
            EXPECT_EQ(MemError(), c.errors[i]);
            EXPECT_EQ(GetHandleSize(h), c.sizes_after[i]);
            EXPECT_EQ(*h, block) << "a locked handle moved";
            smallest = std::min(smallest, c.sizes_after[i]);
            EXPECT_TRUE(has_pattern(h, smallest));
        }
        EXPECT_TRUE(HIsLocked(h)) << "a failed resize unlocked the handle";
        HUnlock(h);
        DisposeHandle(h);
    }
}

TEST(Handles, UnlockedAfterLockedGrowthFailsTheGrowthSucceeds)
{
    Handle h = NewHandle(10);
    fill_pattern(h);
    HLock(h);
    SetHandleSize(h, 1000);
    EXPECT_EQ(MemError(), memLockedErr);
    HUnlock(h);
    SetHandleSize(h, 1000);
    EXPECT_EQ(MemError(), noErr);
    EXPECT_EQ(GetHandleSize(h), 1000);
    EXPECT_TRUE(has_pattern(h, 10));
    DisposeHandle(h);
}

TEST(Handles, SavedStateIsRestoredExactly)
{
    const signed char states[] = {
        0,
        kHandleLocked,
        kHandlePurgeable,
        static_cast<signed char>(kHandleLocked | kHandlePurgeable),
    };
    for (signed char initial : states) {
        SCOPED_TRACE(static_cast<int>(initial));
        Handle h = NewHandle(8);
        HSetState(h, initial);
        EXPECT_EQ(MemError(), noErr);
        EXPECT_EQ(HGetState(h), initial);
        EXPECT_EQ(HIsLocked(h), (initial & kHandleLocked) != 0);

        // A function that locks for its own work and leaves h as it found it.
        const signed char saved = HGetState(h);
        HLock(h);
        EXPECT_TRUE(HIsLocked(h));
        EXPECT_EQ(HGetState(h) & ~kHandleLocked, initial & ~kHandleLocked) << "locking touched other bits";
        HSetState(h, saved);

        EXPECT_EQ(HGetState(h), initial);
        HUnlock(h);
        DisposeHandle(h);
    }
}

TEST(Handles, NullHandleIsReportedByEveryCall)
{
    struct Case {
        const char *call;
        std::function<void()> run;
        short error;
    };
    const Case cases[] = {
        {"SetHandleSize", [] { SetHandleSize(nullptr, 10); }, nilHandleErr},
        {"GetHandleSize", [] { EXPECT_EQ(GetHandleSize(nullptr), 0); }, nilHandleErr},
        {"HLock", [] { HLock(nullptr); }, nilHandleErr},
        {"HUnlock", [] { HUnlock(nullptr); }, nilHandleErr},
        {"HGetState", [] { EXPECT_EQ(HGetState(nullptr), 0); }, nilHandleErr},
        {"HSetState", [] { HSetState(nullptr, kHandleLocked); }, nilHandleErr},
        {"HIsLocked", [] { EXPECT_FALSE(HIsLocked(nullptr)); }, nilHandleErr},
        {"PtrAndHand", [] { EXPECT_EQ(PtrAndHand("x", nullptr, 1), nilHandleErr); }, nilHandleErr},
        {"DisposeHandle", [] { DisposeHandle(nullptr); }, noErr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.call);
        Handle ok = NewHandle(1);  // leaves MemError at noErr
        c.run();
        EXPECT_EQ(MemError(), c.error);
        DisposeHandle(ok);
    }
}

TEST(Handles, ExhaustedMemoryLeavesTheHandleIntact)
{
    Handle h = NewHandle(32);
    fill_pattern(h);

    handles_fail_nth_alloc(1);
    SetHandleSize(h, 4096);
    EXPECT_EQ(MemError(), memFullErr);
    EXPECT_EQ(GetHandleSize(h), 32);
    EXPECT_TRUE(has_pattern(h, 32));

    // Shrinking allocates nothing, so it cannot run out of memory.
    handles_fail_nth_alloc(1);
    SetHandleSize(h, 16);
    EXPECT_EQ(MemError(), noErr);
    handles_fail_nth_alloc(0);

    handles_fail_nth_alloc(2);
    Handle first = NewHandle(8);
    Handle second = NewHandle(8);
    Handle third = NewHandle(8);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr) << "the failure happens once";
    DisposeHandle(first);
    DisposeHandle(third);

    handles_fail_nth_alloc(1);
    EXPECT_EQ(PtrAndHand("abc", h, 3), memFullErr);
    EXPECT_EQ(GetHandleSize(h), 16);
    DisposeHandle(h);
}

TEST(Handles, PtrAndHandAppends)
{
    Handle h = NewHandle(0);
    EXPECT_EQ(PtrAndHand("abc", h, 3), noErr);
    EXPECT_EQ(PtrAndHand("", h, 0), noErr);
    EXPECT_EQ(PtrAndHand("de", h, 2), noErr);
    EXPECT_EQ(std::string(*h, static_cast<size_t>(GetHandleSize(h))), "abcde");

    // Appending part of itself works although the growth may move the block.
    for (int i = 0; i < 8; ++i) ASSERT_EQ(PtrAndHand(*h + 1, h, 2), noErr);
    EXPECT_EQ(std::string(*h, static_cast<size_t>(GetHandleSize(h))), "abcdebcbcbcbcbcbcbcbc");

    EXPECT_EQ(PtrAndHand(nullptr, h, 1), paramErr);
    EXPECT_EQ(PtrAndHand("x", h, -1), paramErr);
    HLock(h);
    EXPECT_EQ(PtrAndHand("x", h, 1), memLockedErr);
    HUnlock(h);
    DisposeHandle(h);
}

TEST(Handles, MemErrorBelongsToEachThread)
{
    GetHandleSize(nullptr);
    ASSERT_EQ(MemError(), nilHandleErr);
    short seen_by_other = 1;
    std::thread([&] { seen_by_other = MemError(); }).join();
    EXPECT_EQ(seen_by_other, noErr);
    EXPECT_EQ(MemError(), nilHandleErr);
}

#ifdef KEL_TEST_ASAN
// Under AddressSanitizer a pointer into a handle kept across a resize is
// caught at once, and so is a read past the end of a locked, shrunk handle.
TEST(HandlesDeathTest, StaleDataPointersAreCaught)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            Handle h = NewHandle(16);
            char *stale = *h;
            SetHandleSize(h, 8);  // even a shrink moves an unlocked handle here
            volatile char c = stale[0];
            (void)c;
        },
        "use-after-free");
    EXPECT_DEATH(
        {
            Handle h = NewHandle(16);
            HLock(h);
            SetHandleSize(h, 8);
            volatile char c = (*h)[12];
            (void)c;
        },
        "use-after-poison");
}
#endif

}  // namespace
}  // namespace kel::toolbox
