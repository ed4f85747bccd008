#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "datafolder/ReadingsFormat.h"

namespace {

// The format in one line: separator, marks, header, time column, then each series as
// "column:name>label/unit"; or the problem.
std::string Described(const ReadingsFormat& format) {
    if (!format.problem.empty()) {
        return "problem: " + format.problem;
    }
    std::string text(1, format.separator);
    text += format.decimalComma ? " decimal-comma" : "";
    text += format.header ? " header" : "";
    const char* time[] = {"", " iso@", " s@", " ms@"};
    if (format.time != TimeForm::None) {
        text += time[static_cast<int>(format.time)] + std::to_string(format.timeColumn + 1);
    }
    for (const SeriesColumn& series : format.series) {
        text += " " + std::to_string(series.column + 1) + ":" + series.name + ">" + series.label +
                "/" + series.unit;
    }
    return text;
}

// Each reading line as the format reads it: x (time in ms, "-" where there is none) and values.
std::string Read(const ReadingsFormat& format, const std::vector<std::string>& lines) {
    std::string text;
    std::vector<std::string_view> cells;
    std::vector<double> values(format.series.size());
    for (std::size_t i = format.header ? 1 : 0; i < lines.size(); ++i) {
        double time = 0;
        const bool read = ReadReading(format, lines[i], cells, time, values.data());
        text += text.empty() ? "" : "; ";
        text += read ? "" : "unread ";
        for (const double value : {time}) {
            char number[32];
            std::snprintf(number, sizeof number, "%.17g", value);
            text += std::isnan(value) ? "-" : number;
        }
        for (const double value : values) {
            char number[32];
            std::snprintf(number, sizeof number, " %.17g", value);
            text += std::isnan(value) ? " -" : number;
        }
    }
    return text;
}

// Files as instruments and people write them: read as they are, or refused with the reason, and
// never a value that is not in the file.
TEST(ReadingsFormat, ReadsFilesAsTheyAreWrittenOrSaysWhyNot) {
    const struct {
        const char* what;
        std::vector<std::string> lines;
        const char* format;
        const char* readings;
    } cases[] = {
        {"commas, a header with units in brackets and parentheses, a text column left out",
         {"time,temp [C],state,hum (%)", "2026-12-07T10:00:00Z,20.5,ok,40",
          "2026-12-07T10:00:01.250Z,21,ok,41"},
         ", header iso@1 2:temp [C]>temp/C 4:hum (%)>hum/%",
         "1796637600000 20.5 40; 1796637601250 21 41"},
        {"semicolons and decimal commas, units after an underscore, offsets",
         {"Zeit;temp_C;druck_hPa;feuchte_pct;temp_max",
          "2026-12-07 11:00:00+01:00;20,00;1013,25;45;22",
          "2026-12-07 11:00:01+0100;30,00;1013,5;46;23"},
         "; decimal-comma header iso@1 2:temp_C>temp/C 3:druck_hPa>druck/hPa "
         "4:feuchte_pct>feuchte/% 5:temp_max>temp_max/",
         "1796637600000 20 1013.25 45 22; 1796637601000 30 1013.5 46 23"},
        {"every time form, to the same instant but the fraction",
         {"2026-12-07T10:00:00Z,1", "2026-12-07 10:00:00.5,2", "2026-12-07T11:00:00+01:00,3",
          "2026-12-07T11:00:00+0100,4", "2026-12-07T05:00-05,5", "2026-12-07 10:00,6"},
         ", iso@1 2:Column 2>Column 2/",
         "1796637600000 1; 1796637600500 2; 1796637600000 3; 1796637600000 4; "
         "1796637600000 5; 1796637600000 6"},
        {"a day no month has is no time: reading numbers, that column not plotted",
         {"2026-02-30 10:00:00,1", "2026-02-28 10:00:00,2"},
         ", 2:Column 2>Column 2/",
         "- 1; - 2"},
        {"epoch seconds, with a fraction",
         {"1765000000,20.5", "1765000060.5,21"},
         ", s@1 2:Column 2>Column 2/",
         "1765000000000 20.5; 1765000060500 21"},
        {"epoch milliseconds with decimal commas",
         {"1765000000000;20,5", "1765000000100;21,5"},
         "; decimal-comma ms@1 2:Column 2>Column 2/",
         "1765000000000 20.5; 1765000000100 21.5"},
        {"epoch seconds in a column named for them; the first column plotted",
         {"id,unix_time,v", "1,1765000000,3", "2,1765000001,4"},
         ", header s@2 1:id>id/ 3:v>v/",
         "1765000000000 1 3; 1765000001000 2 4"},
        {"numbers only: no time, every column plotted",
         {"10,20.5", "20,21"},
         ", 1:Column 1>Column 1/ 2:Column 2>Column 2/",
         "- 10 20.5; - 20 21"},
        {"a semicolon line of decimal commas is two values, never four",
         {"20,00;30,00"},
         "; decimal-comma 1:Column 1>Column 1/ 2:Column 2>Column 2/",
         "- 20 30"},
        {"a column numbers in 4 lines of 5 is plotted, its text a gap; one in 3 of 5 is not",
         {"1,5,a", "2,ERR,6", "3,7,b", "4,8,9", "5,9,c"},
         ", 1:Column 1>Column 1/ 2:Column 2>Column 2/",
         "- 1 5; - 2 -; - 3 7; - 4 8; - 5 9"},
        {"labels the axis or another series has keep their whole names",
         {"Reading;t [C];t [F]", "1;2;3"},
         "; header 1:Reading>Reading (Column 1)/ 2:t [C]>t/C 3:t [F]>t [F]/F",
         "- 1 2 3"},
        {"a header alone", {"time,temp"}, ", header", ""},
        {"nothing", {}, ",", ""},
        {"blank lines only",
         {"", " "},
         "problem: Its first lines are empty, so there is nothing to plot.",
         ""},
        {"decimal commas in a comma file beside a header",
         {"time,temp", "2026-12-07T10:00:00Z,20,5", "2026-12-07T10:00:01Z,21,0"},
         "problem: Its first line names 2 columns but its readings have 3 cells, so the columns "
         "cannot be matched to their names.",
         ""},
        {"decimal commas in a comma file, some values whole",
         {"1,20,5", "2,21", "3,20,75"},
         "problem: Its lines do not all have the same number of cells (2 in line 2, 3 in line 3), "
         "so its columns cannot be told apart.",
         ""},
        {"a first line of more cells than the rest, not a header",
         {"1,2,3", "4,5", "6,7"},
         "problem: Its lines do not all have the same number of cells (3 in line 1, 2 in line 2), "
         "so its columns cannot be told apart.",
         ""},
        {"decimal points and commas mixed",
         {"1;2,5", "2;2.5"},
         "problem: It mixes decimal points and decimal commas, so a value could be misread.",
         ""},
        {"some lines by semicolons, some by commas",
         {"1;2", "3,4", "5;6"},
         "problem: Its lines are not all divided into cells the same way: some by semicolons, "
         "some not.",
         ""},
        {"thousands grouped with points and decimal commas: no number",
         {"a;1.234,5", "b;2.345,6"},
         "problem: None of its columns holds numbers in most of its lines, so there is nothing "
         "to plot.",
         ""},
    };
    for (const auto& c : cases) {
        const ReadingsFormat format = SniffFormat(c.lines);
        EXPECT_EQ(Described(format), c.format) << c.what;
        if (format.problem.empty()) {
            EXPECT_EQ(Read(format, c.lines), c.readings) << c.what;
        }
    }
    // Past the first lines, a line whose cells do not line up, or a value with the other mark,
    // gives nothing rather than a wrong value.
    const ReadingsFormat format = SniffFormat({"t;v", "1;2,5", "2;3,5"});
    EXPECT_EQ(Read(format, {"t;v", "1;2.5", "2;3;5", "3;4,5"}), "- 1 -; unread - - -; - 3 4.5");

    // Every number read as the standard library reads it, to the last bit, whichever way.
    for (const std::string text : {"0.1", "-0.0", "5.", ".5", "123456789012345", "0.3",
                                   "1234567890123456", "0.000000000000001", "1e-3", "-7.25",
                                   "9007199254740993", "1013.25", "20.123456789012345"}) {
        double fast = 0, slow = 0;
        ASSERT_TRUE(ReadNumber(text, false, fast)) << text;
        std::from_chars(text.data(), text.data() + text.size(), slow);
        EXPECT_EQ(std::memcmp(&fast, &slow, sizeof fast), 0) << text;
    }
}

}  // namespace
