#include "link/ConnectionLog.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "platform/DebugOutput.h"

namespace {
std::atomic<LogSink*> g_logSink{nullptr};
}

void SetConnectionLogSink(LogSink* sink) {
    g_logSink.store(sink);
}

void ConnectionLog(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    ConnectionLogV(format, arguments);
    va_end(arguments);
}

void ConnectionLogV(const char* format, std::va_list arguments) {
    char line[kMaxLogLine + 1];
    const int length = std::vsnprintf(line, sizeof line, format, arguments);
    if (length < 0) {
        return;
    }
    // A cut line keeps its line feed so the next line still starts on a line of its own.
    if (length > kMaxLogLine) {
        line[kMaxLogLine - 1] = '\n';
    }
    if (LogSink* sink = g_logSink.load()) {
        sink->Write(line);
    } else {
        platform::WriteDebugOutput(line);
    }
}
