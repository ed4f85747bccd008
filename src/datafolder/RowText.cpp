#include "datafolder/RowText.h"

#include <cstdio>

#include "datafolder/Store.h"
#include "platform/Clock.h"

std::size_t FormatSizeText(std::uint32_t size, char (&text)[kSizeTextSize]) {
    const int length =
        std::snprintf(text, sizeof text, "%d bytes", static_cast<std::int32_t>(size));
    return length > 0 ? static_cast<std::size_t>(length) : 0;
}

std::size_t FormatUtcTimeText(std::uint64_t fileTime, char (&text)[kUtcTimeTextSize]) {
    const std::int64_t seconds = platform::UtcSecondsOfFileTime(fileTime);
    // A time no calendar here can show leaves the column empty.
    if (seconds > platform::kLastCalendarSecond) {
        text[0] = '\0';
        return 0;
    }
    const platform::CalendarTime t = platform::UtcCalendar(seconds);
    const int length = std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year,
                                     t.month, t.day, t.hour, t.minute, t.second);
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
