#include "platform/Cp210xDriver.h"

namespace platform {

// The tray application finds and installs the Windows driver itself, before any port is sought.
bool Cp210xDriverAvailable(const std::string& /*sysfsRoot*/, const std::string& /*modulesRoot*/) {
    return true;
}

}  // namespace platform
