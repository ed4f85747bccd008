#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>

#include "fakes/ScratchFolder.h"
#include "datafolder/RowText.h"
#include "datafolder/Scan.h"

namespace {

namespace fs = std::filesystem;

// The file list of a Data folder holding what transfers leave behind and what they never do:
// only ".csv" files (any case) right inside a serial folder are rows, newest first whatever
// their folder or name, with the serial decoded, the UTC time and the size read as signed 32 bits.
TEST(Scan, ListsEachCsvFileOfEverySerialFolderNewestFirst) {
    const struct {
        const char* path;  // a trailing '/' makes a directory
        std::int64_t utc;
        std::uintmax_t size;
        const char* row;  // nullptr: not listed
    } entries[] = {
        {"loose.csv", 1700000000, 1, nullptr},
        {"S123/deeper/241224-180000.csv", 1735063200, 1, nullptr},
        {"S123/x.csv/", 0, 0, nullptr},
        {"S123/251214-025417.tmp", 1765680857, 1, nullptr},
        {"S123/240229-233000.csv", 1709249400, 5,
         "2024-02-29 23:30:00\tS123\t240229-233000.csv\t5 bytes"},
        {"S123/OLD.CSV", 946684799, 3000000000,
         "1999-12-31 23:59:59\tS123\tOLD.CSV\t-1294967296 bytes"},
        {"a%2Fb%20/z.csv", 4107542400, 4294967396, "2100-03-01 00:00:00\ta/b \tz.csv\t100 bytes"},
        {".hidden/a.Csv", 1709251199, 0, "2024-02-29 23:59:59\t.hidden\ta.Csv\t0 bytes"},
        // Equal times, in two folders: either order is right.
        {"S9/same.csv", 1500000000, 2, "2017-07-14 02:40:00\tS9\tsame.csv\t2 bytes"},
        {"S123/same.csv", 1500000000, 3, "2017-07-14 02:40:00\tS123\tsame.csv\t3 bytes"},
    };
    ScratchFolder data;
    std::vector<std::string> expected;
    for (const auto& entry : entries) {
        const fs::path path = fs::path(data.Path()) / fs::path(entry.path).make_preferred();
        if (std::string_view(entry.path).ends_with('/')) {
            fs::create_directories(path);
            continue;
        }
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary).put('x');
        fs::resize_file(path, entry.size);  // sparse: no gigabytes written
        fs::last_write_time(path, std::chrono::file_clock::from_sys(
                                      std::chrono::sys_seconds(std::chrono::seconds(entry.utc))));
        if (entry.row != nullptr) {
            expected.push_back(std::string(entry.row) + "\n");
        }
    }

    std::vector<FileRecord> records;
    ScanDataFolder(data.Path(), records);
    std::vector<std::string> rows;
    for (const FileRecord& record : records) {
        rows.emplace_back();
        AppendTextRow(rows.back(), record);
    }
    EXPECT_TRUE(std::is_sorted(
        records.begin(), records.end(),
        [](const FileRecord& a, const FileRecord& b) { return a.lastWrite > b.lastWrite; }))
        << testing::PrintToString(rows);
    std::sort(rows.begin(), rows.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(rows, expected);

    ScanDataFolder(data.Path() + "missing" + platform::kPathSeparator, records);
    EXPECT_TRUE(records.empty());
}

}  // namespace
