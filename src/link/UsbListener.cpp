#include "link/UsbListener.h"

#include <algorithm>
#include <memory>

#include "platform/FileSystem.h"

void CUsbListener::Open() {
    if (options.scan) {
        scanner = std::make_unique<platform::PortScanner>(options.sysfsRoot, options.devRoot);
    }
}

void CUsbListener::Close() {
    scanner.reset();
}

std::vector<platform::PortInfo> CUsbListener::PresentPorts() {
    std::vector<platform::PortInfo> ports;
    if (scanner) {
        ports = scanner->Present();
    }
    for (const std::string& path : options.extraPorts) {
        // Checked every second whatever the scanner knows: one stat is cheap, and a pty named here
        // changes nothing the scanner watches. A link left behind by a device that has gone (a
        // late udev clean-up, a closed pty) is no port to serve.
        if (platform::TargetExists(path)) {
            ports.push_back(platform::DescribePort(path));
        }
    }
    return ports;
}

bool CUsbListener::Poll() {
    if (platform::WaitFor(stopEvent->AsWaitable(), options.scanPeriodMs) !=
        platform::WaitResult::Timeout) {
        return false;
    }
    const std::vector<platform::PortInfo> present = PresentPorts();
    for (const platform::PortInfo& port : present) {
        PlugIns& plugIn = plugIns[port.number];
        if (plugIn.gone) {
            ++plugIn.count;
            plugIn.gone = false;
        }
        // A port keeps its worker until that worker has ended and been reaped.
        if (port.number > 0 && !HasWorker(port.number)) {
            const UsbPortHistory history{&plugIn.explained, plugIn.count, options.retryPauseMs};
            AddWorker(port.number, std::make_unique<CUsbWorker>(this, stopEvent.get(), storeConfig,
                                                                port, options.makePort(), history));
        }
    }
    for (auto& entry : plugIns) {
        const auto number = entry.first;
        entry.second.gone = std::ranges::none_of(
            present, [number](const platform::PortInfo& port) { return port.number == number; });
    }
    ReapFinished();
    return true;
}
