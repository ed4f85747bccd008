#pragma once

// A serial port that plays a script: each wait takes the next scripted outcome, and the bytes
// scripted with it are what the following reads return.

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "platform/Event.h"
#include "platform/SerialPort.h"

struct PortStep {
    platform::PortWait outcome;
    std::string received;  // for Data: the bytes waiting to be read
    int error = 0;         // for Failed
};

class FakeSerialPort : public platform::SerialPort {
public:
    FakeSerialPort(bool opens, std::vector<PortStep> script)
        : opens_(opens), script_(script.begin(), script.end()) {}

    bool Open(const std::string& path) override {
        openedPath = path;
        return open_ = opens_;
    }
    bool IsOpen() const override { return open_; }
    platform::PortWait WaitForData(const platform::Event& stop, int, int* error) override {
        // A script that has run out behaves like an unplugged device, so no test can hang.
        if (stop.IsSet() || script_.empty()) {
            return stop.IsSet() ? platform::PortWait::Stop : platform::PortWait::StartFailed;
        }
        pending_ += script_.front().received;
        *error = script_.front().error;
        const platform::PortWait outcome = script_.front().outcome;
        script_.pop_front();
        return outcome;
    }
    std::size_t Read(char* buffer, std::size_t size) override {
        const std::size_t count = std::min(size, pending_.size());
        std::memcpy(buffer, pending_.data(), count);
        pending_.erase(0, count);
        if (count > 0) {
            readSizes.push_back(count);
        }
        return count;
    }
    void Write(const char* data, std::size_t size) override { written.append(data, size); }
    void Close() override { open_ = false; }

    std::string openedPath;
    std::string written;
    std::vector<std::size_t> readSizes;  // bytes handed out per read

private:
    bool opens_;
    bool open_ = false;
    std::deque<PortStep> script_;
    std::string pending_;
};
