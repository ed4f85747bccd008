#include "web/FileIndex.h"

#include <algorithm>
#include <charconv>

#include "web/Reply.h"

FileIndex::FileIndex(std::string dataFolder)
    : dataFolder_(std::move(dataFolder)), records_(std::make_shared<std::vector<FileRecord>>()) {}

FileIndex::Records FileIndex::Scan() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (OlderThanLocked(stale_ ? Clock::duration::zero() : kListLifetime)) {
        RescanLocked();
    }
    return records_;
}

bool FileIndex::OlderThanLocked(Clock::duration lifetime) const {
    return Clock::now() - scannedAt_ > std::max(lifetime, scanTook_ * kScanCostShare);
}

void FileIndex::Changed() {
    stale_ = true;
}

void FileIndex::RescanLocked() {
    // Cleared first: a file announced while the scan runs marks the list stale again.
    stale_ = false;
    const auto began = Clock::now();
    auto records = std::make_shared<std::vector<FileRecord>>();
    ScanStoredFiles(dataFolder_, *records);
    records_ = std::move(records);
    scannedAt_ = Clock::now();
    scanTook_ = scannedAt_ - began;
}

namespace {

// The list shows a name that is not UTF-8 with U+FFFD for its stray bytes, and the page can
// only ask for the name as shown; such a request matches the name it was shown for.
bool SameName(const std::string& listed, std::string_view asked) {
    if (listed == asked) {
        return true;
    }
    return asked.find("\xEF\xBF\xBD") != std::string_view::npos &&
           nlohmann::json::parse(JsonText(listed)).get<std::string>() == asked;
}

}  // namespace

const FileRecord* FileIndex::FindLocked(std::string_view dir, std::string_view name) const {
    for (const FileRecord& record : *records_) {
        if (SameName(record.serial, dir) && SameName(record.fileName, name)) {
            return &record;
        }
    }
    return nullptr;
}

std::optional<StoredFile> FileIndex::Open(std::string_view dir, std::string_view name) {
    FileRecord record;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (OlderThanLocked(stale_ ? Clock::duration::zero() : kScanLifetime)) {
            RescanLocked();
        }
        const FileRecord* found = FindLocked(dir, name);
        if (found == nullptr && OlderThanLocked(kRescanAfterMiss)) {
            RescanLocked();
            found = FindLocked(dir, name);
        }
        if (found == nullptr) {
            return std::nullopt;
        }
        record = *found;
    }
    return StoredFile::Open(dataFolder_, std::move(record));
}

std::optional<StoredFile> FileIndex::OpenLive(std::uint64_t link, bool& known) {
    const std::optional<LiveFile> file = live_ ? live_(link) : std::nullopt;
    known = file.has_value();
    if (!file) {
        return std::nullopt;
    }
    if (!file->receiving) {
        return Open(file->dir, file->name);
    }
    return StoredFile::Open(dataFolder_, FileRecord{file->dir, file->name, 0, 0});
}

std::optional<std::uint64_t> LinkNumber(std::string_view text) {
    std::uint64_t value = 0;
    const char* end = text.data() + text.size();
    // from_chars alone would take a leading minus sign.
    if (text.empty() || text.front() < '0' || text.front() > '9') {
        return std::nullopt;
    }
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || stop != end) {
        return std::nullopt;
    }
    return value;
}
