#include "platform/DebugOutput.h"

#include <unistd.h>

#include <cstring>

namespace platform {

void WriteDebugOutput(const char* text) {
    // One write(2) per line keeps lines from concurrent workers whole on standard error.
    const std::size_t length = std::strlen(text);
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = ::write(STDERR_FILENO, text + done, length - done);
        if (n <= 0) {
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace platform
