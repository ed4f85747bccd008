#include "platform/Clock.h"

#include <time.h>

namespace platform {
namespace {

class Win32Clock : public Clock {
public:
    std::int64_t UtcSeconds() const override { return static_cast<std::int64_t>(_time64(nullptr)); }
};

}  // namespace

const Clock& SystemClock() {
    static const Win32Clock clock;
    return clock;
}

std::int64_t LocalWallSeconds(std::int64_t utcSeconds) {
    // Break the instant down with the local zone and daylight-saving rule, then count that
    // breakdown back as if it were UTC: the result carries the offset in force at that instant.
    const __time64_t t = static_cast<__time64_t>(utcSeconds);
    struct tm local {};
    if (_localtime64_s(&local, &t) != 0) {
        return utcSeconds;
    }
    const __time64_t wall = _mkgmtime64(&local);
    return wall == -1 ? utcSeconds : static_cast<std::int64_t>(wall);
}

}  // namespace platform
