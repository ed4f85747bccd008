#include "platform/PortEnumeration.h"

#include <dirent.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <map>

#include <mutex>

namespace platform {
namespace {

using SteadyClock = std::chrono::steady_clock;

// Device nodes coming and going; attribute changes and traffic on existing nodes say nothing.
constexpr std::uint32_t kNodeEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO;

// The USB listener keys its workers by port number, and a device path has none of its own: each
// path gets the next number when first seen and keeps it for the life of the process, so that a
// replugged adapter is the same port again.
int NumberForPath(const std::string& path) {
    static std::mutex mutex;
    static std::map<std::string, int> numbers;
    std::lock_guard<std::mutex> lock(mutex);
    return numbers.emplace(path, static_cast<int>(numbers.size()) + 1).first->second;
}

std::string LastComponent(std::string path) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// One directory read: the driver's sysfs directory lists exactly the ports bound to it, as links
// named after their ttys. It is missing while the driver is not loaded.
std::vector<PortInfo> ScanDriver(const std::string& driverDirectory, const std::string& devRoot) {
    std::vector<PortInfo> ports;
    DIR* dir = ::opendir(driverDirectory.c_str());
    if (dir == nullptr) {
        return ports;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        // Beside its ports the directory holds the driver's own controls ("bind", "unbind",
        // "new_id", "uevent", "module"); the usb-serial core names every port "ttyUSB<n>".
        if (name.compare(0, 3, "tty") == 0) {
            const std::string path = devRoot + "/" + name;
            ports.push_back(PortInfo{NumberForPath(path), name, path});
        }
    }
    ::closedir(dir);
    // Directory order is arbitrary; callers log and start workers in this order.
    std::sort(ports.begin(), ports.end(),
              [](const PortInfo& a, const PortInfo& b) { return a.number < b.number; });
    return ports;
}

}  // namespace

struct PortScanner::State {
    std::string driverDirectory;
    std::string devRoot;
    std::chrono::milliseconds settle;
    int watch = -1;  // inotify on devRoot; -1 when unavailable, and then every call scans
    bool scanned = false;
    SteadyClock::time_point rescanUntil;
    std::vector<PortInfo> ports;  // the last scan's result

    // Empties the watch's queue; true when anything came or went in the device directory.
    bool TakeChanges() {
        if (watch < 0) {
            return false;
        }
        bool changed = false;
        alignas(inotify_event) char buffer[4096];
        for (;;) {
            const ssize_t length = ::read(watch, buffer, sizeof buffer);
            if (length < 0 && errno == EINTR) {
                continue;
            }
            if (length < 0 && errno == EAGAIN) {
                return changed;
            }
            if (length <= 0) {
                break;
            }
            // A queue overflow is a change like any other; IN_IGNORED means the directory itself
            // went (or was unmounted), and nothing will ever be reported again.
            for (ssize_t at = 0; at < length;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                if ((event->mask & IN_IGNORED) != 0) {
                    StopWatching();
                    return true;
                }
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
            changed = true;
        }
        // A watch that cannot be read cannot be trusted to say "nothing changed".
        StopWatching();
        return true;
    }

    void StopWatching() {
        ::close(watch);
        watch = -1;
    }
};

PortScanner::PortScanner(const std::string& sysfsRoot, const std::string& devRoot,
                         std::chrono::milliseconds settle)
    : state_(std::make_unique<State>()) {
    state_->driverDirectory = sysfsRoot + "/bus/usb-serial/drivers/cp210x";
    state_->devRoot = devRoot;
    state_->settle = settle;
    state_->watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (state_->watch >= 0 &&
        ::inotify_add_watch(state_->watch, devRoot.c_str(), kNodeEvents | IN_ONLYDIR) < 0) {
        state_->StopWatching();
    }
}

PortScanner::~PortScanner() {
    if (state_->watch >= 0) {
        state_->StopWatching();
    }
}

std::vector<PortInfo> PortScanner::Present() {
    State& s = *state_;
    // Changes are taken before the scan: one that lands during the scan stays queued and brings
    // the next call back to the directory.
    const SteadyClock::time_point now = SteadyClock::now();
    const bool changed = s.TakeChanges();
    if (changed) {
        // Nothing in the device directory changes when the driver lists a port whose node came
        // first, so the list is read on for a while.
        s.rescanUntil = now + s.settle;
    }
    if (changed || !s.scanned || s.watch < 0 || now < s.rescanUntil) {
        s.ports = ScanDriver(s.driverDirectory, s.devRoot);
        s.scanned = true;
    }
    return s.ports;
}

PortInfo DescribePort(const std::string& path) {
    // Connection names are kept short in logs and notifications.
    constexpr std::size_t kMaxNameLength = 15;
    return PortInfo{NumberForPath(path), LastComponent(path).substr(0, kMaxNameLength), path};
}

std::string PortDeviceKey(const std::string& nameOrPath, const std::string& devRoot) {
    const std::string path =
        nameOrPath.find('/') == std::string::npos ? devRoot + "/" + nameOrPath : nameOrPath;
    struct stat node {};
    if (::stat(path.c_str(), &node) != 0) {
        return "";
    }
    if (S_ISCHR(node.st_mode)) {
        return "device " + std::to_string(major(node.st_rdev)) + ":" +
               std::to_string(minor(node.st_rdev));
    }
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) {
        return "";
    }
    std::string key = std::string("file ") + resolved;
    std::free(resolved);
    return key;
}

}  // namespace platform
