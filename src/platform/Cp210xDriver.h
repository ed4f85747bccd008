#pragma once

// Whether the system can drive a CP210x bridge at all. Without a driver no port is ever found,
// and an empty port list alone would not tell the user why.

#include <string>

namespace platform {

// True when the driver is loaded or installed for the running kernel. On Linux `sysfsRoot` and
// `modulesRoot` replace "/sys" and "/lib/modules" (tests build fake trees). Windows answers true:
// the tray application checks and installs its own driver.
bool Cp210xDriverAvailable(const std::string& sysfsRoot = "/sys",
                           const std::string& modulesRoot = "/lib/modules");

}  // namespace platform
