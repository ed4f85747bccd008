#include "link/UsbListener.h"

#include <algorithm>
#include <cctype>
#include <memory>

#include "platform/FileSystem.h"

std::vector<std::string> SplitPortList(const std::string& text) {
    std::vector<std::string> names;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(';', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::size_t first = start;
        std::size_t last = end;
        while (first < last && std::isspace(static_cast<unsigned char>(text[first]))) ++first;
        while (last > first && std::isspace(static_cast<unsigned char>(text[last - 1]))) --last;
        if (last > first) {
            names.push_back(text.substr(first, last - first));
        }
        start = end + 1;
    }
    return names;
}

void CUsbListener::Open() {
    if (options.scan) {
        scanner = std::make_unique<platform::PortScanner>(options.sysfsRoot, options.devRoot);
    }
}

void CUsbListener::Close() {
    scanner.reset();
    // Every worker has been joined: whatever the ports held back is told now.
    for (auto& entry : plugIns) {
        if (entry.second.log) {
            entry.second.log->Flush(true);
        }
    }
    ProcessLogCeiling().Flush(true);
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
            plugIns[ports.back().number].named = true;
        }
    }
    std::erase_if(ports, [this](const platform::PortInfo& port) { return Ignored(port); });
    return ports;
}

bool CUsbListener::Ignored(const platform::PortInfo& port) const {
    const auto same = [](const std::string& a, const std::string& b) {
        return std::ranges::equal(a, b, [](unsigned char x, unsigned char y) {
            return std::tolower(x) == std::tolower(y);
        });
    };
    return std::ranges::any_of(options.ignorePorts, [&](const std::string& ignored) {
        return same(ignored, port.name) || same(ignored, port.path);
    });
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
        // A port keeps its worker until that worker has ended and been reaped; one let go as no
        // instrument's stays alone until it is plugged in again.
        if (!plugIn.log) {
            plugIn.log = std::make_shared<LogLimiter>(port.name);
        }
        if (port.number > 0 && !HasWorker(port.number) && plugIn.released.load() != plugIn.count) {
            const UsbPortHistory history{&plugIn.explained,
                                         plugIn.named ? nullptr : &plugIn.released, plugIn.count,
                                         options.retryPauseMs, plugIn.log};
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
    // A port whose worker is gone, or waits on a quiet line, still sums up in time.
    for (auto& entry : plugIns) {
        if (entry.second.log) {
            entry.second.log->Flush();
        }
    }
    ProcessLogCeiling().Flush();
    return true;
}
