// Dates and ticks: calendar arithmetic on days counted from 1904-01-01.
#include "platform/datetime.h"

#include <chrono>
#include <cstdint>
#include <ctime>

namespace kel::toolbox {

namespace {

constexpr std::int64_t kSecondsPerDay = 86400;
// 1904-01-01 is a Friday: dayOfWeek 6 when Sunday is 1.
constexpr std::int64_t kEpochDayOfWeek = 6;

std::chrono::steady_clock::time_point start_time()
{
    static const std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    return start;
}

// Takes the start time when the program is loaded, unless a static
// initialiser elsewhere asked for the ticks even earlier.
[[maybe_unused]] const std::chrono::steady_clock::time_point g_start_taken = start_time();

std::int64_t floor_div(std::int64_t a, std::int64_t b)
{
    std::int64_t q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// Days from 1904-01-01 to year-month-day (month 1..12), for any year.
// Counts in 400-year eras of the Gregorian calendar, with years starting in
// March so that the leap day falls at the end of a year.
std::int64_t days_from_civil(std::int64_t year, std::int64_t month, std::int64_t day)
{
    year -= month <= 2;
    const std::int64_t era = floor_div(year, 400);
    const std::int64_t year_of_era = year - era * 400;                                          // 0..399
    const std::int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;  // 0..365
    const std::int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    // 0000-03-01 is day 0 of era 0; 1904-01-01 is 695361 days later.
    return era * 146097 + day_of_era - 695361;
}

// The inverse of days_from_civil.
void civil_from_days(std::int64_t days, std::int64_t *year, std::int64_t *month, std::int64_t *day)
{
    days += 695361;
    const std::int64_t era = floor_div(days, 146097);
    const std::int64_t day_of_era = days - era * 146097;  // 0..146096
    const std::int64_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;  // 0..399
    const std::int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const std::int64_t mp = (5 * day_of_year + 2) / 153;  // 0..11, March first
    *day = day_of_year - (153 * mp + 2) / 5 + 1;
    *month = mp < 10 ? mp + 3 : mp - 9;
    *year = year_of_era + era * 400 + (*month <= 2);
}

}  // namespace

unsigned long TickCount()
{
    const auto elapsed = std::chrono::steady_clock::now() - start_time();
    const std::int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count();
    // Split so that ns * 60 cannot overflow.
    const std::int64_t secs = ns / 1000000000, rest = ns % 1000000000;
    return static_cast<unsigned long>(secs * 60 + rest * 60 / 1000000000);
}

void GetDateTime(unsigned long *secs)
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    DateTimeRec d{};
    d.year = static_cast<short>(local.tm_year + 1900);
    d.month = static_cast<short>(local.tm_mon + 1);
    d.day = static_cast<short>(local.tm_mday);
    d.hour = static_cast<short>(local.tm_hour);
    d.minute = static_cast<short>(local.tm_min);
    // A leap second (60) counts as the last second of its minute.
    d.second = static_cast<short>(local.tm_sec > 59 ? 59 : local.tm_sec);
    DateToSeconds(&d, secs);
}

void SecondsToDate(unsigned long secs, DateTimeRec *date)
{
    const auto days = static_cast<std::int64_t>(secs / kSecondsPerDay);
    const auto in_day = static_cast<std::int64_t>(secs % kSecondsPerDay);
    std::int64_t year, month, day;
    civil_from_days(days, &year, &month, &day);
    date->year = static_cast<short>(year);
    date->month = static_cast<short>(month);
    date->day = static_cast<short>(day);
    date->hour = static_cast<short>(in_day / 3600);
    date->minute = static_cast<short>(in_day / 60 % 60);
    date->second = static_cast<short>(in_day % 60);
    date->dayOfWeek = static_cast<short>((days + kEpochDayOfWeek - 1) % 7 + 1);
}

void DateToSeconds(const DateTimeRec *date, unsigned long *secs)
{
    // Months carry into years first, so that the day count sees a real month.
    const std::int64_t month0 = date->month - 1;
    const std::int64_t year = date->year + floor_div(month0, 12);
    const std::int64_t month = month0 - floor_div(month0, 12) * 12 + 1;
    // Days, hours, minutes and seconds carry by plain addition.
    const std::int64_t total = (days_from_civil(year, month, 1) + date->day - 1) * kSecondsPerDay +
                               std::int64_t{date->hour} * 3600 + std::int64_t{date->minute} * 60 + date->second;
    *secs = total < 0 ? 0 : static_cast<unsigned long>(total);
}

}  // namespace kel::toolbox
