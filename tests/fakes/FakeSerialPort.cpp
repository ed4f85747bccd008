#include "fakes/FakeSerialPort.h"

#include <algorithm>
#include <cstring>

bool FakeSerialPort::Open(const std::string& path) {
    openedPath = path;
    open_ = opens_;
    return open_;
}

platform::PortWait FakeSerialPort::WaitForData(const platform::Event& stop, int, int* error) {
    if (stop.IsSet()) {
        return platform::PortWait::Stop;
    }
    // A script that has run out behaves like an unplugged device, so no test can hang.
    if (script_.empty()) {
        return platform::PortWait::StartFailed;
    }
    const PortStep step = script_.front();
    script_.pop_front();
    pending_ += step.received;
    *error = step.error;
    return step.outcome;
}

std::size_t FakeSerialPort::Read(char* buffer, std::size_t size) {
    const std::size_t count = std::min(size, pending_.size());
    std::memcpy(buffer, pending_.data(), count);
    pending_.erase(0, count);
    if (count > 0) {
        readSizes.push_back(count);
    }
    return count;
}
