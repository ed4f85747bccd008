#include "link/LogCeiling.h"

#include "link/ReceiverEvents.h"

bool LogCeiling::TakeLine() {
    std::lock_guard<std::mutex> lock(mutex_);
    Roll();
    if (lines_ >= kLines) {
        return false;
    }
    ++lines_;
    return true;
}

void LogCeiling::Summarize(const char* source, unsigned count) {
    std::lock_guard<std::mutex> lock(mutex_);
    Roll();
    if (summaries_ < kSummaries) {
        ++summaries_;
        ConnectionLog(events_, "Connection %s %u more messages suppressed\n", source, count);
    } else {
        addedUp_ += count;
    }
}

void LogCeiling::Flush(bool final) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (final) {
        WriteSummary();
    } else {
        Roll();
    }
}

bool LogCeiling::Pending() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return addedUp_ > 0;
}

void LogCeiling::Roll() {
    const Clock::time_point now = now_();
    if (!started_ || now - windowStart_ >= kWindow) {
        WriteSummary();
        started_ = true;
        windowStart_ = now;
        lines_ = 0;
        summaries_ = 0;
    }
}

void LogCeiling::WriteSummary() {
    if (addedUp_ > 0) {
        ConnectionLog(events_, "Connection %s %u more messages suppressed\n", name_.c_str(),
                      addedUp_);
        addedUp_ = 0;
    }
}
