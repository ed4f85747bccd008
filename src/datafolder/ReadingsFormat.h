#pragma once

// How a readings file is written, found from its first lines: the cell separator, the decimal
// mark, a header line naming the series (with their units), the column that holds the time and
// the columns that hold numbers. Instruments write these files in many ways; the rule here is to
// read a file as it is or to say why not, never to guess a reading that is not in the file: a
// file that could be read two ways is refused with a sentence for the user.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// The lines a format is found from: enough to see past a few odd ones, few enough to cost
// nothing. Their bytes are capped too, so that long lines cannot make the look expensive.
inline constexpr std::size_t kSniffLines = 50;
inline constexpr std::size_t kSniffBytes = 1024 * 1024;
// Only a line's first this many cells are plotted: the memory a plot takes grows with its
// series, and a line can hold thousands of cells.
inline constexpr std::size_t kMaxPlotColumns = 64;

// The x axis' labels; a series is never labelled the same.
inline constexpr const char* kTimeLabel = "Time (UTC)";
inline constexpr const char* kReadingLabel = "Reading";

enum class TimeForm { None, Iso, EpochSeconds, EpochMilliseconds };

struct SeriesColumn {
    std::size_t column = 0;  // 0-based
    std::string name;        // the header's text, or "Column N"
    std::string label;       // the name without its unit, unique among the plot's labels
    std::string unit;        // "" when none
};

struct ReadingsFormat {
    char separator = ',';
    bool decimalComma = false;  // only where the separator is a semicolon
    bool header = false;        // the file's first line names the columns and is no reading
    // Cells in every reading: a line with another count is read as no values, since its cells
    // cannot be matched to the columns.
    std::size_t cells = 0;
    TimeForm time = TimeForm::None;
    std::size_t timeColumn = 0;  // 0-based, when `time` is not None
    std::vector<SeriesColumn> series;
    // Why the file cannot be plotted confidently, in a sentence for the user; then no series.
    std::string problem;
};

// The format of a file whose first lines (the file's first line first, at most kSniffLines) are
// given, without their line ends.
[[nodiscard]] ReadingsFormat SniffFormat(const std::vector<std::string>& firstLines);

// One reading line of a file of this format: its time in milliseconds since 1970 UTC (NaN when
// the format has no time column or the cell is not a time) and each series' value (NaN where the
// cell holds no number). False, and every value NaN, when the line's cells do not match the
// format's columns. `cells` is scratch space kept by the caller.
bool ReadReading(const ReadingsFormat& format, std::string_view line,
                 std::vector<std::string_view>& cells, double& timeMs, double* values);

// A whole cell as a finite number, with a decimal comma or point as the format says; false for
// anything else (blanks around it are allowed).
[[nodiscard]] bool ReadNumber(std::string_view cell, bool decimalComma, double& value);

// "YYYY-MM-DD HH:MM[:SS[.fff]]" with a blank or 'T', then nothing, 'Z' or an offset such as
// +01:00, +0100 or -05, as milliseconds since 1970 in UTC; false for anything else.
[[nodiscard]] bool ReadIsoTime(std::string_view cell, double& ms);
