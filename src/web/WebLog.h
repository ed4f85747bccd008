#pragma once

// The page's own failures (a call of its event loop or its gate that the OS refused), written
// like the connection log's lines to the developer's trace: the page is not the receiver, so
// its lines do not go through the receiver's events.

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/DebugOutput.h"

// Says what failed and the OS's reason, from errno as the failed call left it.
inline void LogWebFailure(const char* what) {
    char line[260];
    std::snprintf(line, sizeof line, "Connection web %s: %s\n", what, std::strerror(errno));
    platform::WriteDebugOutput(line);
}
