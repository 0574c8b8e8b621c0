// Dates since 1904 and ticks.
#include "platform/datetime.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <string>

namespace kel::toolbox {
namespace {

bool same_date(const DateTimeRec &a, const DateTimeRec &b)
{
    return a.year == b.year && a.month == b.month && a.day == b.day && a.hour == b.hour && a.minute == b.minute &&
           a.second == b.second && a.dayOfWeek == b.dayOfWeek;
}

std::string text(const DateTimeRec &d)
{
    return std::to_string(d.year) + '-' + std::to_string(d.month) + '-' + std::to_string(d.day) + ' ' +
           std::to_string(d.hour) + ':' + std::to_string(d.minute) + ':' + std::to_string(d.second) + " day " +
           std::to_string(d.dayOfWeek);
}

TEST(DateTime, KnownDatesConvertBothWays)
{
    struct Case {
        unsigned long secs;
        DateTimeRec date;
    };
    // dayOfWeek: 1 Sunday .. 7 Saturday.
    const Case cases[] = {
        {0, {1904, 1, 1, 0, 0, 0, 6}},
        {5097600, {1904, 2, 29, 0, 0, 0, 2}},       // the first leap day after the epoch
        {31622399, {1904, 12, 31, 23, 59, 59, 7}},  // 1904 has 366 days
        {2082844800, {1970, 1, 1, 0, 0, 0, 5}},
        {3029529600, {2000, 1, 1, 0, 0, 0, 7}},
        {3034627200, {2000, 2, 29, 0, 0, 0, 3}},  // 2000 is a leap year (divisible by 400)
        {3792054896, {2024, 2, 29, 12, 34, 56, 5}},
        {3879705600, {2026, 12, 10, 0, 0, 0, 5}},
        {4294967295, {2040, 2, 6, 6, 28, 15, 2}},  // the last second of a 32-bit count
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.secs);
        DateTimeRec d{};
        SecondsToDate(c.secs, &d);
        EXPECT_TRUE(same_date(d, c.date)) << text(d) << " expected " << text(c.date);
        unsigned long secs = 1;
        DateToSeconds(&c.date, &secs);
        EXPECT_EQ(secs, c.secs);
    }
}

TEST(DateTime, DatesPast2040WhereUnsignedLongIsWide)
{
    if (sizeof(unsigned long) < 8) GTEST_SKIP() << "unsigned long holds 32 bits here";
    DateTimeRec d{};
    SecondsToDate(6190387200UL, &d);  // 2100 is not a leap year
    EXPECT_TRUE(same_date(d, {2100, 3, 1, 0, 0, 0, 2})) << text(d);
}

// Every day from 1904 to 2040 follows the one before it: the calendar
// fields advance by one day and the weekday cycles.
TEST(DateTime, EveryDayFollowsThePrevious)
{
    const int days_in_month[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    DateTimeRec expected{1904, 1, 1, 12, 30, 15, 6};
    for (unsigned long secs = 12 * 3600 + 30 * 60 + 15; secs < 4294967295UL; secs += 86400) {
        DateTimeRec d{};
        SecondsToDate(secs, &d);
        ASSERT_TRUE(same_date(d, expected)) << text(d) << " expected " << text(expected);
        unsigned long back = 0;
        DateToSeconds(&d, &back);
        ASSERT_EQ(back, secs) << text(d);

        const bool leap = expected.year % 4 == 0 && (expected.year % 100 != 0 || expected.year % 400 == 0);
        const int month_length = days_in_month[expected.month - 1] + (expected.month == 2 && leap);
        if (++expected.day > month_length) {
            expected.day = 1;
            if (++expected.month > 12) {
                expected.month = 1;
                ++expected.year;
            }
        }
        expected.dayOfWeek = static_cast<short>(expected.dayOfWeek % 7 + 1);
    }
    EXPECT_EQ(expected.year, 2040);
}

TEST(DateTime, OutOfRangeFieldsCarryLikeMktime)
{
    struct Case {
        const char *what;
        DateTimeRec date;  // dayOfWeek is ignored
        unsigned long secs;
    };
    const Case cases[] = {
        {"month 13", {1999, 13, 1, 0, 0, 0, 0}, 3029529600},            // 2000-01-01
        {"month 0", {2000, 0, 1, 0, 0, 0, 0}, 3026851200},              // 1999-12-01
        {"month -11", {2000, -11, 1, 0, 0, 0, 0}, 2997993600},          // 1999-01-01
        {"month 25", {1998, 25, 1, 0, 0, 0, 0}, 3029529600},            // 2000-01-01
        {"day 0", {2000, 3, 0, 0, 0, 0, 0}, 3034627200},                // 2000-02-29
        {"day 30 of February", {2001, 2, 30, 0, 0, 0, 0}, 3066336000},  // 2001-03-02
        {"day 32", {1999, 12, 32, 0, 0, 0, 0}, 3029529600},             // 2000-01-01
        {"hour 24", {1999, 12, 31, 24, 0, 0, 0}, 3029529600},
        {"hour -1", {2000, 1, 2, -1, 0, 0, 0}, 3029529600 + 23 * 3600},
        {"minute 60", {1999, 12, 31, 23, 60, 0, 0}, 3029529600},
        {"second -1", {2000, 1, 1, 0, 0, -1, 0}, 3029529599},
        {"seconds of a day", {1999, 12, 31, 0, 0, 32767, 0}, 3029529600 - 86400 + 32767},
        {"before the epoch", {1903, 12, 31, 23, 59, 59, 0}, 0},
        {"epoch reached by carrying", {1903, 12, 31, 23, 59, 60, 0}, 0},
        {"one second after, by carrying", {1903, 12, 31, 23, 59, 61, 0}, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        unsigned long secs = 12345;
        DateToSeconds(&c.date, &secs);
        EXPECT_EQ(secs, c.secs);
    }
}

TEST(DateTime, GetDateTimeIsLocalTimeNow)
{
    const std::time_t before = std::time(nullptr);
    unsigned long secs = 0;
    GetDateTime(&secs);
    const std::time_t after = std::time(nullptr);

    // The same instant computed another way: UTC seconds plus the local offset.
    std::tm local{};
    localtime_r(&before, &local);
    const long long expected = static_cast<long long>(before) + local.tm_gmtoff + 2082844800LL;
    EXPECT_GE(static_cast<long long>(secs), expected);
    EXPECT_LE(static_cast<long long>(secs), expected + (after - before) + 1);

    DateTimeRec d{};
    SecondsToDate(secs, &d);
    EXPECT_EQ(d.year, local.tm_year + 1900);
    EXPECT_EQ(d.dayOfWeek, local.tm_wday + 1);
}

TEST(DateTime, TickCountIsSixtiethsOfTheSteadyClock)
{
    const auto start = std::chrono::steady_clock::now();
    unsigned long previous = TickCount();
    const unsigned long first = previous;
    // Watch it advance (at most a sixtieth of a second); it never goes back.
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(2)) {
        const unsigned long now = TickCount();
        ASSERT_GE(now, previous);
        previous = now;
        if (now >= first + 2) break;
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_GE(previous, first + 2) << "TickCount did not advance";
    // Two ticks took at least one full tick of the steady clock.
    EXPECT_GE(elapsed, std::chrono::microseconds(1000000 / 60));
}

}  // namespace
}  // namespace kel::toolbox
