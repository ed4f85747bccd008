#include "link/LogLimiter.h"

#include <algorithm>

#include "link/ReceiverEvents.h"

void LogLimiter::Log(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    LogV(format, arguments);
    va_end(arguments);
}

void LogLimiter::LogV(const char* format, std::va_list arguments) {
    std::lock_guard<std::mutex> lock(mutex_);
    const Clock::time_point now = now_();
    if (!started_ || now - windowStart_ >= kWindow) {
        // A new second: what the last one held back is told before anything of this one.
        WriteSummary();
        started_ = true;
        windowStart_ = now;
        written_ = 0;
    }
    // A line the process has no room for is counted here like any other, so that this
    // source's summary still accounts for it.
    if (written_ < kBurst && ceiling_->TakeLine()) {
        ++written_;
        ConnectionLogV(ceiling_->Events(), format, arguments);
    } else {
        ++suppressed_;
    }
}

void LogLimiter::Flush(bool final) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (final || (started_ && now_() - windowStart_ >= kWindow)) {
        WriteSummary();
    }
}

bool LogLimiter::Pending() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return suppressed_ > 0;
}

bool LogLimiter::Quiet() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return suppressed_ == 0 && (!started_ || now_() - windowStart_ >= kWindow);
}

int LogLimiter::MsUntilDue() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (suppressed_ == 0) {
        return 0;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(windowStart_ + kWindow - now_());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

void LogLimiter::WriteSummary() {
    if (suppressed_ > 0) {
        ceiling_->Summarize(name_.c_str(), suppressed_);
        suppressed_ = 0;
    }
}
