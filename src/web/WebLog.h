#pragma once

// The page's own failures (a call of its event loop or its gate that the OS refused), written
// like the connection log's lines to the developer's trace: the page is not the receiver, so
// its lines do not go through the receiver's events.

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/DebugOutput.h"

// Says what failed and the OS's reason, from errno as the failed call left it.
inline void LogWebFailure(const char* what) {
    char line[260];
    std::snprintf(line, sizeof line, "Connection web %s: %s\n", what, std::strerror(errno));
    platform::WriteDebugOutput(line);
}

// Wakes the thread that watches the eventfd `fd`; says `what` failed otherwise. EAGAIN means
// the counter is full, so a wake-up is waiting anyway.
inline void WakeEventFd(int fd, const char* what) {
    const std::uint64_t one = 1;
    if (::write(fd, &one, sizeof one) < 0 && errno != EAGAIN) {
        LogWebFailure(what);
    }
}
