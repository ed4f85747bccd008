#include "platform/FileSystem.h"

#include <aio.h>
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

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

// A directory made unwritable or immutable, or a busy mount, may be put right again in a moment.
FileOutcome MoveFailureOutcome() {
    return errno == EACCES || errno == EPERM || errno == EBUSY ? FileOutcome::Busy
                                                               : FailureOutcome();
}

// The writer's hold on its file: a write lock on the whole file, owned by the open file
// description. Unlike a classic POSIX lock, it is not dropped when the same process opens and
// closes the file elsewhere; unlike flock, NFS passes it on to the server, so receivers on other
// machines see it too.
bool LockWholeFile(int fd) {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    return ::fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

// Whether `path` still names the file open as `fd`.
bool StillNamed(int fd, const std::string& path) {
    struct stat opened {};
    struct stat named {};
    return ::fstat(fd, &opened) == 0 && ::lstat(path.c_str(), &named) == 0 &&
           opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

// The errors of a file system that cannot do a rename or link at all, as opposed to one that
// refuses this rename now. FUSE FAT answers a no-replace rename with EINVAL and a link with
// EPERM; network mounts vary.
bool Unsupported(int error) {
    return error == EINVAL || error == EPERM || error == ENOSYS || error == EOPNOTSUPP;
}

// Takes `to` by creating it exclusively, empty, then renames `from` over that placeholder of our
// own. Between the two steps the name is ours, so the rename replaces nothing of anyone else's;
// every other writer creates its names exclusively too.
FileOutcome MoveOverPlaceholder(const std::string& from, const std::string& to) {
    const int placeholder = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (placeholder < 0) {
        return MoveFailureOutcome();
    }
    ::close(placeholder);
    if (::rename(from.c_str(), to.c_str()) == 0) {
        return FileOutcome::Done;
    }
    const FileOutcome failed = MoveFailureOutcome();
    ::unlink(to.c_str());
    return failed == FileOutcome::Taken ? FileOutcome::Failed : failed;
}

// A rename that itself refuses an existing `to`: 0 when done, -1 with errno set when it failed,
// -2 when the file system can do no such rename at all.
int RenameRefusingToReplace(const std::string& from, const std::string& to) {
    // rename(2) would silently replace `to`; renameat2 can refuse instead.
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
        return -1;
    }
    // File systems without RENAME_NOREPLACE: a hard link fails on an existing name just the same.
    if (::link(from.c_str(), to.c_str()) == 0) {
        ::unlink(from.c_str());
        return 0;
    }
    return Unsupported(errno) ? -2 : -1;
}
}  // namespace

FileOutcome MoveFileNoReplace(const std::string& from, const std::string& to) {
    switch (RenameRefusingToReplace(from, to)) {
        case 0:
            return FileOutcome::Done;
        case -1:
            return MoveFailureOutcome();
        default:
            return MoveOverPlaceholder(from, to);
    }
}

bool RemoveFile(const std::string& path) {
    return ::unlink(path.c_str()) == 0;
}

bool RemoveUnlessHeld(const std::string& path, std::chrono::seconds unchangedFor) {
    // Opened for writing, since only that allows the write lock that tells whether a writer holds
    // it; never through a link. Without O_TRUNC, opening changes nothing.
    const int fd = ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    // A file whose lock cannot be had is held, or on a file system that cannot tell: either way
    // it stays. Once locked, no writer of this machine can take it up any more; the name is
    // looked at again, since another clean-up may have removed the file we opened and a writer
    // created a new one under its name. A writer on another mount of the same share holds a lock
    // we cannot see: it is told by the file still changing.
    const bool removable = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                           (st.st_mode & 0222) != 0 &&
                           now.tv_sec - st.st_mtim.tv_sec >= unchangedFor.count() &&
                           LockWholeFile(fd) && StillNamed(fd, path);
    const bool removed = removable && ::unlink(path.c_str()) == 0;
    ::close(fd);
    return removed;
}

bool RemoveEmptyDirectory(const std::string& path) {
    // rmdir refuses a symbolic link; a link is a file here, and unlink removes it.
    return ::rmdir(path.c_str()) == 0 || ::unlink(path.c_str()) == 0;
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

bool SyncTogether(const std::vector<File*>& files) {
    // syncfs reports a failed write-back since Linux 5.8; before that it says nothing, and the
    // read-back that follows is what catches a copy gone wrong.
    return files.empty() || ::syncfs(static_cast<int>(files.front()->Handle())) == 0;
}

namespace {

// Seconds between 1601-01-01 and 1970-01-01, the two epochs.
constexpr std::int64_t kEpochDifference = 11644473600;

std::uint64_t FileTimeOf(const struct timespec& time) {
    const std::int64_t seconds = static_cast<std::int64_t>(time.tv_sec) + kEpochDifference;
    if (seconds < 0) {
        return 0;
    }
    return static_cast<std::uint64_t>(seconds) * 10000000u +
           static_cast<std::uint64_t>(time.tv_nsec) / 100u;
}

}  // namespace

std::uint64_t LastWriteOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? FileTimeOf(st.st_mtim) : 0;
}

std::uint64_t File::LastWrite() const {
    struct stat st {};
    return IsOpen() && ::fstat(static_cast<int>(handle_), &st) == 0 ? FileTimeOf(st.st_mtim) : 0;
}

namespace {

EntryKind KindOf(mode_t mode) {
    return S_ISREG(mode)   ? EntryKind::File
           : S_ISDIR(mode) ? EntryKind::Directory
                           : EntryKind::Other;
}

// Fills in what the name leads to. False when the entry is gone by now.
bool Describe(int directoryFd, const char* name, DirectoryEntry& entry) {
    struct stat st {};
    if (::fstatat(directoryFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return false;
    }
    entry.isLink = S_ISLNK(st.st_mode);
    // A link to nothing is still listed, as itself.
    if (entry.isLink && ::fstatat(directoryFd, name, &st, 0) != 0) {
        entry.kind = EntryKind::Other;
    } else {
        entry.kind = KindOf(st.st_mode);
    }
    if (entry.kind != EntryKind::Directory) {
        entry.size = static_cast<std::uint64_t>(st.st_size);
        entry.lastWrite = FileTimeOf(st.st_mtim);
    }
    return true;
}

}  // namespace

bool ListDirectory(const std::string& directory,
                   const std::function<void(const DirectoryEntry&)>& visit) {
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) {
        return false;
    }
    const int fd = ::dirfd(dir);
    while (const dirent* found = ::readdir(dir)) {
        const char* name = found->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) {
            continue;
        }
        DirectoryEntry entry{name, EntryKind::Directory, false, 0, 0};
        // Most file systems say in the listing itself which entries are directories, which
        // saves a stat for each serial folder; everything else needs one for its size and time.
        if (found->d_type != DT_DIR && !Describe(fd, name, entry)) {
            continue;
        }
        visit(entry);
    }
    ::closedir(dir);
    return true;
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

namespace {
// Makes the file without a name, locks it, and only then gives it `path`, exclusively: another
// receiver's clean-up can never find it unlocked. -1 with errno EEXIST when the name is taken,
// and -2 where the file system or the system cannot do it this way (NFS has no nameless files).
int CreateLockedBeforeNamed(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const int fd = ::open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    if (fd < 0) {
        return -2;
    }
    // Naming through /proc needs no privilege, unlike linkat's AT_EMPTY_PATH.
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    if (LockWholeFile(fd) &&
        ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        return fd;
    }
    const int error = errno;
    ::close(fd);
    errno = error;
    return error == EEXIST ? -1 : -2;
}
}  // namespace

FileOutcome File::CreateNew(const std::string& path) {
    Close();
    const int locked = CreateLockedBeforeNamed(path);
    if (locked == -1) {
        return FileOutcome::Taken;
    }
    if (locked >= 0) {
        handle_ = locked;
        path_ = path;
        return FileOutcome::Done;
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        return FailureOutcome();
    }
    // Where the file has to be named first, a clean-up starting elsewhere may, until the lock is
    // taken, take the new, empty file for a leftover, lock it and remove it: a lock we cannot get,
    // or a name that no longer leads to our file, means the name is someone else's now. Where the
    // file system has no locks at all (ENOLCK: NFS without its lock service), the clean-up cannot
    // lock either and removes nothing.
    const bool lockRefused = !LockWholeFile(fd) && (errno == EAGAIN || errno == EACCES);
    if (lockRefused || !platform::StillNamed(fd, path)) {
        ::close(fd);
        return FileOutcome::Taken;
    }
    handle_ = fd;
    path_ = path;
    return FileOutcome::Done;
}

FileOutcome File::MoveTo(const std::string& to) {
    // The descriptor, and with it the lock, stays: there is no moment at which the file is
    // nobody's.
    const FileOutcome moved = MoveFileNoReplace(path_, to);
    if (moved == FileOutcome::Done) {
        path_ = to;
    }
    return moved;
}

FileOutcome File::MoveOver(const std::string& to) {
    if (::rename(path_.c_str(), to.c_str()) != 0) {
        return MoveFailureOutcome();
    }
    path_ = to;
    return FileOutcome::Done;
}

bool File::StillNamed() const {
    return IsOpen() && platform::StillNamed(static_cast<int>(handle_), path_);
}

long File::ReadAt(std::uint64_t offset, void* buffer, std::size_t size) {
    for (;;) {
        const ssize_t n =
            ::pread(static_cast<int>(handle_), buffer, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return static_cast<long>(n);
    }
}

bool File::Remove() {
    const bool removed = ::unlink(path_.c_str()) == 0;
    Close();
    return removed;
}

bool File::MarkReadOnly() {
    const bool marked = IsOpen() ? ::fchmod(static_cast<int>(handle_), 0444) == 0
                                 : ::chmod(path_.c_str(), 0444) == 0;
    Close();
    return marked;
}

bool File::OpenForReading(const std::string& path) {
    Close();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    handle_ = fd < 0 ? kInvalid : fd;
    path_ = path;
    return IsOpen();
}

bool File::OpenHeld(const std::string& path) {
    Close();
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd < 0) {
        return false;
    }
    if (!LockWholeFile(fd)) {
        ::close(fd);
        return false;
    }
    handle_ = fd;
    path_ = path;
    return true;
}

bool File::OpenForAppend(const std::string& path) {
    Close();
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
    handle_ = fd < 0 ? kInvalid : fd;
    path_ = path;
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

SmallFile ReadSmallFile(const std::string& path, std::size_t limit) {
    SmallFile file;
    // Non-blocking, so that opening a FIFO does not wait for a writer; it is refused below.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        file.error = std::strerror(errno);
        return file;
    }
    file.opened = true;
    struct stat st {};
    file.regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    file.openToOthers = (st.st_mode & (S_IRWXG | S_IRWXO)) != 0;
    if (file.regular) {
        file.bytes.resize(limit + 1);
        std::size_t count = 0;
        while (count < file.bytes.size()) {
            const ssize_t n = ::read(fd, file.bytes.data() + count, file.bytes.size() - count);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0) {
                file.error = std::strerror(errno);
            }
            if (n <= 0) {
                break;
            }
            count += static_cast<std::size_t>(n);
        }
        file.bytes.resize(count);
    }
    ::close(fd);
    return file;
}

namespace {
// "permission denied", as a sentence part: strerror's text without its capital.
std::string ErrorText(int error) {
    std::string text = std::strerror(error);
    if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z' && (text.size() < 2 || text[1] > 'Z')) {
        text[0] = static_cast<char>(text[0] - 'A' + 'a');
    }
    return text;
}
}  // namespace

FileError LastFileError() {
    const int error = errno;
    FileError described{FileErrorKind::Other, ErrorText(error == 0 ? EIO : error)};
    switch (error) {
        case ENOSPC:
        case EDQUOT:
            described.kind = FileErrorKind::NoSpace;
            break;
        case EACCES:
        case EPERM:
            described.kind = FileErrorKind::Denied;
            break;
        case EROFS:
            described.kind = FileErrorKind::ReadOnly;
            break;
        // A share whose server went away answers with the network's errors, or a stale handle.
        case ENOENT:
        case ENOTDIR:
        case ENODEV:
        case ENXIO:
        case ENOTCONN:
        case ESTALE:
        case EHOSTDOWN:
        case EHOSTUNREACH:
        case ENETUNREACH:
            described.kind = FileErrorKind::Missing;
            break;
        default:
            break;
    }
    return described;
}

FolderAbilities ProbeFolder(const std::string& directory) {
    FolderAbilities abilities;
    std::string folder = directory;
    if (!folder.empty() && folder.back() != '/') {
        folder += '/';
    }
    // Names neither the file list nor a clean-up ever looks at, unique to this process.
    const std::string stem = folder + ".orbtray-probe-" + std::to_string(::getpid());
    const std::string first = stem + ".a";
    const std::string second = stem + ".b";
    ::unlink(first.c_str());
    ::unlink(second.c_str());
    const int fd = ::open(first.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        abilities.writeError = ErrorText(errno);
        return abilities;
    }
    const char probe[] = "orbtray\n";
    if (::write(fd, probe, sizeof probe - 1) != static_cast<ssize_t>(sizeof probe - 1) ||
        ::fsync(fd) != 0) {
        abilities.writeError = ErrorText(errno == 0 ? EIO : errno);
    }
    abilities.holds = LockWholeFile(fd);
    ::close(fd);
    abilities.noReplaceRename = RenameRefusingToReplace(first, second) != -2;
    ::unlink(second.c_str());
    if (::unlink(first.c_str()) != 0 && errno != ENOENT && abilities.writeError.empty()) {
        abilities.writeError = ErrorText(errno);
    }
    return abilities;
}

}  // namespace platform
