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

// Breaks seconds since 1970 down into UTC calendar fields, for the years 0 to 9999 (the
// calendar's own range ends at 32767). Pure arithmetic, so it behaves the same on every platform
// and for every year, 2100 included.
CalendarTime UtcCalendar(std::int64_t utcSeconds);
// The inverse: seconds since 1970 of a UTC date and time. A day beyond its month's last counts
// on into the next month.
std::int64_t UtcSecondsOf(const CalendarTime& time);
// Seconds since 1970 of a last-write time as DirectoryEntry::lastWrite gives it (100-ns
// intervals since 1601-01-01 UTC, a Windows FILETIME), the fraction dropped.
inline std::int64_t UtcSecondsOfFileTime(std::uint64_t fileTime) {
    return static_cast<std::int64_t>(fileTime / 10000000u) - 11644473600;
}
// The last second UtcCalendar is meant for: 9999-12-31 23:59:59 UTC.
inline constexpr std::int64_t kLastCalendarSecond = 253402300799;

// The same instant as local wall-clock seconds counted as if the local clock were UTC: the UTC
// count plus the offset (time zone and daylight saving) in force at that instant.
std::int64_t LocalWallSeconds(std::int64_t utcSeconds);

}  // namespace platform
