#pragma once

namespace platform {

// Hands one finished text (normally a whole line ending in a line feed) to the developer's trace:
// the debugger output on Windows, standard error on POSIX. One call, so lines from different
// threads never interleave.
void WriteDebugOutput(const char* text);

}  // namespace platform
