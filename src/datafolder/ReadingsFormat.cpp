#include "datafolder/ReadingsFormat.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>

#include "datafolder/CsvLines.h"

namespace {

constexpr double kNoValue = std::numeric_limits<double>::quiet_NaN();

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

int DaysIn(int year, int month) {
    static constexpr std::array<int, 12> kDays = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[static_cast<std::size_t>(month - 1)];
}

// Epoch times a reading of another kind is unlikely to stay within on every line: seconds from
// 2001-09-09 to 2286, milliseconds over the same years.
bool EpochSeconds(double value) {
    return value >= 1e9 && value < 1e10;
}
bool EpochMilliseconds(double value) {
    return value >= 1e12 && value < 1e13;
}

double EpochMs(TimeForm form, double value) {
    if (form == TimeForm::EpochSeconds && EpochSeconds(value)) {
        return value * 1000;
    }
    if (form == TimeForm::EpochMilliseconds && EpochMilliseconds(value)) {
        return value;
    }
    return kNoValue;
}

// Plain decimals, nearly every cell of a readings file, read fast and exactly as from_chars reads
// them: up to 15 digits make an exact integer, and one division by an exact power of ten rounds
// correctly. False for anything else, which from_chars then reads.
bool PlainDecimal(std::string_view cell, char mark, double& value) {
    static constexpr std::array<double, 16> kPowers = {
        1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    std::size_t i = 0;
    const bool negative = !cell.empty() && cell[0] == '-';
    i += negative ? 1 : 0;
    std::uint64_t digits = 0;
    int count = 0, fraction = -1;  // digits after the mark, -1 before it
    for (; i < cell.size(); ++i) {
        const char c = cell[i];
        if (c >= '0' && c <= '9') {
            if (++count > 15) {
                return false;
            }
            digits = digits * 10 + static_cast<std::uint64_t>(c - '0');
            fraction += fraction >= 0 ? 1 : 0;
        } else if (c == mark && fraction < 0) {
            fraction = 0;
        } else {
            return false;
        }
    }
    if (count == 0) {
        return false;
    }
    value = static_cast<double>(digits) / kPowers[static_cast<std::size_t>(std::max(fraction, 0))];
    value = negative ? -value : value;
    return true;
}

// Days since 1970-01-01 of a valid date in the proleptic Gregorian calendar, without a library
// call: a time is read on every line of a long file.
std::int64_t DaysSince1970(int year, int month, int day) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t yearOfEra = year - era * 400;
    const std::int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

enum class Mark { None, Point, Comma };

// Whether the cell is a number written with either decimal mark, and which mark it shows: a
// file's marks are decided from these before any cell is read as a value.
bool NumberShape(std::string_view cell, Mark& mark) {
    const auto points = std::count(cell.begin(), cell.end(), '.');
    const auto commas = std::count(cell.begin(), cell.end(), ',');
    if (points + commas > 1) {
        return false;
    }
    double value = 0;
    mark = commas == 1 ? Mark::Comma : points == 1 ? Mark::Point : Mark::None;
    return ReadNumber(cell, mark == Mark::Comma, value);
}

bool IsNumber(std::string_view cell, bool decimalComma) {
    double value = 0;
    return ReadNumber(cell, decimalComma, value);
}

bool IsIsoTime(std::string_view cell) {
    double ms = 0;
    return ReadIsoTime(cell, ms);
}

// Units recognised after an underscore, as in "temp_C": a short list, so that a name such as
// "temp_max" keeps its whole text.
constexpr std::array<std::string_view, 44> kSuffixUnits = {
    "C",   "F",  "K",   "degC", "degF", "hPa", "Pa",  "kPa", "MPa", "bar", "mbar",
    "psi", "%",  "pct", "RH",   "ppm",  "ppb", "V",   "mV",  "uV",  "A",   "mA",
    "uA",  "W",  "kW",  "mW",   "Wh",   "kWh", "Hz",  "kHz", "mm",  "cm",  "m",
    "km",  "ms", "s",   "g",    "kg",   "mg",  "lux", "lx",  "dB",  "dBm", "rpm"};

void SplitUnit(std::string_view name, std::string& label, std::string& unit) {
    label.assign(name);
    unit.clear();
    if (name.size() >= 3 && (name.back() == ']' || name.back() == ')')) {
        const std::size_t open = name.rfind(name.back() == ']' ? '[' : '(');
        if (open != std::string_view::npos && open > 0) {
            const std::string_view inside = Trimmed(name.substr(open + 1, name.size() - open - 2));
            const std::string_view before = Trimmed(name.substr(0, open));
            if (!inside.empty() && inside.size() <= 16 && !before.empty()) {
                label.assign(before);
                unit.assign(inside);
            }
        }
        return;
    }
    const std::size_t underscore = name.rfind('_');
    if (underscore == std::string_view::npos || underscore == 0) {
        return;
    }
    const std::string_view suffix = name.substr(underscore + 1);
    if (std::find(kSuffixUnits.begin(), kSuffixUnits.end(), suffix) != kSuffixUnits.end()) {
        label.assign(Trimmed(name.substr(0, underscore)));
        unit.assign(suffix == "pct" ? "%" : suffix);
    }
}

// A header cell as a name: blanks and one pair of quotes around it dropped.
std::string_view NameOf(std::string_view cell) {
    cell = Trimmed(cell);
    if (cell.size() >= 2 && cell.front() == '"' && cell.back() == '"') {
        cell = Trimmed(cell.substr(1, cell.size() - 2));
    }
    return cell;
}

bool NamesTime(std::string_view name) {
    std::string lower(name);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; });
    return lower.find("time") != std::string::npos || lower.find("epoch") != std::string::npos ||
           lower.find("date") != std::string::npos;
}

std::string Sentence(const char* format, std::size_t a, std::size_t b, std::size_t c = 0,
                     std::size_t d = 0) {
    char text[256];
    std::snprintf(text, sizeof text, format, a, b, c, d);
    return text;
}

// A sniffed line cut into its first cells, with the count of all of them.
struct SniffedLine {
    std::size_t number = 0;  // 1-based line of the file
    std::size_t count = 0;
    std::vector<std::string_view> cells;  // at most kMaxPlotColumns

    std::string_view Cell(std::size_t c) const { return c < cells.size() ? cells[c] : ""; }
};

ReadingsFormat Refused(std::string problem) {
    ReadingsFormat format;
    format.problem = std::move(problem);
    return format;
}

void NameSeries(ReadingsFormat& format, const SniffedLine* header) {
    std::vector<std::string> taken = {format.time != TimeForm::None ? kTimeLabel : kReadingLabel};
    const auto free = [&](const std::string& label) {
        return !label.empty() && std::find(taken.begin(), taken.end(), label) == taken.end();
    };
    for (SeriesColumn& series : format.series) {
        const std::string numbered = "Column " + std::to_string(series.column + 1);
        const std::string_view name = header ? NameOf(header->Cell(series.column)) : "";
        series.name = name.empty() ? numbered : std::string(name);
        SplitUnit(series.name, series.label, series.unit);
        if (!free(series.label)) {
            // Two series of one label, e.g. a temperature in C and in F, keep their whole names.
            series.label = free(series.name) ? series.name : series.name + " (" + numbered + ")";
        }
        taken.push_back(series.label);
    }
}

}  // namespace

bool ReadNumber(std::string_view cell, bool decimalComma, double& value) {
    cell = Trimmed(cell);
    if (!cell.empty() && cell.front() == '+') {
        cell.remove_prefix(1);
    }
    char copy[64];
    if (cell.empty() || cell.size() > sizeof copy) {
        return false;
    }
    if (PlainDecimal(cell, decimalComma ? ',' : '.', value)) {
        return true;
    }
    if (decimalComma) {
        // A point in a decimal-comma file may group thousands: such a cell is no number here.
        if (cell.find('.') != std::string_view::npos) {
            return false;
        }
        std::replace_copy(cell.begin(), cell.end(), copy, ',', '.');
        cell = std::string_view(copy, cell.size());
    }
    const auto [end, error] = std::from_chars(cell.data(), cell.data() + cell.size(), value);
    return error == std::errc() && end == cell.data() + cell.size() && std::isfinite(value);
}

bool ReadIsoTime(std::string_view text, double& ms) {
    text = Trimmed(text);
    int year, month, day, hour, minute, second = 0;
    if (text.size() < 16 || !Digits(text, 0, 4, year) || text[4] != '-' ||
        !Digits(text, 5, 2, month) || text[7] != '-' || !Digits(text, 8, 2, day) ||
        (text[10] != ' ' && text[10] != 'T') || !Digits(text, 11, 2, hour) || text[13] != ':' ||
        !Digits(text, 14, 2, minute) || month < 1 || month > 12 || day < 1 ||
        day > DaysIn(year, month) || hour > 23 || minute > 59) {
        return false;
    }
    std::size_t at = 16;
    std::int64_t fraction = 0, scale = 1;  // fraction / scale of a second
    if (at < text.size() && text[at] == ':') {
        if (!Digits(text, 17, 2, second) || second > 60) {
            return false;
        }
        at = 19;
        if (at < text.size() && text[at] == '.') {
            const std::size_t first = ++at;
            for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
                if (scale < 1'000'000'000) {  // finer than a nanosecond is dropped
                    fraction = fraction * 10 + (text[at] - '0');
                    scale *= 10;
                }
            }
            if (at == first) {
                return false;
            }
        }
    }
    int offsetMinutes = 0;
    if (at < text.size() && text[at] == 'Z') {
        ++at;
    } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        const int sign = text[at] == '-' ? -1 : 1;
        int hours = 0, minutes = 0;
        if (!Digits(text, at + 1, 2, hours) || hours > 23) {
            return false;
        }
        at += 3;
        if (at < text.size() && text[at] == ':') {
            ++at;
        }
        if (at < text.size()) {
            if (!Digits(text, at, 2, minutes) || minutes > 59) {
                return false;
            }
            at += 2;
        }
        offsetMinutes = sign * (hours * 60 + minutes);
    }
    if (at != text.size()) {
        return false;
    }
    const std::int64_t seconds =
        DaysSince1970(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
    ms = static_cast<double>((seconds - std::int64_t{offsetMinutes} * 60) * 1000) +
         static_cast<double>(fraction) * 1000 / static_cast<double>(scale);
    return true;
}

ReadingsFormat SniffFormat(const std::vector<std::string>& firstLines) {
    std::vector<std::size_t> used;  // the lines that are not blank
    for (std::size_t i = 0; i < firstLines.size() && i < kSniffLines; ++i) {
        if (!Trimmed(firstLines[i]).empty()) {
            used.push_back(i);
        }
    }
    if (used.empty()) {
        return firstLines.empty()
                   ? ReadingsFormat{}
                   : Refused("Its first lines are empty, so there is nothing to plot.");
    }

    ReadingsFormat format;
    const auto linesWith = [&](char c) {
        return static_cast<std::size_t>(std::count_if(used.begin(), used.end(), [&](std::size_t i) {
            return firstLines[i].find(c) != std::string::npos;
        }));
    };
    const std::size_t semicolons = linesWith(';');
    if (semicolons == used.size()) {
        format.separator = ';';
    } else if (semicolons != 0 && linesWith(',') != used.size()) {
        return Refused(
            "Its lines are not all divided into cells the same way: some by semicolons, some not.");
    }

    std::vector<SniffedLine> lines(used.size());
    for (std::size_t k = 0; k < used.size(); ++k) {
        const std::string& text = firstLines[used[k]];
        lines[k].number = used[k] + 1;
        lines[k].count =
            1 + static_cast<std::size_t>(std::count(text.begin(), text.end(), format.separator));
        SplitFields(text, lines[k].cells, kMaxPlotColumns, format.separator);
    }
    // The readings' cells must line up; the first line may be a header and is judged below.
    const bool top = used[0] == 0;
    const std::size_t rest = top && lines.size() > 1 ? 1 : 0;
    format.cells = lines[rest].count;
    for (std::size_t k = rest; k < lines.size(); ++k) {
        if (lines[k].count != format.cells) {
            return Refused(Sentence(
                "Its lines do not all have the same number of cells (%zu in line %zu, %zu in line "
                "%zu), so its columns cannot be told apart.",
                format.cells, lines[rest].number, lines[k].count, lines[k].number));
        }
    }
    const std::size_t columns = std::min(format.cells, kMaxPlotColumns);

    if (format.separator == ';') {
        std::size_t points = 0, commas = 0;
        for (const SniffedLine& line : lines) {
            for (const std::string_view cell : line.cells) {
                Mark mark = Mark::None;
                if (NumberShape(cell, mark)) {
                    points += mark == Mark::Point ? 1 : 0;
                    commas += mark == Mark::Comma ? 1 : 0;
                }
            }
        }
        if (points > 0 && commas > 0) {
            return Refused(
                "It mixes decimal points and decimal commas, so a value could be misread.");
        }
        format.decimalComma = commas > 0;
    }

    const auto count = [&](std::size_t from, std::size_t c, auto&& is) {
        std::size_t n = 0;
        for (std::size_t k = from; k < lines.size(); ++k) {
            n += is(lines[k].Cell(c)) ? 1 : 0;
        }
        return n;
    };
    const auto number = [&](std::string_view cell) { return IsNumber(cell, format.decimalComma); };
    const auto mostly = [](std::size_t n, std::size_t of) { return n > 0 && n * 5 >= of * 4; };

    // A first line whose cells are not numbers (nor times) where the following lines' are.
    if (top && lines.size() == 1) {
        format.header =
            std::none_of(lines[0].cells.begin(), lines[0].cells.end(),
                         [&](std::string_view cell) { return number(cell) || IsIsoTime(cell); });
    } else if (top) {
        const std::size_t following = lines.size() - 1;
        bool any = false, texts = true;
        for (std::size_t c = 0; c < columns; ++c) {
            if (mostly(count(1, c, number), following) || count(1, c, IsIsoTime) == following) {
                any = true;
                const std::string_view cell = lines[0].Cell(c);
                texts = texts && !number(cell) && !IsIsoTime(cell);
            }
        }
        format.header = any && texts;
    }
    if (format.header && lines.size() > 1 && lines[0].count != format.cells) {
        return Refused(Sentence(
            "Its first line names %zu columns but its readings have %zu cells, so the columns "
            "cannot be matched to their names.",
            lines[0].count, format.cells));
    }
    if (!format.header && lines[0].count != format.cells) {
        return Refused(Sentence(
            "Its lines do not all have the same number of cells (%zu in line %zu, %zu in line "
            "%zu), so its columns cannot be told apart.",
            lines[0].count, lines[0].number, format.cells, lines[rest].number));
    }
    const std::size_t first = format.header ? 1 : 0;
    const std::size_t readings = lines.size() - first;
    const SniffedLine* header = format.header ? &lines[0] : nullptr;
    if (readings == 0) {
        format.cells = lines[0].count;
        return format;
    }

    for (std::size_t c = 0; c < columns && format.time == TimeForm::None; ++c) {
        if (count(first, c, IsIsoTime) == readings) {
            format.time = TimeForm::Iso;
            format.timeColumn = c;
        }
    }
    // Epoch times only where a number column is expected to be one: first, or named so.
    for (std::size_t c = 0; c < columns && format.time == TimeForm::None; ++c) {
        if (c > 0 && (header == nullptr || !NamesTime(header->Cell(c)))) {
            continue;
        }
        for (const TimeForm form : {TimeForm::EpochSeconds, TimeForm::EpochMilliseconds}) {
            const auto isTime = [&](std::string_view cell) {
                double value = 0;
                return ReadNumber(cell, format.decimalComma, value) &&
                       !std::isnan(EpochMs(form, value));
            };
            if (format.time == TimeForm::None && count(first, c, isTime) == readings) {
                format.time = form;
                format.timeColumn = c;
            }
        }
    }

    for (std::size_t c = 0; c < columns; ++c) {
        if ((format.time == TimeForm::None || c != format.timeColumn) &&
            mostly(count(first, c, number), readings)) {
            format.series.push_back({c, {}, {}, {}});
        }
    }
    if (format.series.empty()) {
        return Refused(
            "None of its columns holds numbers in most of its lines, so there is nothing to plot.");
    }
    NameSeries(format, header);
    return format;
}

bool ReadReading(const ReadingsFormat& format, std::string_view line,
                 std::vector<std::string_view>& cells, double& timeMs, double* values) {
    timeMs = kNoValue;
    std::fill(values, values + format.series.size(), kNoValue);
    // Split and counted in one pass: this runs for every line of a long file.
    cells.clear();
    std::size_t count = 0;
    for (std::size_t start = 0;;) {
        const std::size_t end = line.find(format.separator, start);
        if (++count > format.cells) {
            return false;
        }
        if (cells.size() < kMaxPlotColumns) {
            cells.push_back(line.substr(start, end - start));
        }
        if (end == std::string_view::npos) {
            break;
        }
        start = end + 1;
    }
    if (count != format.cells) {
        return false;
    }
    if (format.time == TimeForm::Iso) {
        double ms = 0;
        if (ReadIsoTime(cells[format.timeColumn], ms)) {
            timeMs = ms;
        }
    } else if (format.time != TimeForm::None) {
        double value = 0;
        if (ReadNumber(cells[format.timeColumn], format.decimalComma, value)) {
            timeMs = EpochMs(format.time, value);
        }
    }
    for (std::size_t s = 0; s < format.series.size(); ++s) {
        double value = 0;
        if (ReadNumber(cells[format.series[s].column], format.decimalComma, value)) {
            values[s] = value;
        }
    }
    return true;
}
