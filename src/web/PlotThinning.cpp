#include "web/PlotThinning.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>

namespace {

constexpr double kNoValue = std::numeric_limits<double>::quiet_NaN();

// Collects the range's readings, whole chunks or one at a time, in file order, into buckets, and
// each finished bucket into at most two rows. Holds one bucket at a time.
class Buckets {
public:
    // `total` readings into `buckets` buckets (as many as readings: one row each).
    Buckets(std::size_t series, std::size_t total, std::size_t buckets)
        : stats(series), total_(total), buckets_(buckets), current_(series) {}

    void AddReading(double x, std::uint32_t at, const double* values) {
        Enter(1, x, x, at, at);
        for (std::size_t s = 0; s < current_.size(); ++s) {
            if (!std::isnan(values[s])) {
                current_[s].Add(values[s], at);
                stats[s].Add(values[s], at);
            }
        }
    }

    void AddChunk(const ReadingsChunk& chunk, const SeriesSummary* summaries) {
        Enter(chunk.placed, chunk.xFirst, chunk.xLast, chunk.first, chunk.first + chunk.lines - 1);
        for (std::size_t s = 0; s < current_.size(); ++s) {
            current_[s].Add(summaries[s]);
            stats[s].Add(summaries[s]);
        }
    }

    void Finish() { Flush(); }

    std::vector<std::vector<double>> rows;
    std::vector<SeriesSummary> stats;

private:
    void Enter(std::size_t readings, double firstX, double lastX, std::uint32_t firstAt,
               std::uint32_t lastAt) {
        // (A file changed since it was counted ends in the last bucket, not past it.)
        const std::size_t bucket = std::min(buckets_ - 1, seen_ * buckets_ / total_);
        if (held_ > 0 && bucket != bucket_) {
            Flush();
        }
        bucket_ = bucket;
        seen_ += readings;
        if (held_ == 0) {
            firstX_ = firstX;
            firstAt_ = firstAt;
        }
        held_ += readings;
        lastX_ = lastX;
        lastAt_ = lastAt;
    }

    void Flush() {
        if (held_ == 0) {
            return;
        }
        std::vector<double> early(1 + current_.size(), kNoValue), late(early);
        early[0] = firstX_;
        late[0] = lastX_;
        for (std::size_t s = 0; s < current_.size(); ++s) {
            const SeriesSummary& e = current_[s];
            if (e.count == 0) {
                continue;
            }
            if (e.lowAt == e.highAt) {
                // One value: on the row nearer the reading it came from.
                (e.lowAt == lastAt_ && held_ > 1 ? late : early)[s + 1] = e.low;
            } else {
                // Each extreme on the row nearer its own reading, so the curve keeps its order.
                early[s + 1] = e.lowAt < e.highAt ? e.low : e.high;
                late[s + 1] = e.lowAt < e.highAt ? e.high : e.low;
            }
            current_[s] = SeriesSummary{};
        }
        rows.push_back(std::move(early));
        if (held_ > 1) {
            rows.push_back(std::move(late));
        }
        held_ = 0;
    }

    const std::size_t total_, buckets_;
    std::vector<SeriesSummary> current_;
    std::size_t seen_ = 0, held_ = 0, bucket_ = 0;
    double firstX_ = 0, lastX_ = 0;
    std::uint32_t firstAt_ = 0, lastAt_ = 0;
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

enum class Part : unsigned char { Outside, Inside, Edge };

// Reads the readings of chunks [first, last] (adjacent, so one stretch of the file) and calls
// `each(x, reading, values)` for those with x in [from, to].
template <typename Each>
void ReadChunks(const ReadingsIndex& index, const LineReader& lines, std::size_t first,
                std::size_t last, const PlotRange& range, Each&& each) {
    std::vector<double> values(index.Series());
    std::vector<std::string_view> cells;
    std::uint32_t reading = index.chunks[first].first;
    const std::uint32_t end = index.chunks[last].first + index.chunks[last].lines;
    (void)lines(index.chunks[first].at, [&](std::string_view line, std::uint64_t) {
        double time = 0;
        ReadReading(index.format, line, cells, time, values.data());
        const double x = index.XOf(reading, time);
        if (x >= range.from && x <= range.to) {
            each(x, reading, values.data());
        }
        return ++reading < end;
    });
}

// Calls `read(first, last)` for each run of adjacent chunks `wanted` says to read, and
// `whole(chunk)` for each other chunk in range, in file order.
template <typename Wanted, typename Read, typename Whole>
void WalkChunks(const std::vector<Part>& parts, Wanted&& wanted, Read&& read, Whole&& whole) {
    std::size_t run = 0, runLength = 0;
    for (std::size_t c = 0; c <= parts.size(); ++c) {
        const bool reading = c < parts.size() && parts[c] != Part::Outside && wanted(c);
        if (reading) {
            run = runLength++ == 0 ? c : run;
            continue;
        }
        if (runLength > 0) {
            read(run, run + runLength - 1);
            runLength = 0;
        }
        if (c < parts.size() && parts[c] == Part::Inside) {
            whole(c);
        }
    }
}

}  // namespace

PlotSeries ThinPlot(const ReadingsIndex& index, const LineReader& lines, std::size_t points,
                    std::optional<PlotRange> asked) {
    PlotSeries plot;
    const std::size_t series = index.Series();
    plot.stats.resize(series);
    // A file read without confidence shows no series at all, rather than some guessed.
    if (index.placed == 0 || series == 0) {
        plot.range = asked;
        return plot;
    }
    PlotRange range{index.xMin, index.xMax};
    if (asked) {
        range = {std::max(asked->from, index.xMin), std::min(asked->to, index.xMax)};
        if (range.from > range.to) {
            plot.range = asked;
            return plot;
        }
    }
    plot.range = range;
    points = std::max<std::size_t>(points, 2);

    // Chunks wholly in range stand for their readings; those across an edge are read.
    std::vector<Part> parts(index.chunks.size(), Part::Outside);
    std::size_t readings = 0;  // in range
    for (std::size_t c = 0; c < parts.size(); ++c) {
        const ReadingsChunk& chunk = index.chunks[c];
        if (chunk.placed == 0 || chunk.xMax < range.from || chunk.xMin > range.to) {
            continue;
        }
        const bool inside = chunk.xMin >= range.from && chunk.xMax <= range.to;
        parts[c] = inside ? Part::Inside : Part::Edge;
        readings += inside ? chunk.placed : 0;
    }
    WalkChunks(
        parts, [&](std::size_t c) { return parts[c] == Part::Edge; },
        [&](std::size_t first, std::size_t last) {
            ReadChunks(index, lines, first, last, range,
                       [&](double, std::uint32_t, const double*) { ++readings; });
        },
        [](std::size_t) {});
    if (readings == 0) {
        return plot;
    }

    // Every reading when they fit; else buckets of whole chunks where a bucket holds at least
    // half a chunk's readings (fewer, coarser buckets, but no reading of the file), and of single
    // readings where it holds less.
    const bool every = readings <= points;
    const std::size_t buckets = every ? readings : points / 2;
    const bool wholeChunks = !every && readings / buckets * 2 >= index.chunkLines;
    Buckets thinned(series, readings, buckets);
    WalkChunks(
        parts, [&](std::size_t c) { return parts[c] == Part::Edge || !wholeChunks; },
        [&](std::size_t first, std::size_t last) {
            ReadChunks(index, lines, first, last, range,
                       [&](double x, std::uint32_t at, const double* values) {
                           thinned.AddReading(x, at, values);
                       });
        },
        [&](std::size_t c) { thinned.AddChunk(index.chunks[c], index.SummariesOf(c)); });
    thinned.Finish();

    if (!index.ordered) {
        // Times that go back in the file are drawn in time order all the same.
        std::stable_sort(thinned.rows.begin(), thinned.rows.end(),
                         [](const auto& a, const auto& b) { return a[0] < b[0]; });
    }
    plot.data.assign(1, '[');
    for (const auto& row : thinned.rows) {
        AppendRow(plot.data, row);
    }
    plot.data += ']';
    plot.rows = thinned.rows.size();
    plot.stats = std::move(thinned.stats);
    return plot;
}
