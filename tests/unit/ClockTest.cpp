#include <gtest/gtest.h>

#include "platform/Clock.h"

namespace {

struct CalendarCase {
    std::int64_t seconds;
    platform::CalendarTime expected;
};

TEST(UtcCalendar, BreaksSecondsDownAcrossLeapYearsCenturiesAndEpoch) {
    const CalendarCase cases[] = {
        {0, {1970, 1, 1, 0, 0, 0}},
        {-1, {1969, 12, 31, 23, 59, 59}},
        {951825600, {2000, 2, 29, 12, 0, 0}},
        {1709251199, {2024, 2, 29, 23, 59, 59}},
        {1765680857, {2025, 12, 14, 2, 54, 17}},
        {2147483648, {2038, 1, 19, 3, 14, 8}},
        {4102444799, {2099, 12, 31, 23, 59, 59}},
        {4102444800, {2100, 1, 1, 0, 0, 0}},
        {4107542400, {2100, 3, 1, 0, 0, 0}},  // 2100 is no leap year: no 29 February
    };
    for (const auto& c : cases) {
        const platform::CalendarTime t = platform::UtcCalendar(c.seconds);
        EXPECT_EQ(t.year, c.expected.year) << c.seconds;
        EXPECT_EQ(t.month, c.expected.month) << c.seconds;
        EXPECT_EQ(t.day, c.expected.day) << c.seconds;
        EXPECT_EQ(t.hour, c.expected.hour) << c.seconds;
        EXPECT_EQ(t.minute, c.expected.minute) << c.seconds;
        EXPECT_EQ(t.second, c.expected.second) << c.seconds;
    }
}

}  // namespace
