#include "link/UsbListener.h"

#include <memory>

#include "link/UsbWorker.h"
#include "platform/FileSystem.h"

std::vector<platform::PortInfo> CUsbListener::PresentPorts() const {
    std::vector<platform::PortInfo> ports;
    if (options.scan) {
        ports = platform::FindCp210xPorts(options.sysfsRoot);
    }
    for (const std::string& path : options.extraPorts) {
        // A link left behind by a device that has gone (a late udev clean-up, a closed pty) is
        // no port to serve.
        if (platform::TargetExists(path)) {
            ports.push_back(platform::DescribePort(path));
        }
    }
    return ports;
}

bool CUsbListener::Poll() {
    if (platform::WaitFor(stopEvent->AsWaitable(), kScanPeriodMs) !=
        platform::WaitResult::Timeout) {
        return false;
    }
    for (const platform::PortInfo& port : PresentPorts()) {
        // A port keeps its worker until that worker has ended and been reaped.
        if (port.number > 0 && !HasWorker(port.number)) {
            AddWorker(port.number,
                      std::make_unique<CUsbWorker>(this, stopEvent.get(), storeConfig, port));
        }
    }
    ReapFinished();
    return true;
}
