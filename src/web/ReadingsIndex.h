#pragma once

// A file's readings summed up in one pass, so that the plot or table of any part of it reads only
// that part: the file's format, then a chunk every few hundred readings with where it starts in
// the file, the range of its x values and each series' extremes, sum and count. A zoom into a
// million-line file then costs the few chunks at its edges, and a wide view none at all.
// The index is bounded (kIndexBytes for a file of kReadLines lines, however many series) and the
// page keeps a few of them (ReadingsIndexCache).

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "datafolder/CsvLines.h"
#include "datafolder/ReadingsFormat.h"

// One series' readings within a stretch: lowest and highest (the first of equal ones) with their
// reading numbers, sum and count.
struct SeriesSummary {
    static constexpr std::uint32_t kNone = 0xFFFFFFFF;
    double low = 0, high = 0, sum = 0;
    std::uint32_t lowAt = kNone, highAt = kNone;  // 0-based reading numbers, below kReadLines
    std::uint32_t count = 0;

    void Add(double value, std::uint32_t at);
    // Another stretch's, which comes after this one's.
    void Add(const SeriesSummary& later);
};

struct ReadingsChunk {
    std::uint64_t at = 0;      // where its first line starts in the file
    std::uint32_t first = 0;   // its first reading, 0-based (a header line is no reading)
    std::uint32_t lines = 0;   // readings in it
    std::uint32_t placed = 0;  // those with an x: on a time axis, those whose time is read
    double xFirst = 0, xLast = 0, xMin = 0, xMax = 0;  // over the placed ones
};

struct ReadingsIndex {
    // The bound on one index's chunks and summaries, whatever the file.
    static constexpr std::size_t kIndexBytes = 2 * 1024 * 1024;

    ReadingsFormat format;
    LinesRead read;              // the file's lines, a header included
    std::size_t readings = 0;    // lines after a header
    std::size_t placed = 0;      // readings with an x
    std::size_t chunkLines = 0;  // readings per chunk (the last may hold fewer)
    bool ordered = true;         // no reading's x is below an earlier one's
    double xMin = 0, xMax = 0;   // over the placed readings
    std::vector<ReadingsChunk> chunks;
    std::vector<SeriesSummary> summaries;  // chunk c's series s at c * series + s

    bool TimeAxis() const { return format.time != TimeForm::None; }
    std::size_t Series() const { return format.series.size(); }
    const SeriesSummary* SummariesOf(std::size_t chunk) const {
        return summaries.data() + chunk * Series();
    }
    // The reading's x: its time in ms, or its 1-based number where the file has no time column.
    double XOf(std::uint32_t reading, double timeMs) const {
        return TimeAxis() ? timeMs : double(reading) + 1;
    }
};

// Reads the file's first lines for its format, then every line once. `lines` is read from offset
// 0 twice; an unreadable file (LinesRead::unreadable) gives an index with nothing else.
[[nodiscard]] ReadingsIndex BuildReadingsIndex(const LineReader& lines);

// The indexes of the few files viewed last, each under a key that changes with the file's
// contents (its names, size and time written). Used on the server's thread only.
class ReadingsIndexCache {
public:
    static constexpr std::size_t kFiles = 4;

    // The key's index, built with `lines` when it is not kept.
    std::shared_ptr<const ReadingsIndex> Get(const std::string& key, const LineReader& lines);

private:
    std::list<std::pair<std::string, std::shared_ptr<const ReadingsIndex>>> kept_;  // newest first
};
