#include "platform/Clock.h"

#include <chrono>

namespace platform {

// The one place where instants become calendar dates and back: the standard library's proleptic
// Gregorian calendar, the same on every platform and for every year, 2100 included.

CalendarTime UtcCalendar(std::int64_t utcSeconds) {
    using namespace std::chrono;
    const sys_seconds instant{seconds{utcSeconds}};
    // floor, not a cast: an instant before 1970 still belongs to the day it falls in.
    const sys_days day = floor<days>(instant);
    const year_month_day date{day};
    const hh_mm_ss<seconds> time{instant - day};
    return CalendarTime{
        int(date.year()),          int(unsigned(date.month())), int(unsigned(date.day())),
        int(time.hours().count()), int(time.minutes().count()), int(time.seconds().count())};
}

std::int64_t UtcSecondsOf(const CalendarTime& time) {
    using namespace std::chrono;
    const sys_days day{year{time.year} / month{unsigned(time.month)} /
                       std::chrono::day{unsigned(time.day)}};
    return day.time_since_epoch().count() * std::int64_t{86400} + time.hour * 3600 +
           time.minute * 60 + time.second;
}

}  // namespace platform
