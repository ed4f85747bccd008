#pragma once

// The received files the page may serve: exactly those the Data folder scan lists. A request
// names a file by its serial folder and file name as listed; the path is built only from the
// listed entry, never from the request, and is opened beneath the Data folder without following
// a link. The list leaves out what would not be served (links, pipes, second names of a file).
// Route handlers run on the server's thread and the notifications' threads mark the list stale: the
// cached scan is guarded by a mutex, the stale mark is atomic.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "datafolder/CsvLines.h"
#include "datafolder/Scan.h"
#include "platform/FileSystem.h"

// A listed file opened for reading. Read through its descriptor only: whatever its names come
// to lead to afterwards, the bytes are the file's that was opened.
class ListedFile {
public:
    ListedFile(FileRecord listed, std::unique_ptr<platform::File> opened)
        : record(std::move(listed)), size(opened->Size()), file_(std::move(opened)) {}

    // Calls `visit` for each line (see CsvLines.h) of the file's first kReadBudget bytes, a
    // piece at a time, with lines cut to kMaxLineBytes: whatever the file holds, the memory
    // used stays near a megabyte. A read that fails ends the file there.
    [[nodiscard]] LinesRead EachLine(const LineVisitor& visit);
    // Hands the open file over; the ListedFile reads no more.
    [[nodiscard]] std::unique_ptr<platform::File> TakeFile() { return std::move(file_); }

    FileRecord record;
    std::uint64_t size;  // full size, not cut to 32 bits

private:
    // Whether the file has a line end in its first kLineEndWithin bytes, or is no longer.
    [[nodiscard]] bool HasLineEnds(char* buffer);

    std::unique_ptr<platform::File> file_;
};

class FileIndex {
public:
    explicit FileIndex(std::string dataFolder);

    // The files as a scan lists them now, newest first, less those that would not be served.
    // However many browsers ask, the folder is scanned at most once per kListLifetime, and again at
    // once after Changed.
    [[nodiscard]] std::vector<FileRecord> Scan();
    [[nodiscard]] std::optional<ListedFile> Open(std::string_view dir, std::string_view name);
    // The folder has changed: the next lookup scans again.
    void Changed();
    const std::string& DataFolder() const { return dataFolder_; }

private:
    using Clock = std::chrono::steady_clock;
    // A lookup trusts a scan this recent; an older one, or a miss, scans again, so files copied
    // in by hand are found as soon as the list shows them.
    static constexpr auto kScanLifetime = std::chrono::seconds(2);
    static constexpr auto kRescanAfterMiss = std::chrono::milliseconds(100);
    static constexpr auto kListLifetime = std::chrono::milliseconds(250);

    void RescanLocked();
    const FileRecord* FindLocked(std::string_view dir, std::string_view name) const;

    const std::string dataFolder_;
    std::mutex mutex_;
    std::vector<FileRecord> records_;  // guarded by mutex_
    Clock::time_point scannedAt_{};    // guarded by mutex_
    // Set by the notifications' threads without waiting for a scan in progress.
    std::atomic<bool> stale_{true};
};
