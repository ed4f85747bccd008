#include "platform/FileSystem.h"

#include <aio.h>
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

bool PathExists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

bool TargetExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool MakeDirectory(const std::string& path) {
    return ::mkdir(path.c_str(), 0777) == 0;
}

namespace {
FileOutcome FailureOutcome() {
    return errno == EEXIST ? FileOutcome::Taken : FileOutcome::Failed;
}
}  // namespace

FileOutcome MoveFileNoReplace(const std::string& from, const std::string& to) {
    // rename(2) would silently replace `to`; renameat2 can refuse instead.
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return FileOutcome::Done;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return FailureOutcome();
    }
    // File systems without RENAME_NOREPLACE: a hard link fails on an existing name just the same.
    if (::link(from.c_str(), to.c_str()) != 0) {
        return FailureOutcome();
    }
    ::unlink(from.c_str());
    return FileOutcome::Done;
}

bool RemoveFile(const std::string& path) {
    return ::unlink(path.c_str()) == 0;
}

bool SyncDirectory(const std::string& directory) {
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

std::vector<std::string> ListDirectory(const std::string& directory, EntryKind kind) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) {
        return names;
    }
    std::string base = directory;
    if (!base.empty() && base.back() != kPathSeparator) {
        base += kPathSeparator;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") {
            continue;
        }
        struct stat st {};
        if (::lstat((base + name).c_str(), &st) != 0) {
            continue;
        }
        // Symbolic links are listed as neither, so a clean-up never follows one out of the tree.
        const bool wanted =
            kind == EntryKind::Directory ? S_ISDIR(st.st_mode) : S_ISREG(st.st_mode);
        if (wanted) {
            names.push_back(name);
        }
    }
    ::closedir(dir);
    return names;
}

// The disk flush for a file still being written. glibc runs aio_fsync on a helper thread of its
// own, so the flush goes on while the writer keeps receiving. Without it, the whole file would
// wait for the disk at the final fsync; with it, only the last few megabytes do.
struct File::BackgroundSync {
    struct aiocb request {};
    bool running = false;
    // A flush failed. Linux reports a write-back error to one fsync only, and that was ours,
    // so the final SyncToDisk must report it instead.
    bool failed = false;

    // At most one flush runs at a time: a new one while the last is still busy would only
    // queue behind it.
    void Start(int fd) {
        if (running && ::aio_error(&request) == EINPROGRESS) {
            return;
        }
        Collect();
        request = {};
        request.aio_fildes = fd;
        request.aio_sigevent.sigev_notify = SIGEV_NONE;
        running = ::aio_fsync(O_DSYNC, &request) == 0;
    }

    void Wait() {
        const struct aiocb* const list[] = {&request};
        while (running && ::aio_error(&request) == EINPROGRESS) {
            ::aio_suspend(list, 1, nullptr);
        }
        Collect();
    }

private:
    // Keeps the outcome of a finished flush and releases it.
    void Collect() {
        if (running) {
            failed = failed || ::aio_error(&request) != 0;
            ::aio_return(&request);
            running = false;
        }
    }
};

File::File() = default;

File::~File() {
    Close();
}

FileOutcome File::CreateNew(const std::string& path) {
    Close();
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        return FailureOutcome();
    }
    handle_ = fd;
    return FileOutcome::Done;
}

bool File::OpenForReading(const std::string& path) {
    Close();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    handle_ = fd < 0 ? kInvalid : fd;
    return IsOpen();
}

bool File::Write(const void* data, std::size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(static_cast<int>(handle_), bytes, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

long File::Read(void* buffer, std::size_t size) {
    for (;;) {
        const ssize_t n = ::read(static_cast<int>(handle_), buffer, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return static_cast<long>(n);
    }
}

bool File::SyncToDisk() {
    bool earlierFlushesFailed = false;
    if (backgroundSync_) {
        backgroundSync_->Wait();
        earlierFlushesFailed = backgroundSync_->failed;
    }
    return ::fsync(static_cast<int>(handle_)) == 0 && !earlierFlushesFailed;
}

void File::StartWriteBack() {
    if (!backgroundSync_) {
        backgroundSync_ = std::make_unique<BackgroundSync>();
    }
    backgroundSync_->Start(static_cast<int>(handle_));
}

void File::Close() {
    if (backgroundSync_) {
        // The helper thread must not flush a descriptor number that has been reused.
        backgroundSync_->Wait();
        backgroundSync_.reset();
    }
    if (IsOpen()) {
        ::close(static_cast<int>(handle_));
        handle_ = kInvalid;
    }
}

}  // namespace platform
