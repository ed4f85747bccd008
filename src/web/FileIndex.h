#pragma once

// The received files the page may serve: exactly those the Data folder scan lists, less what
// would not be read (ScanStoredFiles). A request names a file by its serial folder and file name
// as listed; the file is opened from the listed entry only, never from the request's text.
// This cache is the page's: its lifetimes are set by how often browsers ask, and its lookup
// takes back the names the page shows with U+FFFD for bytes that are not UTF-8.
// Route handlers run on the server's thread and the notifications' threads mark the list stale: the
// cached scan is guarded by a mutex, the stale mark is atomic.
//
// A transfer the page follows is named by the page's number for its link. While it runs, its
// temporary file is opened by the name its receiver reported, under the same rule as a listed
// file; once over, the file it became is opened as listed.

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

#include "datafolder/Scan.h"
#include "datafolder/StoredFile.h"

class FileIndex {
public:
    explicit FileIndex(std::string dataFolder);

    using Records = std::shared_ptr<const std::vector<FileRecord>>;

    // The files as a scan lists them now, newest first, less those that would not be served;
    // shared, not copied, however many there are. However many browsers ask, the folder is
    // scanned at most once per kListLifetime, and again soon after Changed.
    [[nodiscard]] Records Scan();
    [[nodiscard]] std::optional<StoredFile> Open(std::string_view dir, std::string_view name);
    // The folder has changed: the next lookup scans again.
    void Changed();

    // Where the transfer of a link is: its serial folder and file name, and whether that is the
    // temporary file still being written or the file it became.
    struct LiveFile {
        std::string dir, name;
        bool receiving;
    };
    using LiveLookup = std::function<std::optional<LiveFile>(std::uint64_t link)>;
    // Set once, before the server starts.
    void FollowLinks(LiveLookup lookup) { live_ = std::move(lookup); }
    // Nothing when the link's transfer is unknown (`known` false), or when its file cannot be
    // opened (a temporary file just renamed, say).
    [[nodiscard]] std::optional<StoredFile> OpenLive(std::uint64_t link, bool& known);
    const std::string& DataFolder() const { return dataFolder_; }

private:
    using Clock = std::chrono::steady_clock;
    // A lookup trusts a scan this recent; an older one, or a miss, scans again, so files copied
    // in by hand are found as soon as the list shows them. Misses cost a client nothing, so
    // one that keeps asking for names that are not there gets a scan a second at most.
    static constexpr auto kScanLifetime = std::chrono::seconds(2);
    static constexpr auto kRescanAfterMiss = std::chrono::seconds(1);
    static constexpr auto kListLifetime = std::chrono::milliseconds(250);
    // Whatever the lifetime, a scan is trusted for this many times as long as it took: in a
    // folder of a hundred thousand files, scans take at most a fifth of the page's thread.
    static constexpr int kScanCostShare = 4;

    // Whether the scan is older than `lifetime`, stretched by what the scan cost.
    bool OlderThanLocked(Clock::duration lifetime) const;
    void RescanLocked();
    const FileRecord* FindLocked(std::string_view dir, std::string_view name) const;

    const std::string dataFolder_;
    std::mutex mutex_;
    Records records_;                // guarded by mutex_
    Clock::time_point scannedAt_{};  // guarded by mutex_
    Clock::duration scanTook_{};     // guarded by mutex_
    // Set by the notifications' threads without waiting for a scan in progress.
    std::atomic<bool> stale_{true};
    LiveLookup live_;
};

// A link's number as a request gives it: decimal digits only, as the page wrote them.
[[nodiscard]] std::optional<std::uint64_t> LinkNumber(std::string_view text);
