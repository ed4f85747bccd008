#pragma once

// The whole process's share of the lines that others can make it write. Each source of such
// lines (a remote address, a serial port) has a limiter of its own, but two hundred addresses
// within their own shares would still write thousands of lines a second: every limited line
// also takes a place here. Safe to use from any thread.

#include <chrono>
#include <functional>
#include <string>

#include <mutex>

class ReceiverEvents;

class LogCeiling {
public:
    using Clock = std::chrono::steady_clock;
    // Lines written per second from all limiters together...
    static constexpr unsigned kLines = 64;
    // ...and the sources' summaries beside them. The summaries have a share of their own, so
    // that a flood that takes every line still says, source by source, what it held back; the
    // summaries that do not fit that either (two hundred addresses held back in one second) are
    // added up into one line of this ceiling's own, once a second. So a flood of any width
    // writes at most kLines + kSummaries + 1 lines a second, and every held-back line is still
    // counted in some summary.
    static constexpr unsigned kSummaries = 16;
    static constexpr Clock::duration kWindow = std::chrono::seconds(1);

    // Lines go to `events`, which must outlive the ceiling. `name` stands for the sources whose
    // summaries are added up; tests give a clock of their own.
    explicit LogCeiling(ReceiverEvents& events, std::string name = "others",
                        std::function<Clock::time_point()> clock = Clock::now)
        : events_(events), name_(std::move(name)), now_(std::move(clock)) {}
    ~LogCeiling() { Flush(true); }
    LogCeiling(const LogCeiling&) = delete;
    LogCeiling& operator=(const LogCeiling&) = delete;

    // True if one more limited line may be written this second (and counts it).
    bool TakeLine();
    // Writes a source's summary if this second's summaries allow it, else adds its count to
    // the ceiling's own.
    void Summarize(const char* source, unsigned count);
    // Writes the added-up summary of a second that is over; with `final` (the process is
    // closing its links) whatever is added up.
    void Flush(bool final = false);
    // Counts added up and not yet written: someone has to come back for them.
    bool Pending() const;
    // Where every line under this ceiling goes.
    ReceiverEvents& Events() const { return events_; }

private:
    // With the lock held: a second that is over is summed up and a new one begun.
    void Roll();
    void WriteSummary();

    ReceiverEvents& events_;
    const std::string name_;
    std::function<Clock::time_point()> now_;
    mutable std::mutex mutex_;
    Clock::time_point windowStart_{};
    bool started_ = false;
    unsigned lines_ = 0;
    unsigned summaries_ = 0;
    unsigned addedUp_ = 0;
};
