#include "platform/PortEnumeration.h"

#include <dirent.h>
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "platform/Mutex.h"

namespace platform {
namespace {

// The USB listener keys its workers by port number, and a device path has none of its own: each
// path gets the next number when first seen and keeps it for the life of the process, so that a
// replugged adapter is the same port again.
int NumberForPath(const std::string& path) {
    static Mutex mutex;
    static std::map<std::string, int> numbers;
    MutexLock lock(mutex);
    return numbers.emplace(path, static_cast<int>(numbers.size()) + 1).first->second;
}

std::string LastComponent(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The name of the driver bound to a tty's device: sysfs links "device/driver" to
// ".../drivers/<name>". Empty when the tty has no device (virtual consoles, ptys). One readlink
// per tty: the scan runs every second, and resolving the whole link would cost ten times as many
// system calls on a machine that is otherwise idle.
std::string DriverName(const std::string& ttyDirectory) {
    const std::string link = ttyDirectory + "/device/driver";
    char target[PATH_MAX];
    const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
    if (length <= 0) {
        return {};
    }
    return LastComponent(std::string(target, static_cast<std::size_t>(length)));
}

// Entries of a directory whatever their type: the ones in /sys/class/tty are symbolic links.
std::vector<std::string> EntryNames(const std::string& directory) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) {
        return names;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    ::closedir(dir);
    return names;
}

}  // namespace

std::vector<PortInfo> FindCp210xPorts(const std::string& sysfsRoot) {
    const std::string ttyClass = sysfsRoot + "/class/tty/";
    std::vector<PortInfo> ports;
    for (const std::string& tty : EntryNames(ttyClass)) {
        if (DriverName(ttyClass + tty) == "cp210x") {
            const std::string path = "/dev/" + tty;
            ports.push_back(PortInfo{NumberForPath(path), tty, path});
        }
    }
    // Directory order is arbitrary; callers log and start workers in this order.
    std::sort(ports.begin(), ports.end(),
              [](const PortInfo& a, const PortInfo& b) { return a.number < b.number; });
    return ports;
}

PortInfo DescribePort(const std::string& path) {
    // Connection names are kept short in logs and notifications.
    constexpr std::size_t kMaxNameLength = 15;
    return PortInfo{NumberForPath(path), LastComponent(path).substr(0, kMaxNameLength), path};
}

}  // namespace platform
