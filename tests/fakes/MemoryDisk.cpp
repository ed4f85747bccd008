#include "fakes/MemoryDisk.h"

#include <algorithm>
#include <cstring>

namespace {

// The directory a path lies in, with its separator: "" for a path without one.
std::string ParentOf(const std::string& path) {
    std::string trimmed = path;
    if (!trimmed.empty() && trimmed.back() == platform::kPathSeparator) {
        trimmed.pop_back();
    }
    const std::size_t at = trimmed.rfind(platform::kPathSeparator);
    return at == std::string::npos ? std::string() : trimmed.substr(0, at + 1);
}

}  // namespace

class MemoryDisk::OpenFile final : public DiskFile {
public:
    OpenFile(MemoryDisk& disk, std::string path) : disk_(disk), path_(std::move(path)) {}

    bool Write(const void* data, std::size_t size) override {
        std::lock_guard<std::mutex> lock(disk_.mutex_);
        const std::size_t fits = std::min(size, disk_.writeRoom);
        disk_.writeRoom -= fits;
        // A full disk takes what fits and refuses the rest, as a short write would.
        disk_.files_[path_].append(static_cast<const char*>(data), fits);
        return fits == size;
    }
    long Read(void* buffer, std::size_t size) override {
        std::lock_guard<std::mutex> lock(disk_.mutex_);
        const std::string& bytes = disk_.files_[path_];
        const std::size_t n = std::min(size, bytes.size() - std::min(offset_, bytes.size()));
        std::memcpy(buffer, bytes.data() + offset_, n);
        offset_ += n;
        return static_cast<long>(n);
    }
    bool SyncToDisk() override {
        std::lock_guard<std::mutex> lock(disk_.mutex_);
        return !disk_.failSync;
    }
    void StartWriteBack() override {}

private:
    MemoryDisk& disk_;
    std::string path_;
    std::size_t offset_ = 0;
};

MemoryDisk::MemoryDisk() {
    directories_.insert(std::string(1, platform::kPathSeparator));
}

std::map<std::string, std::string> MemoryDisk::Files() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return files_;
}

std::set<std::string> MemoryDisk::Created() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return created_;
}

bool MemoryDisk::ParentExists(const std::string& path) const {
    const std::string parent = ParentOf(path);
    return parent.empty() || directories_.contains(parent);
}

bool MemoryDisk::PathExists(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    return files_.contains(path) || directories_.contains(path);
}

bool MemoryDisk::IsDirectory(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    return directories_.contains(path);
}

bool MemoryDisk::MakeDirectory(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (files_.contains(path) || directories_.contains(path) || !ParentExists(path)) {
        return false;
    }
    directories_.insert(path);
    created_.insert(path);
    return true;
}

platform::FileOutcome MemoryDisk::CreateNew(const std::string& path,
                                            std::unique_ptr<DiskFile>* file) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (files_.contains(path) || directories_.contains(path + platform::kPathSeparator)) {
        return platform::FileOutcome::Taken;
    }
    if (!ParentExists(path)) {
        return platform::FileOutcome::Failed;
    }
    files_[path];
    created_.insert(path);
    *file = std::make_unique<OpenFile>(*this, path);
    return platform::FileOutcome::Done;
}

std::unique_ptr<DiskFile> MemoryDisk::OpenForReading(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!files_.contains(path)) {
        return nullptr;
    }
    return std::make_unique<OpenFile>(*this, path);
}

platform::FileOutcome MemoryDisk::MoveNoReplace(const std::string& from, const std::string& to) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!takeBeforeMove.empty()) {
        files_[takeBeforeMove];
        takeBeforeMove.clear();
    }
    if (failMove || !files_.contains(from) || !ParentExists(to)) {
        return platform::FileOutcome::Failed;
    }
    if (files_.contains(to) || directories_.contains(to + platform::kPathSeparator)) {
        return platform::FileOutcome::Taken;
    }
    files_[to] = std::move(files_[from]);
    files_.erase(from);
    created_.insert(to);
    return platform::FileOutcome::Done;
}

bool MemoryDisk::RemoveFile(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    return files_.erase(path) > 0;
}

void MemoryDisk::Put(const std::string& path, const std::string& bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    files_[path] = bytes;
}
