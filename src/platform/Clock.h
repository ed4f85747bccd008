#pragma once

#include <cstdint>

namespace platform {

// Calendar fields of one instant, as people read them: full year, month 1-12, day 1-31.
struct CalendarTime {
    int year;
    int month;
    int day;
    int hour;
    int minute;
    int second;
};

// Source of the current time. Workers read it through this interface so that tests can pin the
// moment a file is named.
class Clock {
public:
    virtual ~Clock() = default;
    // Seconds since 1970-01-01 00:00:00 UTC.
    virtual std::int64_t UtcSeconds() const = 0;
};

const Clock& SystemClock();

// Breaks seconds since 1970 down into UTC calendar fields. Pure arithmetic, so it behaves the
// same on every platform and for every year, 2100 included.
CalendarTime UtcCalendar(std::int64_t utcSeconds);

// The same instant as local wall-clock seconds counted as if the local clock were UTC: the UTC
// count plus the offset (time zone and daylight saving) in force at that instant.
std::int64_t LocalWallSeconds(std::int64_t utcSeconds);

}  // namespace platform
