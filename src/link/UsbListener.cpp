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
    context.ceiling.Flush(true);
}

std::vector<CUsbListener::Present> CUsbListener::PresentPorts() {
    std::vector<Present> present;
    if (scanner) {
        for (const platform::PortInfo& port : scanner->Present()) {
            present.push_back({port, platform::PortDeviceKey(port.path, options.devRoot)});
        }
    }
    for (const std::string& path : options.extraPorts) {
        // Checked every second whatever the scanner knows: one stat is cheap, and a pty named here
        // changes nothing the scanner watches. A link left behind by a device that has gone (a
        // late udev clean-up, a closed pty) is no port to serve.
        const bool exists = platform::TargetExists(path);
        NoteNamedPort(path, exists);
        if (exists) {
            present.push_back(
                {platform::DescribePort(path), platform::PortDeviceKey(path, options.devRoot)});
            plugIns[present.back().port.number].named = true;
        }
    }
    // A device reached by several names is served once, under the first: a found port before
    // the user's names for it, which make it the user's.
    for (auto kept = present.begin(); kept != present.end(); ++kept) {
        if (kept->device.empty()) {
            continue;
        }
        bool named = false;
        for (auto other = kept + 1; other != present.end();) {
            if (other->device != kept->device) {
                ++other;
                continue;
            }
            named = named || plugIns[other->port.number].named;
            other = present.erase(other);
        }
        if (named) {
            plugIns[kept->port.number].named = true;
        }
    }
    std::erase_if(present, [this](const Present& port) { return Ignored(port); });
    return present;
}

void CUsbListener::NoteNamedPort(const std::string& path, bool exists) {
    const auto told = std::ranges::find(waiting, path);
    if (exists) {
        if (told != waiting.end()) {
            waiting.erase(told);
        }
        return;
    }
    // Said once for each absence: a port plugged in later is served without another word. An
    // ignored port is never spoken of.
    if (told == waiting.end() && !Ignored({platform::DescribePort(path), ""})) {
        waiting.push_back(path);
        ConnectionLog(context.events, "Connection %s waiting for %s\n",
                      platform::DescribePort(path).name.c_str(), path.c_str());
    }
}

bool CUsbListener::Ignored(const Present& present) const {
    const auto same = [](const std::string& a, const std::string& b) {
        return std::ranges::equal(a, b, [](unsigned char x, unsigned char y) {
            return std::tolower(x) == std::tolower(y);
        });
    };
    return std::ranges::any_of(options.ignorePorts, [&](const std::string& ignored) {
        return same(ignored, present.port.name) || same(ignored, present.port.path) ||
               (!present.device.empty() &&
                platform::PortDeviceKey(ignored, options.devRoot) == present.device);
    });
}

bool CUsbListener::Poll() {
    if (platform::WaitFor(stopEvent->AsWaitable(), options.scanPeriodMs) !=
        platform::WaitResult::Timeout) {
        return false;
    }
    const std::vector<Present> present = PresentPorts();
    for (const auto& [port, device] : present) {
        PlugIns& plugIn = plugIns[port.number];
        // A name that now leads to another device (a link pointed elsewhere) is a new plug-in.
        if (plugIn.gone || (!device.empty() && !plugIn.device.empty() && device != plugIn.device)) {
            ++plugIn.count;
            plugIn.gone = false;
        }
        if (!device.empty()) {
            plugIn.device = device;
        }
        // A port keeps its worker until that worker has ended and been reaped; one let go as no
        // instrument's stays alone until it is plugged in again.
        if (!plugIn.log) {
            plugIn.log = std::make_shared<LogLimiter>(port.name, context.ceiling);
        }
        if (port.number > 0 && !HasWorker(port.number) && plugIn.released.load() != plugIn.count) {
            const UsbPortHistory history{&plugIn.explained,
                                         plugIn.named ? nullptr : &plugIn.released, plugIn.count,
                                         options.retryPauseMs, plugIn.log};
            const platform::PortPlaces places{options.devRoot, options.lockDirectories};
            AddWorker(port.number,
                      std::make_unique<CUsbWorker>(this, stopEvent.get(), context, port,
                                                   options.makePort(places), history));
        }
    }
    for (auto& entry : plugIns) {
        const auto number = entry.first;
        entry.second.gone = std::ranges::none_of(
            present, [number](const Present& port) { return port.port.number == number; });
    }
    ReapFinished();
    // A port whose worker is gone, or waits on a quiet line, still sums up in time.
    for (auto& entry : plugIns) {
        if (entry.second.log) {
            entry.second.log->Flush();
        }
    }
    context.ceiling.Flush();
    return true;
}
