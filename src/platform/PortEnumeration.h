#pragma once

// Finds the present serial ports that belong to CP210x USB-to-UART bridges.

#include <string>
#include <vector>

namespace platform {

struct PortInfo {
    int number;        // COM port number on Windows; on POSIX a number kept per device path
    std::string name;  // names the link in logs and notifications: "COM5", "ttyUSB0"
    std::string path;  // what SerialPort::Open takes: "\\.\COM5", "/dev/ttyUSB0"
};

// The CP210x ports present now. On POSIX `sysfsRoot` replaces "/sys" (tests build a fake tree);
// Windows ignores it.
std::vector<PortInfo> FindCp210xPorts(const std::string& sysfsRoot = "/sys");

// A port named by the user rather than found ("COM7" on Windows, a tty or pty path on POSIX),
// numbered and named the way FindCp210xPorts would.
PortInfo DescribePort(const std::string& path);

}  // namespace platform
