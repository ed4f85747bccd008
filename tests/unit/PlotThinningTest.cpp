#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "web/PlotThinning.h"

namespace {

using nlohmann::json;

LineSource Lines(const std::vector<std::string>& lines) {
    return [&lines](const LineVisitor& visit) {
        LinesRead read;
        for (const std::string& line : lines) {
            visit(line);
            ++read.lines;
        }
        return read;
    };
}

// What a plot holds for small files: the axis its first column makes, the columns that hold
// numbers, and, with no more lines than points, every reading as it was.
TEST(PlotThinning, KeepsEveryReadingOfAFileWithinItsPoints) {
    const struct {
        const char* what;
        std::vector<std::string> lines;
        std::size_t points;
        const char* labels;
        const char* data;
    } cases[] = {
        {"ISO times, with and without 'T', fraction and 'Z'; a text column is not plotted",
         {"2026-12-07 10:00:00,1.5,ok", "2026-12-07T10:00:01.250Z,-2,ok",
          "2026-12-07 10:00:02, 3e2 ,ok", "2026-12-07 10:00:03,,ok"},
         2000,
         R"(["time","col2"])",
         "[[1796637600000,1.5],[1796637601250,-2],[1796637602000,300],[1796637603000,null]]"},
        {"epoch seconds",
         {"1765000000,20.5", "1765000060,21"},
         2,
         R"(["time","col2"])",
         "[[1765000000000,20.5],[1765000060000,21]]"},
        {"numbers only: line numbers, every column plotted",
         {"10,20.5,48", "20,21,47.75", "30,+21.5,47.5"},
         3,
         R"(["line","col1","col2","col3"])",
         "[[1,10,20.5,48],[2,20,21,47.75],[3,30,21.5,47.5]]"},
        {"a header line: line numbers, the header a row of gaps",
         {"time,temp", "5,1"},
         2000,
         R"(["line","col1","col2"])",
         "[[1,null,null],[2,5,1]]"},
        {"an almost-time, epoch milliseconds: line numbers",
         {"2026-12-07 10:00,1", "1765000000000,2"},
         2000,
         R"(["line","col1","col2"])",
         "[[1,null,1],[2,1765000000000,2]]"},
        {"nothing", {}, 2000, R"(["line"])", "[]"},
    };
    for (const auto& c : cases) {
        const PlotSeries plot = ThinPlot(Lines(c.lines), c.points);
        EXPECT_EQ(json(plot.labels), json::parse(c.labels)) << c.what;
        EXPECT_EQ(plot.timeAxis, plot.labels[0] == "time") << c.what;
        EXPECT_EQ(json::parse(plot.data), json::parse(c.data)) << c.what;
        EXPECT_EQ(plot.read.lines, c.lines.size()) << c.what;
    }
}

// A long file keeps, in every bucket, each column's lowest and highest reading in the order they
// came, at the bucket's first and last line: a single spike among thousands of points survives.
TEST(PlotThinning, KeepsEveryBucketsLowestAndHighestReading) {
    constexpr std::size_t kLines = 10'000, kPoints = 100, kBuckets = kPoints / 2;
    std::vector<double> values(kLines);
    for (std::size_t i = 0; i < kLines; ++i) {
        values[i] = static_cast<double>(i * 7919 % 1000) / 8;  // exact in binary
    }
    values[4321] = 1e6;
    values[7777] = -1e6;
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < kLines; ++i) {
        lines.push_back(std::to_string(i) + "," + json(values[i]).dump());
    }

    const PlotSeries plot = ThinPlot(Lines(lines), kPoints);
    EXPECT_EQ(json(plot.labels), json::parse(R"(["line","col1","col2"])"));
    const json data = json::parse(plot.data);
    ASSERT_EQ(data.size(), kPoints);
    for (std::size_t b = 0; b < kBuckets; ++b) {
        const std::size_t first = b * kLines / kBuckets, last = (b + 1) * kLines / kBuckets - 1;
        const auto begin = values.begin() + static_cast<std::ptrdiff_t>(first);
        const auto end = values.begin() + static_cast<std::ptrdiff_t>(last + 1);
        // The first of equal readings is the one kept.
        const auto low = std::min_element(begin, end), high = std::max_element(begin, end);
        const json expected = {{first + 1, first, low < high ? *low : *high},
                               {last + 1, last, low < high ? *high : *low}};
        EXPECT_EQ(json({data[2 * b], data[2 * b + 1]}), expected) << "bucket " << b;
    }
    const auto kept = [&](double value) {
        return std::any_of(data.begin(), data.end(),
                           [&](const json& row) { return row[2] == value; });
    };
    EXPECT_TRUE(kept(1e6) && kept(-1e6));
}

}  // namespace
