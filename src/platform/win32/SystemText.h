#pragma once

// The system's own words for a Win32 error code, for log lines: its message without the line
// end and full stop Windows puts after it, or "error N" where Windows has none.

#include <windows.h>

#include <string>

namespace platform {

std::string SystemText(DWORD error);

}  // namespace platform
