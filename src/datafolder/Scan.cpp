#include "datafolder/Scan.h"

#include <algorithm>
#include <string_view>

#include "platform/FileSystem.h"

namespace {

// Windows matches "*.csv" without regard to case, so "A.CSV" copied in by hand is a data file
// there; the same folder must list the same rows on every platform. ".tmp" files, still being
// received, never match.
bool IsDataFileName(std::string_view name) {
    constexpr std::string_view kSuffix = ".csv";
    if (name.size() < kSuffix.size()) {
        return false;
    }
    const std::string_view tail = name.substr(name.size() - kSuffix.size());
    return std::equal(tail.begin(), tail.end(), kSuffix.begin(), [](char a, char b) {
        return (a >= 'A' && a <= 'Z' ? static_cast<char>(a - 'A' + 'a') : a) == b;
    });
}

}  // namespace

void ScanDataFolder(const std::string& dataFolder, std::vector<FileRecord>& records) {
    records.clear();
    std::string serialFolder;
    platform::ListDirectory(dataFolder, [&](const platform::DirectoryEntry& folder) {
        // Files lying directly in the Data folder belong to no instrument. Hidden folders are
        // still serial folders: a serial may start with a dot.
        if (folder.kind != platform::EntryKind::Directory) {
            return;
        }
        serialFolder.assign(dataFolder).append(folder.name) += platform::kPathSeparator;
        // Only one level down: whatever lies deeper was not put there by a transfer. A folder
        // that cannot be read adds nothing, and the others are still listed.
        platform::ListDirectory(serialFolder, [&](const platform::DirectoryEntry& file) {
            if (file.kind != platform::EntryKind::Directory && IsDataFileName(file.name)) {
                records.push_back(FileRecord{std::string(folder.name), std::string(file.name),
                                             static_cast<std::uint32_t>(file.size),
                                             file.lastWrite});
            }
        });
    });
    // Newest first, by time alone: equal times may come in any order.
    std::sort(records.begin(), records.end(),
              [](const FileRecord& a, const FileRecord& b) { return a.lastWrite > b.lastWrite; });
}
