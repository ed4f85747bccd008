#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "web/PlotThinning.h"

namespace {

using nlohmann::json;

// A file's text read as lines from any line's offset, as StoredFile reads one.
LineReader Reader(const std::string& text) {
    return [&text](std::uint64_t from, const PlacedLineVisitor& visit) {
        LinesRead read;
        for (std::size_t at = from; at < text.size();) {
            const std::size_t end = std::min(text.find('\n', at), text.size());
            ++read.lines;
            if (!visit(WithoutCarriageReturn(std::string_view(text).substr(at, end - at)), at)) {
                break;
            }
            at = end + 1;
        }
        return read;
    };
}

// Small files within their points: every reading as it is, on the axis the file's time column
// makes, a header and unreadable times left out.
TEST(PlotThinning, KeepsEveryReadingOfAFileWithinItsPoints) {
    const struct {
        const char* what;
        std::string text;
        const char* data;
    } cases[] = {
        {"ISO times with a header; a text column and an empty cell",
         "time;temp [C];state\r\n2026-12-07 10:00:00;1,5;ok\r\n2026-12-07T10:00:01.250Z;-2;ok\r\n"
         "2026-12-07 10:00:02;;ok\r\n2026-12-07 10:00:03;4;ok\r\n2026-12-07 10:00:04;5;ok\r\n",
         "[[1796637600000,1.5],[1796637601250,-2],[1796637602000,null],[1796637603000,4],"
         "[1796637604000,5]]"},
        {"a file that cannot be read confidently: no rows", "time,temp\n2026-12-07 10:00:00,20,5\n",
         "[]"},
        {"numbers only: reading numbers", "10,20.5\n20,21\n30,+21.5\n",
         "[[1,10,20.5],[2,20,21],[3,30,21.5]]"},
        {"times that go back are drawn in time order", "1765000060,1\n1765000000,2\n1765000030,3\n",
         "[[1765000000000,2],[1765000030000,3],[1765000060000,1]]"},
        {"nothing", "", "[]"},
    };
    for (const auto& c : cases) {
        const ReadingsIndex index = BuildReadingsIndex(Reader(c.text));
        const PlotSeries plot = ThinPlot(index, Reader(c.text), 2000, std::nullopt);
        EXPECT_EQ(json::parse(plot.data), json::parse(c.data)) << c.what;
    }
}

// A long file, at any zoom: each bucket keeps every series' lowest and highest reading in the
// order they came, at its first and last reading's x; buckets follow each other without a gap;
// a small range gives every reading exactly; statistics are exact over the range.
TEST(PlotThinning, KeepsEveryBucketsExtremesAndExactStatisticsInAnyRange) {
    constexpr std::size_t kLines = 10'000;
    std::vector<std::vector<double>> values(2, std::vector<double>(kLines));
    std::string text = "reading,a,b\n";
    for (std::size_t i = 0; i < kLines; ++i) {
        values[0][i] = static_cast<double>(i * 7919 % 1000) / 8;  // exact in binary
        values[1][i] = static_cast<double>(i % 97) - 48;
    }
    values[0][4321] = 1e6;
    values[0][7777] = -1e6;
    values[1][10] = 500;
    for (std::size_t i = 0; i < kLines; ++i) {
        text += std::to_string(i) + "," + json(values[0][i]).dump() + "," +
                json(values[1][i]).dump() + "\n";
    }
    const ReadingsIndex index = BuildReadingsIndex(Reader(text));
    ASSERT_EQ(index.format.series.size(), 3u);  // the first column is plotted too

    const struct {
        const char* what;
        std::optional<PlotRange> range;
        std::size_t points;
        std::size_t rows;  // exactly, or 0 for "between points / 2 and points"
    } cases[] = {
        {"the whole file, buckets of whole chunks", std::nullopt, 40, 0},
        {"the whole file, buckets of single readings", std::nullopt, 4000, 0},
        {"a range of whole chunks and read edges", PlotRange{1000.5, 9000.25}, 20, 0},
        {"a range across chunks", PlotRange{1000.5, 7000.25}, 300, 0},
        {"a range of a few readings per bucket", PlotRange{2000, 9000}, 4000, 0},
        {"a range within its points", PlotRange{5000, 5100}, 1000, 101},
        {"a single reading", PlotRange{4322, 4322}, 1000, 1},
        {"between two readings", PlotRange{4322.25, 4322.75}, 1000, 0},
        {"past the file", PlotRange{20'000, 30'000}, 1000, 0},
    };
    for (const auto& c : cases) {
        const PlotSeries plot = ThinPlot(index, Reader(text), c.points, c.range);
        const json data = json::parse(plot.data);
        const double from = c.range ? std::max(c.range->from, 1.0) : 1;
        const double to = c.range ? std::min(c.range->to, double(kLines)) : kLines;
        const std::size_t first = static_cast<std::size_t>(std::ceil(from)) - 1;
        const std::size_t end = static_cast<std::size_t>(std::floor(to));  // past the last
        const std::size_t inRange = end > first ? end - first : 0;
        if (c.rows > 0 || inRange == 0) {
            EXPECT_EQ(data.size(), c.rows) << c.what;
        } else {
            EXPECT_LE(data.size(), c.points) << c.what;
            EXPECT_GE(data.size(), std::min(inRange, c.points / 4)) << c.what;
        }
        // Rows in pairs, a bucket's first and last reading, or one row for a bucket of one
        // (adjacent readings here always differ, so a pair of them reads the same as two ones).
        std::size_t next = first;  // the first reading the next bucket must start at
        for (std::size_t r = 0; r < data.size();) {
            const auto begin = static_cast<std::size_t>(data[r][0].get<double>()) - 1;
            ASSERT_EQ(begin, next) << c.what << " row " << r;
            const bool pair = r + 1 < data.size() && data[r + 1][0].get<double>() > begin + 2;
            const std::size_t last =
                pair ? static_cast<std::size_t>(data[r + 1][0].get<double>()) - 1 : begin;
            if (inRange <= c.points) {
                ASSERT_EQ(last, begin) << c.what << ": every reading";
            }
            for (std::size_t s = 1; s <= 2; ++s) {
                const auto a = values[s - 1].begin() + static_cast<std::ptrdiff_t>(begin);
                const auto b = values[s - 1].begin() + static_cast<std::ptrdiff_t>(last + 1);
                const auto low = std::min_element(a, b), high = std::max_element(a, b);
                const json kept = pair ? json::array({data[r][s + 1], data[r + 1][s + 1]})
                                       : json::array({data[r][s + 1]});
                const json expected = !pair         ? json::array({*low})
                                      : low == high ? json::array({*low, nullptr})
                                      : low < high  ? json::array({*low, *high})
                                                    : json::array({*high, *low});
                EXPECT_EQ(kept, expected) << c.what << " row " << r << " series " << s;
            }
            next = last + 1;
            r += pair ? 2 : 1;
        }
        EXPECT_EQ(next, data.empty() ? first : end) << c.what;

        ASSERT_EQ(plot.stats.size(), 3u);
        for (std::size_t s = 1; s <= 2; ++s) {
            const SeriesSummary& stats = plot.stats[s];
            EXPECT_EQ(stats.count, inRange) << c.what;
            if (inRange == 0) {
                continue;
            }
            const auto a = values[s - 1].begin() + static_cast<std::ptrdiff_t>(first);
            const auto b = values[s - 1].begin() + static_cast<std::ptrdiff_t>(end);
            EXPECT_EQ(stats.low, *std::min_element(a, b)) << c.what;
            EXPECT_EQ(stats.high, *std::max_element(a, b)) << c.what;
            double sum = 0;
            std::for_each(a, b, [&](double v) { sum += v; });
            EXPECT_DOUBLE_EQ(stats.sum, sum) << c.what;
        }
    }
}

}  // namespace
