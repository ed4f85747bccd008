#pragma once

// Looks for CP210x serial ports once a second and gives each present port its own CUsbWorker.
// It never closes a port itself: a worker notices that its port is gone and ends, and once it
// has been reaped the same port can get a new worker, unless the worker let it go as no
// instrument's: then it waits until it has been unplugged. A port is its device: names that lead
// to one device (a link, a second node) are one port, served once and ignored together. Runs on
// the listener thread, which alone touches `scanner`, `plugIns` and `waiting`, except each
// port's `explained` and `released`, which its workers share, and its log limiter, which they
// share too and which locks itself.

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "link/Listener.h"
#include "link/UsbWorker.h"
#include "platform/PortEnumeration.h"
#include "platform/SerialPort.h"

struct UsbOptions {
    bool scan = true;                     // look for CP210x bridges
    std::vector<std::string> extraPorts;  // served as if found, whenever they exist, never let go
    // Never opened, found or named: by the name in the log ("ttyUSB0", "COM3") or the device
    // path ("/dev/ttyUSB0"), letter case aside, or by any other path to the same device.
    std::vector<std::string> ignorePorts;
    std::string sysfsRoot = "/sys";  // where the POSIX scan looks
    std::string devRoot = "/dev";    // where POSIX device nodes and their links appear
    std::vector<std::string> lockDirectories = platform::PortPlaces{}.lockDirectories;
    // Tests shorten the pacing and put in ports that fail as they are told.
    int scanPeriodMs = 1000;
    int retryPauseMs = UsbPortHistory{}.retryPauseMs;
    std::function<std::unique_ptr<platform::SerialPort>(const platform::PortPlaces&)> makePort =
        [](const platform::PortPlaces& places) { return platform::MakeSerialPort(places); };
};

// The names in a list such as "COM3;COM7" (the Windows setting IgnorePorts): separated by
// semicolons, blanks around them dropped, empty ones skipped.
std::vector<std::string> SplitPortList(const std::string& text);

class CUsbListener : public CListener {
public:
    explicit CUsbListener(const LinkContext& linkContext, UsbOptions usbOptions = {})
        : CListener(linkContext), options(std::move(usbOptions)) {}

    void Open() override;
    bool Poll() override;
    void Close() override;

private:
    struct Present {
        platform::PortInfo port;
        std::string device;  // PortDeviceKey; empty while the node is not there yet
    };
    std::vector<Present> PresentPorts();
    void NoteNamedPort(const std::string& path, bool exists);
    bool Ignored(const Present& present) const;

    UsbOptions options;
    std::unique_ptr<platform::PortScanner> scanner;  // while open, when scanning at all
    struct PlugIns {
        unsigned count = 0;
        bool gone = true;  // not seen in the last scan: seen again, it is a new plug-in
        std::atomic<unsigned> explained{0};
        std::atomic<unsigned> released{0};  // the plug-in in which it was let go
        bool named = false;                 // named by the user: never let go
        std::string device;                 // what it led to at the last scan
        // What the port's device makes its workers say, limited across all of them: a device
        // that keeps failing or reconnecting is one source however many workers it takes.
        std::shared_ptr<LogLimiter> log;
    };
    // By port number. Never removed from, so that the workers' pointers stay valid.
    std::map<int, PlugIns> plugIns;
    // The named ports whose absence has been told, until they appear.
    std::vector<std::string> waiting;
};
