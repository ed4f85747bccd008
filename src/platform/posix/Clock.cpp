#include "platform/Clock.h"

#include <ctime>

namespace platform {
namespace {

class PosixClock : public Clock {
public:
    std::int64_t UtcSeconds() const override { return static_cast<std::int64_t>(::time(nullptr)); }
};

}  // namespace

const Clock& SystemClock() {
    static const PosixClock clock;
    return clock;
}

std::int64_t LocalWallSeconds(std::int64_t utcSeconds) {
    const time_t t = static_cast<time_t>(utcSeconds);
    struct tm local {};
    if (localtime_r(&t, &local) == nullptr) {
        return utcSeconds;
    }
    // tm_gmtoff is the offset in force at that instant, daylight saving included.
    return utcSeconds + local.tm_gmtoff;
}

}  // namespace platform
