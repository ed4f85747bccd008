#include "platform/DebugOutput.h"

#include <windows.h>

namespace platform {

void WriteDebugOutput(const char* text) {
    OutputDebugStringA(text);
}

}  // namespace platform
