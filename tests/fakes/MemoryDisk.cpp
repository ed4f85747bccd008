#include "fakes/MemoryDisk.h"

#include <algorithm>
#include <cstring>

class MemoryDisk::OpenFile final : public DiskFile {
public:
    OpenFile(MemoryDisk& disk, std::string path)
        : disk_(disk), path_(std::move(path)), identity_(disk_.identities_[path_]) {}

    bool Write(const void* data, std::size_t size) override {
        // A full disk takes what fits and refuses the rest, as a short write would.
        const std::size_t fits = std::min(size, disk_.writeRoom);
        disk_.writeRoom -= fits;
        if (StillNamed()) {
            disk_.files_[path_].append(static_cast<const char*>(data), fits);
        }
        // What the open file holds, whatever happens to its name.
        content_.append(static_cast<const char*>(data), fits);
        return fits == size;
    }
    long ReadAt(std::uint64_t offset, void* buffer, std::size_t size) override {
        const std::size_t from = std::min<std::size_t>(offset, content_.size());
        const std::size_t n = std::min(size, content_.size() - from);
        std::memcpy(buffer, content_.data() + from, n);
        return static_cast<long>(n);
    }
    bool StillNamed() override {
        const auto named = disk_.identities_.find(path_);
        return named != disk_.identities_.end() && named->second == identity_;
    }
    platform::FileOutcome MoveOver(const std::string& to) override;
    std::uint64_t Size() override { return content_.size(); }
    // An in-memory file has no clock of its own.
    std::uint64_t LastWrite() override { return 0; }
    long Read(void* buffer, std::size_t size) override {
        const std::string& bytes = disk_.files_[path_];
        const std::size_t n = std::min(size, bytes.size() - std::min(offset_, bytes.size()));
        std::memcpy(buffer, bytes.data() + offset_, n);
        offset_ += n;
        return static_cast<long>(n);
    }
    bool SyncToDisk() override {
        if (!disk_.takeAwayOnSync.empty()) {
            const std::string prefix = std::move(disk_.takeAwayOnSync);
            disk_.takeAwayOnSync.clear();
            disk_.TakeAway(prefix);
        }
        return !disk_.failSync;
    }
    void StartWriteBack() override {}
    platform::FileOutcome MoveTo(const std::string& to) override;
    bool Remove() override {
        if (!StillNamed()) {
            return false;
        }
        disk_.identities_.erase(path_);
        return disk_.files_.erase(path_) > 0;
    }
    bool MarkReadOnly() override {
        disk_.readOnly_.insert(path_);
        return true;
    }

private:
    // Gives the file its new name in the disk's tables.
    void Rename(const std::string& to) {
        disk_.files_[to] = std::move(disk_.files_[path_]);
        disk_.files_.erase(path_);
        disk_.identities_.erase(path_);
        disk_.identities_[to] = identity_;
        disk_.created_.insert(to);
        path_ = to;
    }

    MemoryDisk& disk_;
    std::string path_;
    unsigned identity_;
    std::size_t offset_ = 0;
    std::string content_;
};

void MemoryDisk::TakeAway(const std::string& prefix) {
    for (auto file = files_.begin(); file != files_.end();) {
        if (file->first.starts_with(prefix)) {
            identities_.erase(file->first);
            file = files_.erase(file);
        } else {
            ++file;
        }
    }
    std::erase_if(directories_, [&](const std::string& d) { return d.starts_with(prefix); });
}

bool MemoryDisk::ParentExists(const std::string& path) const {
    std::string trimmed = path;
    if (!trimmed.empty() && trimmed.back() == platform::kPathSeparator) {
        trimmed.pop_back();
    }
    const std::size_t at = trimmed.rfind(platform::kPathSeparator);
    return at == std::string::npos || directories_.contains(trimmed.substr(0, at + 1));
}

bool MemoryDisk::MakeDirectory(const std::string& path) {
    if (PathExists(path) || !ParentExists(path)) {
        return false;
    }
    directories_.insert(path);
    created_.insert(path);
    return true;
}

platform::FileOutcome MemoryDisk::CreateNew(const std::string& path,
                                            std::unique_ptr<DiskFile>* file) {
    if (Taken(path)) {
        return platform::FileOutcome::Taken;
    }
    if (!ParentExists(path)) {
        return platform::FileOutcome::Failed;
    }
    files_[path];
    identities_[path] = ++lastIdentity_;
    created_.insert(path);
    *file = std::make_unique<OpenFile>(*this, path);
    return platform::FileOutcome::Done;
}

std::unique_ptr<DiskFile> MemoryDisk::OpenForReading(const std::string& path) {
    return files_.contains(path) ? std::make_unique<OpenFile>(*this, path) : nullptr;
}

platform::FileOutcome MemoryDisk::OpenFile::MoveTo(const std::string& to) {
    MemoryDisk& disk = disk_;
    if (!disk.takeBeforeMove.empty()) {
        disk.files_[disk.takeBeforeMove];
        disk.takeBeforeMove.clear();
    }
    if (disk.failMoves > 0) {
        --disk.failMoves;
        return platform::FileOutcome::Failed;
    }
    if (disk.busyMoves > 0) {
        --disk.busyMoves;
        return platform::FileOutcome::Busy;
    }
    if (!StillNamed() || !disk.ParentExists(to)) {
        return platform::FileOutcome::Failed;
    }
    if (disk.Taken(to)) {
        return platform::FileOutcome::Taken;
    }
    Rename(to);
    return platform::FileOutcome::Done;
}

platform::FileOutcome MemoryDisk::OpenFile::MoveOver(const std::string& to) {
    if (disk_.failMoves > 0) {
        --disk_.failMoves;
        return platform::FileOutcome::Failed;
    }
    if (!StillNamed() || !disk_.ParentExists(to)) {
        return platform::FileOutcome::Failed;
    }
    Rename(to);
    return platform::FileOutcome::Done;
}
