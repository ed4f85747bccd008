#pragma once

// Keeps one source of repeated log lines (a remote address whose connections come and go, a
// device that babbles at the protocol, a port that keeps failing) from flooding the log: within
// one second the first lines are written and the rest only counted, and the count is written
// once that second is over, or when the source goes away, so that nothing is lost without a
// trace. Every line written also takes a place under the process's ceiling, so that many
// sources together are held back too. A limiter may be shared by the threads of all the links
// of one source: its fields are touched only while holding `mutex_`.

#include <chrono>
#include <cstdarg>
#include <functional>
#include <string>

#include <mutex>
#include "link/LogCeiling.h"
#include "platform/Printf.h"

class LogLimiter {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr unsigned kBurst = 20;  // lines written per second
    static constexpr Clock::duration kWindow = std::chrono::seconds(1);

    // `name` names the source in the summary line; the lines go where `ceiling` sends them, and
    // it must outlive the limiter. Tests give a clock of their own.
    LogLimiter(std::string name, LogCeiling& ceiling,
               std::function<Clock::time_point()> clock = Clock::now)
        : name_(std::move(name)), now_(std::move(clock)), ceiling_(&ceiling) {}
    // Whatever is still counted is told: a source that ends never takes its count along.
    ~LogLimiter() { Flush(true); }
    LogLimiter(const LogLimiter&) = delete;
    LogLimiter& operator=(const LogLimiter&) = delete;

    // Writes the line to the connection log unless this second has had its share, or the
    // process has; a summary of the second before is written first.
    void Log(const char* format, ...) ORB_PRINTF(2, 3);
    void LogV(const char* format, std::va_list arguments);
    // Writes the summary of a second that is over; with `final` (the source is going away) of
    // whatever is counted.
    void Flush(bool final = false);
    // Lines counted and not yet summed up.
    bool Pending() const;
    // Nothing counted and this second's share not touched: the limiter may be forgotten.
    bool Quiet() const;
    // How long until the pending summary is due; zero when it is due or nothing is pending.
    int MsUntilDue() const;

private:
    void WriteSummary();

    const std::string name_;
    std::function<Clock::time_point()> now_;
    LogCeiling* ceiling_;
    mutable std::mutex mutex_;
    Clock::time_point windowStart_{};
    bool started_ = false;
    unsigned written_ = 0;
    unsigned suppressed_ = 0;
};
