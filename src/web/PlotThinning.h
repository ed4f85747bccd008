#pragma once

// A file's readings within an x range reduced to what a plot of at most a few thousand points
// can show. The range's readings are cut into equal buckets in file order; each bucket gives two
// points, and every series' lowest and highest reading in the bucket is among them, in the order
// they came, so peaks and dips survive however long the file is. A range of no more readings
// than points gives every reading as it is. Whole chunks of the index stand in for their readings
// where a bucket spans them, so only the range's edges are read from the file.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "datafolder/CsvLines.h"
#include "web/ReadingsIndex.h"

struct PlotRange {
    double from = 0, to = 0;  // x values, from <= to
};

struct PlotSeries {
    // The rows as a JSON array: x, then one value per series; null where the row has none.
    std::string data = "[]";
    // Each series over every reading in range.
    std::vector<SeriesSummary> stats;
    // The x range the rows cover: the asked range within the file's x values. Absent when the
    // file has no placed reading and no range was asked.
    std::optional<PlotRange> range;
    std::size_t rows = 0;
};

// At most `points` rows (at least 2) of the readings with x in `range` (the whole file when
// absent). `lines` reads the file `index` was built from.
[[nodiscard]] PlotSeries ThinPlot(const ReadingsIndex& index, const LineReader& lines,
                                  std::size_t points, std::optional<PlotRange> range);
