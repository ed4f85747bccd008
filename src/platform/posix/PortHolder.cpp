#include "platform/posix/PortHolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

namespace platform {
namespace {

std::string RealPath(const std::string& path) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) {
        return "";
    }
    std::string result = resolved;
    std::free(resolved);
    return result;
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

// The lock directories in use: /run/lock, and /var/lock when it is not the same directory.
std::vector<std::string> LockDirectories() {
    std::vector<std::string> directories;
    for (const char* candidate : {"/run/lock", "/var/lock"}) {
        const std::string real = RealPath(candidate);
        bool known = real.empty();
        for (const std::string& seen : directories) {
            known = known || seen == real;
        }
        if (!known) {
            directories.push_back(real);
        }
    }
    return directories;
}

// "LCK..ttyUSB0" for /dev/ttyUSB0; empty for devices below /dev/pts and elsewhere, whose names
// the convention does not cover.
std::string LockName(const std::string& device) {
    const std::string real = RealPath(device);
    const std::string prefix = "/dev/";
    if (real.compare(0, prefix.size(), prefix) != 0 ||
        real.find('/', prefix.size()) != std::string::npos) {
        return "";
    }
    return "LCK.." + real.substr(prefix.size());
}

// The process named in a lock file: ten ASCII digits by the convention, or, from old programs, a
// binary int.
long LockOwner(const std::string& file) {
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    char text[32] = {};
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n == sizeof(int)) {
        int binary = 0;
        std::memcpy(&binary, text, sizeof binary);
        return binary;
    }
    return n > 0 ? std::strtol(text, nullptr, 10) : 0;
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

std::string ProcessWithOpen(const std::string& device) {
    const std::string real = RealPath(device);
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
            const ssize_t n = ::readlink((fds + fd->d_name).c_str(), target, sizeof target - 1);
            if (n <= 0) {
                continue;
            }
            const std::string_view link(target, static_cast<std::size_t>(n));
            slave = slave || link == real;
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

std::string OtherHolder(const std::string& path) {
    const std::string lockName = LockName(path);
    if (!lockName.empty()) {
        for (const std::string& directory : LockDirectories()) {
            const long owner = LockOwner(directory + "/" + lockName);
            if (owner != static_cast<long>(::getpid()) && IsAlive(owner)) {
                return Describe(owner);
            }
        }
    }
    return ProcessWithOpen(path);
}

bool UucpLock::Take(const std::string& devicePath, std::string* holder) {
    Release();
    const std::string lockName = LockName(devicePath);
    const std::vector<std::string> directories = LockDirectories();
    if (lockName.empty() || directories.empty()) {
        return true;
    }
    const std::string file = directories.front() + "/" + lockName;
    // Two tries: a lock left by a process that has died is taken over.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            char text[16];
            const int length = std::snprintf(text, sizeof text, "%10ld\n", long(::getpid()));
            const bool written = ::write(fd, text, std::size_t(length)) == length;
            ::close(fd);
            if (written) {
                file_ = file;
            } else {
                ::unlink(file.c_str());
            }
            return true;
        }
        if (errno != EEXIST) {
            // No right to the lock directory: other programs' locks were honoured all the same.
            return true;
        }
        const long owner = LockOwner(file);
        if (IsAlive(owner) && owner != static_cast<long>(::getpid())) {
            *holder = Describe(owner);
            return false;
        }
        ::unlink(file.c_str());
    }
    return true;
}

void UucpLock::Release() {
    if (!file_.empty()) {
        ::unlink(file_.c_str());
        file_.clear();
    }
}

}  // namespace platform
