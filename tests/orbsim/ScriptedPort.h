#pragma once

// The receiver's side of a serial link as a script: each write the simulator makes is answered
// with the next scripted reply, whose chunks then arrive one per wait. A wait with nothing left
// to deliver times out at once, so silence costs the tests no time.

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "platform/SerialPort.h"

// The chunks that arrive in answer to one write; none for silence.
using Reply = std::vector<std::string>;

class ScriptedPort final : public platform::SerialPort {
public:
    explicit ScriptedPort(std::vector<Reply> replies) : replies_(std::move(replies)) {}

    bool Open(const std::string&) override { return open_ = true; }
    bool IsOpen() const override { return open_; }

    platform::PortWait WaitForData(const platform::Event&, int timeoutMs, int*) override {
        waits.push_back(timeoutMs);
        if (readable_.empty() && !arriving_.empty()) {
            readable_ = arriving_.front();
            arriving_.pop_front();
        }
        return readable_.empty() ? platform::PortWait::Timeout : platform::PortWait::Data;
    }

    std::size_t Read(char* buffer, std::size_t size) override {
        const std::size_t count = std::min(size, readable_.size());
        std::memcpy(buffer, readable_.data(), count);
        readable_.erase(0, count);
        return count;
    }

    void Write(const char* data, std::size_t size) override {
        // The instrument may only speak once it has heard the whole answer to what it last said.
        if (!readable_.empty() || !arriving_.empty()) {
            ++overtaken;
        }
        writes.emplace_back(data, size);
        if (next_ < replies_.size()) {
            arriving_.insert(arriving_.end(), replies_[next_].begin(), replies_[next_].end());
        }
        ++next_;
    }

    void Close() override { open_ = false; }

    std::vector<std::string> writes;
    std::vector<int> waits;  // the time limit of every wait, in order
    int overtaken = 0;       // writes made while part of an answer was still unread

private:
    std::vector<Reply> replies_;
    std::size_t next_ = 0;
    std::deque<std::string> arriving_;
    std::string readable_;
    bool open_ = false;
};
