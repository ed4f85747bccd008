#include "platform/posix/PortHolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/PortEnumeration.h"

namespace platform {
namespace {

// A lock file that names no process yet may be its maker's, caught between creating and
// writing it; only one that has stayed so for this long is taken for a leftover.
constexpr long kYoungLockSeconds = 5;

std::string RealPath(const std::string& path) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) {
        return "";
    }
    std::string result = resolved;
    std::free(resolved);
    return result;
}

// The device behind a path (PortDeviceKey, the one rule for when two names are one port), and
// the path it resolves to, which lock names and the pty check read.
struct Device {
    std::string real;  // empty when the path leads nowhere
    std::string key;
};

Device DeviceOf(const std::string& path) {
    Device device;
    device.key = PortDeviceKey(path, "/dev");
    if (!device.key.empty()) {
        device.real = RealPath(path);
    }
    return device;
}

bool SameDevice(const Device& device, const std::string& path) {
    return !device.key.empty() && PortDeviceKey(path, "/dev") == device.key;
}

// "minicom (pid 1234)", from the name the kernel keeps for the process.
std::string Describe(long pid) {
    std::string name;
    std::ifstream(("/proc/" + std::to_string(pid) + "/comm").c_str()) >> name;
    if (name.empty()) {
        name = "a process";
    }
    return name + " (pid " + std::to_string(pid) + ")";
}

bool IsAlive(long pid) {
    return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

// The lock directories in use, each once (/var/lock is commonly a link to /run/lock).
std::vector<std::string> LockDirectories(const PortPlaces& places) {
    std::vector<std::string> directories;
    for (const std::string& candidate : places.lockDirectories) {
        const std::string real = RealPath(candidate);
        if (!real.empty() && std::ranges::find(directories, real) == directories.end()) {
            directories.push_back(real);
        }
    }
    return directories;
}

// The lock name other programs use for a device name: minicom and picocom both take the path
// below /dev and turn each further '/' into '_', so /dev/ttyUSB0 is "LCK..ttyUSB0", /dev/pts/3
// is "LCK..pts_3" and /dev/serial/by-id/usb-X is "LCK..serial_by-id_usb-X". (The file system
// standard's "base name of the device" would make /dev/pts/3 a bare "LCK..3", which no serial
// program looks for.) Names outside the device directory get none: a link in a scratch folder
// would otherwise claim a name that any other folder's link of the same name shares.
std::string LockName(const std::string& path, const PortPlaces& places) {
    for (const std::string& root : {places.devRoot, std::string("/dev")}) {
        const std::string prefix = root + "/";
        if (path.size() > prefix.size() && path.compare(0, prefix.size(), prefix) == 0) {
            std::string below = path.substr(prefix.size());
            std::ranges::replace(below, '/', '_');
            return "LCK.." + below;
        }
    }
    return "";
}

// Every lock name the device goes by: its own node's, the path's it was opened by, and those of
// the links to it that udev makes (by-id, by-path) or a rule puts beside the nodes.
std::vector<std::string> LockNames(const std::string& path, const Device& device,
                                   const PortPlaces& places) {
    std::vector<std::string> names;
    const auto add = [&](const std::string& name) {
        const std::string lock = LockName(name, places);
        if (!lock.empty() && std::ranges::find(names, lock) == names.end()) {
            names.push_back(lock);
        }
    };
    if (device.real.empty()) {
        return names;
    }
    add(device.real);
    add(path);
    for (const std::string& directory :
         {places.devRoot, places.devRoot + "/serial/by-id", places.devRoot + "/serial/by-path"}) {
        DIR* dir = ::opendir(directory.c_str());
        if (dir == nullptr) {
            continue;
        }
        while (const dirent* entry = ::readdir(dir)) {
            // Only links and device nodes can be second names; the rest is not even looked at.
            if (entry->d_type != DT_LNK && entry->d_type != DT_CHR && entry->d_type != DT_UNKNOWN) {
                continue;
            }
            const std::string name = directory + "/" + entry->d_name;
            if (SameDevice(device, name)) {
                add(name);
            }
        }
        ::closedir(dir);
    }
    return names;
}

// What a lock file says about its device.
struct LockState {
    enum Kind {
        Absent,
        Stale,       // names a process that has ended, or has named none for a long time
        Live,        // names a live process, `pid`
        Young,       // names no process yet, but was made only a moment ago
        Unreadable,  // a directory, a file this user may not read...: nobody can tell
    } kind = Absent;
    long pid = 0;
};

bool IsAsciiText(const char* text, std::size_t size) {
    return std::all_of(text, text + size, [](char c) {
        return (c >= '0' && c <= '9') || c == ' ' || c == '\t' || c == '\n';
    });
}

// HDB UUCP writes the pid as ten ASCII digits and a line feed, other programs as few as they
// need ("605\n"), some with more words after it; old programs wrote a binary int, which is
// therefore taken only from four bytes that cannot be read as text.
long PidIn(const char* text, std::size_t size) {
    if (size == sizeof(int) && !IsAsciiText(text, size)) {
        int binary = 0;
        std::memcpy(&binary, text, sizeof binary);
        return binary;
    }
    std::string copy(text, size);
    return std::strtol(copy.c_str(), nullptr, 10);
}

LockState ReadLock(const std::string& file) {
    // Non-blocking: a FIFO planted under a lock name must not hang the scan.
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return {errno == ENOENT ? LockState::Absent : LockState::Unreadable};
    }
    struct stat info {};
    char text[128];
    ssize_t n = -1;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        n = ::read(fd, text, sizeof text);
    }
    ::close(fd);
    if (n < 0) {
        return {LockState::Unreadable};
    }
    const long pid = PidIn(text, static_cast<std::size_t>(n));
    if (pid > 0) {
        return {IsAlive(pid) ? LockState::Live : LockState::Stale, pid};
    }
    const long age = static_cast<long>(std::time(nullptr) - info.st_mtime);
    return {age < kYoungLockSeconds && age > -kYoungLockSeconds ? LockState::Young
                                                                : LockState::Stale};
}

// Who a lock file says holds the device; empty when nobody else does.
std::string LockHolder(const std::string& file, const LockState& lock) {
    switch (lock.kind) {
        case LockState::Live:
            return lock.pid == static_cast<long>(::getpid()) ? "" : Describe(lock.pid);
        case LockState::Young:
            return "a lock file " + file + " still being written";
        case LockState::Unreadable:
            return "a lock file " + file + " that cannot be read";
        case LockState::Absent:
        case LockState::Stale:
            break;
    }
    return "";
}

// Whether descriptor `fd` of process `pid` is the master side of pseudo-terminal `index`.
bool IsPtyMaster(const std::string& pid, const char* fd, const std::string& index) {
    std::ifstream info(("/proc/" + pid + "/fdinfo/" + fd).c_str());
    std::string field;
    std::string value;
    while (info >> field >> value) {
        if (field == "tty-index:") {
            return value == index;
        }
    }
    return false;
}

// Whether the open file behind /proc/<pid>/fd/<n>, whose link reads `link`, is the device.
bool OpenOn(const Device& device, const std::string& fdPath, std::string_view link) {
    if (link == device.real) {
        return true;
    }
    // Another node of the same device shows its own path; sockets and pipes show no path. Only
    // a device node can have a second name that resolves elsewhere.
    return device.key.starts_with("device ") && link.starts_with('/') && SameDevice(device, fdPath);
}

std::string ProcessWithOpen(const Device& device) {
    const std::string& real = device.real;
    // A pseudo-terminal's slave is commonly kept open by the program that holds its master
    // (socat's virtual cables do): that program is the far end of the line, not a competitor.
    const std::string ptsPrefix = "/dev/pts/";
    const std::string ptyIndex =
        real.compare(0, ptsPrefix.size(), ptsPrefix) == 0 ? real.substr(ptsPrefix.size()) : "";
    DIR* processes = ::opendir("/proc");
    if (real.empty() || processes == nullptr) {
        if (processes != nullptr) {
            ::closedir(processes);
        }
        return "";
    }
    const long self = static_cast<long>(::getpid());
    std::string holder;
    while (holder.empty()) {
        const dirent* entry = ::readdir(processes);
        if (entry == nullptr) {
            break;
        }
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == self) {
            continue;
        }
        // Other users' processes cannot be looked into; their locks still show.
        const std::string fds = "/proc/" + std::string(entry->d_name) + "/fd/";
        DIR* open = ::opendir(fds.c_str());
        if (open == nullptr) {
            continue;
        }
        bool slave = false;
        bool master = false;
        char target[4096];
        while (const dirent* fd = ::readdir(open)) {
            const std::string fdPath = fds + fd->d_name;
            const ssize_t n = ::readlink(fdPath.c_str(), target, sizeof target - 1);
            if (n <= 0) {
                continue;
            }
            const std::string_view link(target, static_cast<std::size_t>(n));
            slave = slave || OpenOn(device, fdPath, link);
            master = master || (!ptyIndex.empty() && link.ends_with("ptmx") &&
                                IsPtyMaster(entry->d_name, fd->d_name, ptyIndex));
        }
        ::closedir(open);
        if (slave && !master) {
            holder = Describe(pid);
        }
    }
    ::closedir(processes);
    return holder;
}

}  // namespace

std::string OtherHolder(const std::string& path, const PortPlaces& places) {
    const Device device = DeviceOf(path);
    const std::vector<std::string> names = LockNames(path, device, places);
    for (const std::string& directory : LockDirectories(places)) {
        for (const std::string& name : names) {
            const std::string file = directory + "/" + name;
            const std::string holder = LockHolder(file, ReadLock(file));
            if (!holder.empty()) {
                return holder;
            }
        }
    }
    return ProcessWithOpen(device);
}

bool UucpLock::Take(const std::string& devicePath, const PortPlaces& places, std::string* holder) {
    Release();
    const std::vector<std::string> directories = LockDirectories(places);
    if (directories.empty()) {
        return true;
    }
    const Device device = DeviceOf(devicePath);
    for (const std::string& name : LockNames(devicePath, device, places)) {
        const std::string file = directories.front() + "/" + name;
        // Two tries: a lock left by a process that has died is taken over.
        for (int attempt = 0; attempt < 2; ++attempt) {
            const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            if (fd >= 0) {
                char text[16];
                const int length = std::snprintf(text, sizeof text, "%10ld\n", long(::getpid()));
                const bool written = ::write(fd, text, std::size_t(length)) == length;
                ::close(fd);
                if (written) {
                    files_.push_back(file);
                } else {
                    ::unlink(file.c_str());
                }
                break;
            }
            if (errno != EEXIST) {
                // No right to the lock directory: other programs' locks were honoured all the
                // same.
                break;
            }
            const LockState lock = ReadLock(file);
            *holder = LockHolder(file, lock);
            if (!holder->empty()) {
                Release();
                return false;
            }
            // Gone meanwhile, left by a process that has ended, or this process's own.
            if (lock.kind != LockState::Absent) {
                ::unlink(file.c_str());
            }
        }
    }
    return true;
}

void UucpLock::Release() {
    for (const std::string& file : files_) {
        ::unlink(file.c_str());
    }
    files_.clear();
}

}  // namespace platform
