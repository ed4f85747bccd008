#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform {

struct CommandEnd {
    enum class How { Exited, TimedOut, Cancelled, NotStarted };
    How how = How::NotStarted;
    // When Exited: the shell's exit code (POSIX: 128 + the signal's number when a signal ended it,
    // as shells report it).
    int exitCode = -1;
    // When NotStarted: why, as the OS says it.
    std::string error;
};

// Runs `command` through the system shell (POSIX: /bin/sh -c COMMAND; Windows: cmd.exe /d /s /c
// "COMMAND", found through %ComSpec%, else in the system directory) with the current environment
// plus `environment`'s (name, value) pairs, which add to it or replace a variable of that name
// (on Windows regardless of case). The command text is passed as it is: callers never paste data
// into it, they hand data over in the environment.
//
// Standard input is empty. Standard output and error are read while the command runs; each
// complete line from either stream (without its "\r\n" or "\n"; a last line without an end too;
// a line longer than kCommandLineLimit cut to its first kCommandLineLimit bytes) goes to
// `outputLine` on the caller's thread, in order within each stream.
//
// The call returns when the shell has ended and both streams are closed. When that has not
// happened within `timeout`, or as soon as `cancel` is set (polled at least every 100 ms), the
// command and every process it started are killed and the call returns TimedOut or Cancelled;
// a child that was left behind holding the output open cannot keep it waiting past that. The
// shell is always reaped. Processes the command left running after a normal end are left alone.
CommandEnd RunCommand(const std::string& command,
                      const std::vector<std::pair<std::string, std::string>>& environment,
                      std::chrono::milliseconds timeout, const std::atomic<bool>& cancel,
                      const std::function<void(std::string_view line)>& outputLine);

inline constexpr std::size_t kCommandLineLimit = 4096;

// How long one wait for output lasts before the clock and `cancel` are looked at again.
inline constexpr int kCommandTickMs = 50;

// Splits one stream's bytes into lines for RunCommand; the same on every OS.
class OutputLines {
public:
    explicit OutputLines(const std::function<void(std::string_view line)>& outputLine)
        : outputLine_(outputLine) {}

    void Add(const char* bytes, std::size_t count);
    // The stream has ended: a last line without its end still counts.
    void Finish();

private:
    void Emit();

    const std::function<void(std::string_view line)>& outputLine_;
    std::string pending_;
    // The current line passed the limit and went out cut: skip to its end.
    bool skipping_ = false;
};

}  // namespace platform
