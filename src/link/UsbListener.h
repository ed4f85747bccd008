#pragma once

// Looks for CP210x serial ports once a second and gives each present port its own CUsbWorker.
// It never closes a port itself: a worker notices that its port is gone and ends, and once it
// has been reaped the same port can get a new worker. Runs on the listener thread, which alone
// touches `scanner`.

#include <memory>
#include <string>
#include <vector>

#include "link/Listener.h"
#include "platform/PortEnumeration.h"

struct UsbOptions {
    bool scan = true;                     // look for CP210x bridges
    std::vector<std::string> extraPorts;  // served as if found, whenever they exist
    std::string sysfsRoot = "/sys";       // where the POSIX scan looks
    std::string devRoot = "/dev";         // where POSIX device nodes appear
};

class CUsbListener : public CListener {
public:
    explicit CUsbListener(const StoreConfig& store, UsbOptions usbOptions = {})
        : CListener(store), options(std::move(usbOptions)) {}

    void Open() override;
    bool Poll() override;
    void Close() override;

private:
    static constexpr int kScanPeriodMs = 1000;

    std::vector<platform::PortInfo> PresentPorts();

    UsbOptions options;
    std::unique_ptr<platform::PortScanner> scanner;  // while open, when scanning at all
};
