#pragma once

// The received files the page may serve: exactly those the Data folder scan lists. A request
// names a file by its serial folder and file name as listed; the path is built only from the
// listed entry, never from the request, and must resolve inside the Data folder. Route handlers
// run on the server's thread and the notifications' threads mark the list stale: the cached
// scan is guarded by a mutex, the stale mark is atomic.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "viewer/Scan.h"

// A listed file opened for reading; closes its descriptor unless released.
class ListedFile {
public:
    ListedFile(FileRecord listed, int descriptor, std::uint64_t bytes)
        : record(std::move(listed)), fd(descriptor), size(bytes) {}
    ~ListedFile();
    ListedFile(ListedFile&& other) noexcept;
    ListedFile(const ListedFile&) = delete;
    ListedFile& operator=(const ListedFile&) = delete;
    ListedFile& operator=(ListedFile&&) = delete;

    // Calls `visit` for each line (see CsvLines.h), reading a piece at a time, so a
    // file of any length costs little memory; returns the number of lines. A read that fails
    // ends the file there.
    std::size_t EachLine(const std::function<void(std::string_view)>& visit) const;
    int Release();

    FileRecord record;
    int fd;
    std::uint64_t size;  // full size, not cut to 32 bits
};

class FileIndex {
public:
    explicit FileIndex(std::string dataFolder);

    // The files as a scan lists them now, newest first. However many browsers ask, the folder
    // is scanned at most once per kListLifetime, and again at once after Changed.
    std::vector<FileRecord> Scan();
    std::optional<ListedFile> Open(std::string_view dir, std::string_view name);
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
