#include "platform/posix/OpenBeneath.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "platform/FileSystem.h"

namespace platform {
namespace {

// One level of a path: a name a folder lists, nothing that climbs out or across levels.
bool PlainName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\0", 2)) == std::string_view::npos;
}

bool PlainNames(std::initializer_list<std::string_view> names) {
    if (names.size() == 0) {
        return false;
    }
    for (const std::string_view name : names) {
        if (!PlainName(name)) {
            return false;
        }
    }
    return true;
}

// A pipe must not hold the reader up until a writer comes, nor a tty become our terminal.
constexpr int kReadFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;

// A regular file whose only name is the one it was opened by: a second name could be a hard
// link made to a file outside the root.
bool PlainFile(const struct stat& st) {
    return S_ISREG(st.st_mode) && st.st_nlink == 1;
}

int CloseKeepingError(int fd) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return -1;
}

int OpenByKernel(int rootFd, std::initializer_list<std::string_view> names) {
    std::string path;
    for (const std::string_view name : names) {
        path.append(path.empty() ? "" : "/").append(name);
    }
    struct open_how how {};
    how.flags = kReadFlags;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    return static_cast<int>(::syscall(SYS_openat2, rootFd, path.c_str(), &how, sizeof how));
}

int OpenByWalk(int rootFd, std::initializer_list<std::string_view> names) {
    // Each folder is held open while the next name is looked up in it, so renaming or replacing
    // a folder meanwhile changes nothing for this walk.
    int folder = rootFd;
    std::size_t left = names.size();
    for (const std::string_view name : names) {
        const std::string part(name);
        const int next = ::openat(
            folder, part.c_str(),
            --left > 0 ? O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC : kReadFlags | O_NOFOLLOW);
        if (folder != rootFd) {
            CloseKeepingError(folder);
        }
        if (next < 0) {
            return -1;
        }
        folder = next;
    }
    return folder;
}

}  // namespace

namespace posix {

int OpenFileBeneath(const std::string& root, std::initializer_list<std::string_view> names,
                    BeneathLookup lookup) {
    if (!PlainNames(names)) {
        return -1;
    }
    // The root itself is the user's choice and may well be reached through a link.
    const int rootFd = ::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (rootFd < 0) {
        return -1;
    }
    int fd = -1;
    if (lookup == BeneathLookup::Kernel) {
        fd = OpenByKernel(rootFd, names);
    }
    // Older kernels have no openat2, and some sandboxes' filters refuse it outright.
    if (lookup == BeneathLookup::Walk || (fd < 0 && (errno == ENOSYS || errno == EPERM))) {
        fd = OpenByWalk(rootFd, names);
    }
    CloseKeepingError(rootFd);
    struct stat st {};
    if (fd >= 0 && (::fstat(fd, &st) != 0 || !PlainFile(st))) {
        return CloseKeepingError(fd);
    }
    return fd;
}

}  // namespace posix

bool PlainFileBeneath(const std::string& root, std::initializer_list<std::string_view> names) {
    if (!PlainNames(names)) {
        return false;
    }
    std::string path = root;
    std::size_t left = names.size();
    struct stat st {};
    for (const std::string_view name : names) {
        if (!path.empty() && path.back() != '/') {
            path += '/';
        }
        path += name;
        if (::lstat(path.c_str(), &st) != 0 || (--left > 0 && !S_ISDIR(st.st_mode))) {
            return false;
        }
    }
    return PlainFile(st);
}

bool File::OpenBeneath(const std::string& root, std::initializer_list<std::string_view> names) {
    Close();
    const int fd = posix::OpenFileBeneath(root, names, posix::BeneathLookup::Kernel);
    handle_ = fd < 0 ? kInvalid : fd;
    path_.clear();
    return IsOpen();
}

std::uint64_t File::Size() const {
    struct stat st {};
    return IsOpen() && ::fstat(static_cast<int>(handle_), &st) == 0
               ? static_cast<std::uint64_t>(st.st_size)
               : 0;
}

long long File::Release() {
    const long long released = handle_;
    handle_ = kInvalid;
    Close();
    return released;
}

}  // namespace platform
