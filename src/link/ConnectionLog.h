#pragma once

#include <cstdarg>

#include "platform/Printf.h"

// The connection log: a developer's trace of every link, one line per event, each beginning
// "Connection <name> ". It goes to the debugger output unless a sink is set.

// Longest line, line feed included; longer lines are cut and still end in a line feed.
inline constexpr int kMaxLogLine = 259;

class LogSink {
public:
    virtual ~LogSink() = default;
    // Receives one whole line, line feed included. Called from any thread.
    virtual void Write(const char* line) = 0;
};

// Redirects the log (tests, the Linux front end). Set it before any worker thread starts;
// nullptr restores the debugger output.
void SetConnectionLogSink(LogSink* sink);

void ConnectionLog(const char* format, ...) ORB_PRINTF(1, 2);
void ConnectionLogV(const char* format, std::va_list arguments);
