#include "web/ReadingsIndex.h"

#include <algorithm>
#include <cmath>

void SeriesSummary::Add(double value, std::uint32_t at) {
    if (count == 0 || value < low) {
        low = value;
        lowAt = at;
    }
    if (count == 0 || value > high) {
        high = value;
        highAt = at;
    }
    sum += value;
    ++count;
}

void SeriesSummary::Add(const SeriesSummary& later) {
    if (later.count == 0) {
        return;
    }
    if (count == 0 || later.low < low) {
        low = later.low;
        lowAt = later.lowAt;
    }
    if (count == 0 || later.high > high) {
        high = later.high;
        highAt = later.highAt;
    }
    sum += later.sum;
    count += later.count;
}

namespace {

// The fewest readings per chunk that keep a file of kReadLines lines within kIndexBytes: more
// series, longer chunks.
std::size_t ChunkLinesFor(std::size_t series) {
    const std::size_t perChunk = sizeof(ReadingsChunk) + series * sizeof(SeriesSummary);
    std::size_t lines = 256;
    while ((kReadLines / lines + 1) * perChunk > ReadingsIndex::kIndexBytes) {
        lines *= 2;
    }
    return lines;
}

}  // namespace

ReadingsIndex BuildReadingsIndex(const LineReader& eachLine) {
    ReadingsIndex index;
    std::vector<std::string> first;
    std::size_t bytes = 0;
    const LinesRead sniffed = eachLine(0, [&](std::string_view line, std::uint64_t) {
        first.emplace_back(line);
        bytes += line.size();
        return first.size() < kSniffLines && bytes < kSniffBytes;
    });
    if (sniffed.unreadable) {
        index.read = sniffed;
        return index;
    }
    index.format = SniffFormat(first);
    first = {};

    const ReadingsFormat& format = index.format;
    const std::size_t series = format.series.size();
    index.chunkLines = ChunkLinesFor(series);
    std::vector<double> values(series);
    std::vector<std::string_view> cells;
    bool headerPassed = !format.header;
    double last = 0;
    // Each line costs its cells, however short they are.
    const std::size_t lineCells = std::max<std::size_t>(format.cells, 1);
    std::size_t cellsLeft = kReadCells;
    bool spent = false;
    index.read = eachLine(0, [&](std::string_view line, std::uint64_t at) {
        if (!headerPassed) {
            headerPassed = true;
            return true;
        }
        if (lineCells > cellsLeft) {
            spent = true;
            return false;
        }
        cellsLeft -= lineCells;
        const auto reading = static_cast<std::uint32_t>(index.readings++);
        if (reading % index.chunkLines == 0) {
            index.chunks.push_back({at, reading, 0, 0, 0, 0, 0, 0});
            index.summaries.resize(index.summaries.size() + series);
        }
        ReadingsChunk& chunk = index.chunks.back();
        ++chunk.lines;
        double time = 0;
        if (format.time != TimeForm::None || series > 0) {
            ReadReading(format, line, cells, time, values.data());
        }
        const double x = index.XOf(reading, time);
        if (std::isnan(x)) {
            return true;
        }
        if (chunk.placed++ == 0) {
            chunk.xFirst = chunk.xMin = chunk.xMax = x;
        }
        chunk.xLast = x;
        chunk.xMin = std::min(chunk.xMin, x);
        chunk.xMax = std::max(chunk.xMax, x);
        if (index.placed++ == 0) {
            index.xMin = index.xMax = last = x;
        }
        index.ordered = index.ordered && x >= last;
        last = x;
        index.xMin = std::min(index.xMin, x);
        index.xMax = std::max(index.xMax, x);
        SeriesSummary* summaries = index.summaries.data() + (index.chunks.size() - 1) * series;
        for (std::size_t s = 0; s < series; ++s) {
            if (!std::isnan(values[s])) {
                summaries[s].Add(values[s], reading);
            }
        }
        return true;
    });
    // Only the readings before are shown, as for a file past the byte or line budget.
    index.read.partial = index.read.partial || spent;
    return index;
}

std::shared_ptr<const ReadingsIndex> ReadingsIndexCache::Get(const std::string& key,
                                                             const LineReader& lines) {
    const auto found = std::find_if(kept_.begin(), kept_.end(),
                                    [&](const auto& entry) { return entry.first == key; });
    if (found != kept_.end()) {
        kept_.splice(kept_.begin(), kept_, found);
        return kept_.front().second;
    }
    auto index = std::make_shared<const ReadingsIndex>(BuildReadingsIndex(lines));
    // A file that could not be read as lines is not kept: there is nothing to save.
    if (!index->read.unreadable) {
        kept_.emplace_front(key, index);
        if (kept_.size() > kFiles) {
            kept_.pop_back();
        }
    }
    return index;
}
