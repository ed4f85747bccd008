#pragma once

// A serial port that plays a script: each wait takes the next scripted outcome, and the bytes
// scripted with it are what the following reads return.

#include <deque>
#include <string>
#include <vector>

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

    bool Open(const std::string& path) override;
    bool IsOpen() const override { return open_; }
    platform::PortWait WaitForData(const platform::Event& stop, int timeoutMs, int* error) override;
    std::size_t Read(char* buffer, std::size_t size) override;
    void Write(const char* data, std::size_t size) override { written += std::string(data, size); }
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
