#pragma once

// The received files of every instrument, as the File Transfers window and `orbtray list` show
// them: one record per ".csv" file one level below the Data folder, newest first.

#include <cstdint>
#include <string>
#include <vector>

struct FileRecord {
    std::string serial;      // the serial-number folder's name, as the listing gives it
    std::string fileName;    // the file's own name, no directory part
    std::uint32_t size;      // low 32 bits of the size in bytes
    std::uint64_t lastWrite; // 100-ns intervals since 1601-01-01 00:00 UTC (a Windows FILETIME)
};

// Replaces `records` with the files found now, newest first by `lastWrite` (equal times in no
// defined order). `dataFolder` ends in the platform's path separator. The vector's storage is
// reused, so a caller that keeps it between scans does not reallocate.
void ScanDataFolder(const std::string& dataFolder, std::vector<FileRecord>& records);
