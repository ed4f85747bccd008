#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>

#include "datafolder/RowText.h"
#include "datafolder/Scan.h"
#include "fakes/ScratchFolder.h"

namespace {

namespace fs = std::filesystem;

// The file list's rows as every platform's listing gives them: ".csv" in any case and never a
// folder, newest first whatever their folder or name, with the serial decoded, the UTC time and
// the size read as signed 32 bits. (Which entries a transfer leaves out, loose files, ".tmp" and
// deeper folders, the web test checks against `orbtray list`.)
TEST(Scan, ListsEachCsvFileOfEverySerialFolderNewestFirst) {
    const struct {
        const char* path;  // a trailing '/' makes a directory
        std::int64_t utc;
        std::uintmax_t size;
        const char* row;  // nullptr: not listed
    } entries[] = {
        {"S123/x.csv/", 0, 0, nullptr},
        {"S123/OLD.CSV", 946684799, 3000000000,
         "1999-12-31 23:59:59\tS123\tOLD.CSV\t-1294967296 bytes"},
        {"a%2Fb%20/z.csv", 4107542400, 4294967396, "2100-03-01 00:00:00\ta/b \tz.csv\t100 bytes"},
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
