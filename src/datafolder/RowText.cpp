#include "datafolder/RowText.h"

#include <cstdio>

#include "datafolder/Store.h"

std::size_t FormatSizeText(std::uint32_t size, char (&text)[kSizeTextSize]) {
    const int length =
        std::snprintf(text, sizeof text, "%d bytes", static_cast<std::int32_t>(size));
    return length > 0 ? static_cast<std::size_t>(length) : 0;
}

namespace {

constexpr std::uint64_t kTicksPerSecond = 10000000;
constexpr std::int64_t kSecondsPerDay = 86400;
// Days from 1601-01-01, where a FILETIME starts, to 0000-03-01, where the calendar
// arithmetic below starts its years (so that a leap day is always a year's last day).
constexpr std::int64_t kDaysFrom0000March1To1601 = 584694;

struct CivilDate {
    std::int64_t year;
    int month;
    int day;
};

// Days since 0000-03-01 to a Gregorian date, by 400-year eras of 146,097 days.
CivilDate CivilFromDays(std::int64_t days) {
    const std::int64_t era = days / 146097;
    const std::int64_t dayOfEra = days - era * 146097;
    const std::int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t monthFromMarch = (5 * dayOfYear + 2) / 153;
    const int day = static_cast<int>(dayOfYear - (153 * monthFromMarch + 2) / 5 + 1);
    const int month =
        static_cast<int>(monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9);
    return {era * 400 + yearOfEra + (month <= 2 ? 1 : 0), month, day};
}

}  // namespace

std::size_t FormatUtcTimeText(std::uint64_t fileTime, char (&text)[kUtcTimeTextSize]) {
    const auto seconds = static_cast<std::int64_t>(fileTime / kTicksPerSecond);
    const std::int64_t secondOfDay = seconds % kSecondsPerDay;
    // A FILETIME reaches the year 60056 at most, so the year fits an int.
    const CivilDate date = CivilFromDays(seconds / kSecondsPerDay + kDaysFrom0000March1To1601);
    const int length = std::snprintf(
        text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", static_cast<int>(date.year), date.month,
        date.day, static_cast<int>(secondOfDay / 3600), static_cast<int>(secondOfDay / 60 % 60),
        static_cast<int>(secondOfDay % 60));
    return length > 0 ? static_cast<std::size_t>(length) : 0;
}

void AppendTextRow(std::string& out, const FileRecord& record) {
    char time[kUtcTimeTextSize];
    char size[kSizeTextSize];
    out.append(time, FormatUtcTimeText(record.lastWrite, time)) += '\t';
    out.append(SerialFromDirectoryName(record.serial)) += '\t';
    out.append(record.fileName) += '\t';
    out.append(size, FormatSizeText(record.size, size)) += '\n';
}
