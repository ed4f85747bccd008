#pragma once

// Finds the present serial ports that belong to CP210x USB-to-UART bridges.

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace platform {

struct PortInfo {
    int number;        // COM port number on Windows; on POSIX a number kept per device path
    std::string name;  // names the link in logs and notifications: "COM5", "ttyUSB0"
    std::string path;  // what SerialPort::Open takes: "\\.\COM5", "/dev/ttyUSB0"
};

// Lists the CP210x ports present, as often as its owner asks (the USB listener: once a second).
// POSIX watches the device directory and reads the driver's port list again only after something
// was plugged or unplugged, so that an idle machine stays idle; Windows asks SetupAPI every time.
// One thread uses it.
class PortScanner {
public:
    // On POSIX `sysfsRoot` and `devRoot` replace "/sys" and "/dev" (tests build fake trees), and
    // after a change in the device directory the driver's list is read again on every call for
    // `settle` more: a node can appear before the driver lists its port. Windows ignores all three.
    explicit PortScanner(const std::string& sysfsRoot = "/sys", const std::string& devRoot = "/dev",
                         std::chrono::milliseconds settle = std::chrono::seconds(3));
    ~PortScanner();
    PortScanner(const PortScanner&) = delete;
    PortScanner& operator=(const PortScanner&) = delete;

    // The CP210x ports present now.
    std::vector<PortInfo> Present();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// A port named by the user rather than found ("COM7" on Windows, a tty or pty path on POSIX),
// numbered and named the way PortScanner would.
PortInfo DescribePort(const std::string& path);

// The device a port name or path leads to, as a text that is equal for every name of one device
// and differs between devices; empty when it leads nowhere now. POSIX: the device number of a
// device node ("device MAJOR:MINOR", whichever link or second node it is reached by), else the
// resolved path ("file PATH"); a bare name ("ttyUSB0") is looked for in `devRoot`. Windows: the
// COM port's name.
std::string PortDeviceKey(const std::string& nameOrPath, const std::string& devRoot);

}  // namespace platform
