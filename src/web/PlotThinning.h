#pragma once

// A file's readings reduced to what a plot of at most a few thousand points can show. Lines
// are cut into equal buckets along the file; each bucket gives two points, and every column's
// lowest and highest value in the bucket is among them, in the order they came, so peaks and
// dips survive however long the file is.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "datafolder/CsvLines.h"

// Only a line's first this many fields are plotted: the memory a plot takes grows with its
// columns, and a line can hold thousands of them.
inline constexpr std::size_t kMaxPlotColumns = 64;

struct PlotSeries {
    // "time" or "line", then "colN" for each column plotted (N counts the file's columns from 1).
    std::vector<std::string> labels;
    bool timeAxis = false;  // x in milliseconds since 1970 (UTC) rather than 1-based line numbers
    // The rows as a JSON array, written as they are made. Each row: x, then one value per
    // plotted column; null where the row has none.
    std::string data = "[]";
    LinesRead read;  // the lines the plot is drawn from
};

// At most `points` rows (and at least 2 when there are as many lines). `lines` is read twice.
// Kept per bucket, column and extreme are a value and a line number: at most `points` buckets
// of kMaxPlotColumns columns, 24 bytes each (6 MB for 4000 points).
[[nodiscard]] PlotSeries ThinPlot(const LineSource& lines, std::size_t points);

// "YYYY-MM-DD HH:MM:SS" or with 'T', optional fraction and 'Z', as milliseconds since 1970 in
// UTC; false for anything else.
[[nodiscard]] bool ParseTimeMs(std::string_view text, double& ms);
