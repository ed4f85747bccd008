#include "link/LogCeiling.h"

#include "link/ConnectionLog.h"

bool LogCeiling::TakeLine() {
    platform::MutexLock lock(mutex_);
    Roll();
    if (lines_ >= kLines) {
        return false;
    }
    ++lines_;
    return true;
}

void LogCeiling::Summarize(const char* source, unsigned count) {
    platform::MutexLock lock(mutex_);
    Roll();
    if (summaries_ < kSummaries) {
        ++summaries_;
        ConnectionLog("Connection %s %u more messages suppressed\n", source, count);
    } else {
        addedUp_ += count;
    }
}

void LogCeiling::Flush(bool final) {
    platform::MutexLock lock(mutex_);
    if (final) {
        WriteSummary();
    } else {
        Roll();
    }
}

bool LogCeiling::Pending() const {
    platform::MutexLock lock(mutex_);
    return addedUp_ > 0;
}

void LogCeiling::Restart() {
    platform::MutexLock lock(mutex_);
    WriteSummary();
    started_ = false;
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
        ConnectionLog("Connection %s %u more messages suppressed\n", name_.c_str(), addedUp_);
        addedUp_ = 0;
    }
}

LogCeiling& ProcessLogCeiling() {
    // Never destroyed: limiters of threads still ending at exit may yet use it.
    static LogCeiling* const ceiling = new LogCeiling();
    return *ceiling;
}
