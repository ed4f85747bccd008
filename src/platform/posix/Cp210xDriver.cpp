#include "platform/Cp210xDriver.h"

#include <sys/utsname.h>

#include <fstream>

#include "platform/FileSystem.h"

namespace platform {
namespace {

// Whether a kmod index (modules.dep, modules.builtin) has the module. Each line starts with a
// module's path, maybe compressed ("kernel/drivers/usb/serial/cp210x.ko.xz"); in modules.dep
// its dependencies follow a colon and are not the module itself.
bool IndexLists(const std::string& indexPath) {
    std::ifstream index(indexPath);
    std::string line;
    while (std::getline(index, line)) {
        const std::string path = line.substr(0, line.find(':'));
        const std::size_t slash = path.rfind('/');
        const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        if (name == "cp210x.ko" || name.starts_with("cp210x.ko.")) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool Cp210xDriverAvailable(const std::string& sysfsRoot, const std::string& modulesRoot) {
    // Loaded: the usb-serial core lists the driver, or the module is known to the kernel.
    if (IsDirectory(sysfsRoot + "/bus/usb-serial/drivers/cp210x") ||
        IsDirectory(sysfsRoot + "/module/cp210x")) {
        return true;
    }
    // Installed: the kernel loads it on demand when a bridge is plugged in.
    utsname kernel{};
    if (::uname(&kernel) != 0) {
        return true;  // nothing to go by; better silent than wrong
    }
    const std::string modules = modulesRoot + "/" + kernel.release + "/";
    return IndexLists(modules + "modules.dep") || IndexLists(modules + "modules.builtin");
}

}  // namespace platform
