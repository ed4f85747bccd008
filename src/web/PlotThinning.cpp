#include "web/PlotThinning.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>

#include "datafolder/CsvLines.h"
#include "platform/Clock.h"

namespace {

constexpr double kNoValue = std::numeric_limits<double>::quiet_NaN();

std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

// A whole cell as a finite number, or NaN.
double NumberOf(std::string_view cell) {
    cell = Trimmed(cell);
    if (!cell.empty() && cell.front() == '+') {
        cell.remove_prefix(1);
    }
    double value = kNoValue;
    const auto [end, error] = std::from_chars(cell.data(), cell.data() + cell.size(), value);
    if (cell.empty() || error != std::errc() || end != cell.data() + cell.size() ||
        !std::isfinite(value)) {
        return kNoValue;
    }
    return value;
}

bool Digits(std::string_view text, std::size_t at, std::size_t count, int& value) {
    if (at + count > text.size()) {
        return false;
    }
    value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

// Epoch seconds as the first column: 2001-09-09 to 2286, a range no reading of another kind is
// likely to stay within on every line.
bool EpochSeconds(double value) {
    return value >= 1e9 && value < 1e10;
}

}  // namespace

bool ParseTimeMs(std::string_view text, double& ms) {
    text = Trimmed(text);
    int year, month, day, hour, minute, second;
    if (text.size() < 19 || !Digits(text, 0, 4, year) || text[4] != '-' ||
        !Digits(text, 5, 2, month) || text[7] != '-' || !Digits(text, 8, 2, day) ||
        (text[10] != ' ' && text[10] != 'T') || !Digits(text, 11, 2, hour) || text[13] != ':' ||
        !Digits(text, 14, 2, minute) || text[16] != ':' || !Digits(text, 17, 2, second) ||
        month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) {
        return false;
    }
    std::size_t at = 19;
    double fraction = 0;
    if (at < text.size() && text[at] == '.') {
        double scale = 0.1;
        ++at;
        const std::size_t first = at;
        for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at, scale /= 10) {
            fraction += (text[at] - '0') * scale;
        }
        if (at == first) {
            return false;
        }
    }
    if (at < text.size() && text[at] == 'Z') {
        ++at;
    }
    if (at != text.size()) {
        return false;
    }
    const std::int64_t seconds = platform::UtcSecondsOf({year, month, day, hour, minute, second});
    ms = static_cast<double>(seconds) * 1000 + std::round(fraction * 1000);
    return true;
}

namespace {

// One column's extremes within one bucket, kept small: a plot holds one per bucket and column.
struct Extremes {
    static constexpr std::uint32_t kNone = 0xFFFFFFFF;
    double low = 0, high = 0;
    std::uint32_t lowAt = kNone, highAt = kNone;  // line numbers, below kReadBudget

    bool Any() const { return lowAt != kNone; }
    void Add(double value, std::uint32_t line) {
        if (!Any() || value < low) {
            low = value;
            lowAt = line;
        }
        if (highAt == kNone || value > high) {
            high = value;
            highAt = line;
        }
    }
};

// Where a bucket starts and ends on the time axis, by either reading of the first column.
struct BucketTimes {
    double firstText = 0, lastText = 0, firstEpoch = 0, lastEpoch = 0;
};

void AppendRow(std::string& data, const std::vector<double>& row) {
    char number[32];
    data += data.size() > 1 ? ",[" : "[";
    for (std::size_t i = 0; i < row.size(); ++i) {
        if (i > 0) {
            data += ',';
        }
        if (std::isnan(row[i])) {
            data += "null";
        } else {
            const auto written = std::to_chars(number, number + sizeof number, row[i]);
            data.append(number, written.ptr);
        }
    }
    data += ']';
}

}  // namespace

PlotSeries ThinPlot(const LineSource& eachLine, std::size_t points) {
    // Two passes and no copy of the readings: the first counts the lines, so the second knows
    // each line's bucket and keeps only every bucket's extremes, however long the file is.
    PlotSeries plot;
    plot.read = eachLine([](std::string_view) {});
    const std::size_t lines = plot.read.lines;
    if (lines == 0 || plot.read.unreadable) {
        plot.labels.push_back("line");
        return plot;
    }
    if (points < 2) {
        points = 2;
    }
    const std::size_t buckets = lines <= points ? lines : points / 2;
    // [column][bucket]; a column's buckets are made when it first shows a number.
    std::vector<std::vector<Extremes>> columns;
    std::vector<BucketTimes> times(buckets);
    bool timeText = true;
    bool epochSeconds = true;
    std::vector<std::string_view> fields;
    std::size_t line = 0;
    std::size_t bucket = 0;
    std::size_t nextBucketAt = lines / buckets;
    eachLine([&](std::string_view row) {
        // A file that grew since it was counted is plotted as it was.
        if (line >= lines) {
            return;
        }
        while (line == nextBucketAt && bucket + 1 < buckets) {
            ++bucket;
            nextBucketAt = (bucket + 1) * lines / buckets;
        }
        SplitFields(row, fields, kMaxPlotColumns);
        if (columns.size() < fields.size()) {
            columns.resize(fields.size());
        }
        double first = kNoValue;
        for (std::size_t c = 0; c < fields.size(); ++c) {
            const double value = NumberOf(fields[c]);
            if (c == 0) {
                first = value;
            }
            if (!std::isnan(value)) {
                if (columns[c].empty()) {
                    columns[c].resize(buckets);
                }
                columns[c][bucket].Add(value, static_cast<std::uint32_t>(line));
            }
        }
        double ms = 0;
        timeText = timeText && ParseTimeMs(fields[0], ms);
        epochSeconds = epochSeconds && EpochSeconds(first);
        BucketTimes& at = times[bucket];
        if (line == bucket * lines / buckets) {
            at.firstText = ms;
            at.firstEpoch = first * 1000;
        }
        at.lastText = ms;
        at.lastEpoch = first * 1000;
        ++line;
    });

    plot.timeAxis = timeText || epochSeconds;
    plot.labels.push_back(plot.timeAxis ? "time" : "line");
    std::vector<const std::vector<Extremes>*> series;
    for (std::size_t c = plot.timeAxis ? 1 : 0; c < columns.size(); ++c) {
        if (!columns[c].empty()) {
            series.push_back(&columns[c]);
            plot.labels.push_back("col" + std::to_string(c + 1));
        }
    }
    plot.data.assign(1, '[');
    std::vector<double> early, late;
    for (std::size_t b = 0; b < buckets; ++b) {
        const std::size_t first = b * lines / buckets;
        const std::size_t last = (b + 1) * lines / buckets - 1;
        const BucketTimes& at = times[b];
        early.assign(1, !plot.timeAxis ? double(first + 1)
                        : timeText     ? at.firstText
                                       : at.firstEpoch);
        late.assign(1, !plot.timeAxis ? double(last + 1) : timeText ? at.lastText : at.lastEpoch);
        for (const auto* column : series) {
            const Extremes& e = (*column)[b];
            // Each extreme on the row nearer its own line, so the curve keeps its order.
            if (!e.Any()) {
                early.push_back(kNoValue);
                late.push_back(kNoValue);
            } else if (e.lowAt == e.highAt) {
                early.push_back(e.low);
                late.push_back(kNoValue);
            } else {
                early.push_back(e.lowAt < e.highAt ? e.low : e.high);
                late.push_back(e.lowAt < e.highAt ? e.high : e.low);
            }
        }
        if (first == last) {
            AppendRow(plot.data, early);
            continue;
        }
        if (late[0] < early[0]) {
            std::swap(early, late);
        }
        AppendRow(plot.data, early);
        AppendRow(plot.data, late);
    }
    plot.data += ']';
    return plot;
}
