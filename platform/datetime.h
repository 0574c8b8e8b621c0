// Dates and ticks.
//
// Dates are seconds since 1 January 1904 00:00 local time, the epoch of the
// dates stored in the kernel's files. Conversions between seconds and
// calendar fields are pure proleptic-Gregorian arithmetic: the seconds are
// already local, so no time zone or daylight saving rule takes part.
// unsigned long is at least 32 bits; a 32-bit count of seconds ends at
// 2040-02-06 06:28:15, and where unsigned long is wider, later dates convert
// just as well.
//
// Thread-safe.
#ifndef KEL_PLATFORM_DATETIME_H
#define KEL_PLATFORM_DATETIME_H

namespace kel::toolbox {

// Sixtieths of a second since the process started, from the steady clock
// (never goes back, unaffected by changes of the wall clock).
unsigned long TickCount();

// The local time now, as seconds since 1904-01-01 00:00.
void GetDateTime(unsigned long *secs);

struct DateTimeRec {
    short year;       // 1904 ...
    short month;      // 1..12
    short day;        // 1..31
    short hour;       // 0..23
    short minute;     // 0..59
    short second;     // 0..59
    short dayOfWeek;  // 1 = Sunday .. 7 = Saturday
};

void SecondsToDate(unsigned long secs, DateTimeRec *date);

// The inverse of SecondsToDate; dayOfWeek is ignored. Fields out of their
// range carry into the next larger field as mktime does: month 13 is January
// of the next year, day 0 the last day of the previous month, hour -1 the
// last hour of the previous day. Dates before the epoch give 0.
void DateToSeconds(const DateTimeRec *date, unsigned long *secs);

}  // namespace kel::toolbox

#endif  // KEL_PLATFORM_DATETIME_H
