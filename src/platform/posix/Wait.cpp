#include <poll.h>

#include <cerrno>
#include <chrono>

#include "platform/Waitable.h"

namespace platform {
namespace {

// A hang-up or an error counts as ready too: the owner's next read reports it.
bool IsReady(const pollfd& entry) {
    return (entry.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

WaitResult Wait(pollfd* entries, nfds_t count, int timeoutMs) {
    for (nfds_t i = 0; i < count; ++i) {
        // poll(2) would silently skip a negative descriptor and sleep on the rest.
        if (entries[i].fd < 0) {
            return WaitResult::Failed;
        }
    }
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int left = timeoutMs;
    for (;;) {
        const int ready = ::poll(entries, count, left);
        if (ready > 0) {
            break;
        }
        if (ready == 0) {
            return WaitResult::Timeout;
        }
        if (errno != EINTR) {
            return WaitResult::Failed;
        }
        // A signal cut the sleep short: wait out only what is left of it.
        if (timeoutMs != kWaitForever) {
            const auto remaining =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            left = remaining.count() > 0 ? static_cast<int>(remaining.count()) : 0;
        }
    }
    for (nfds_t i = 0; i < count; ++i) {
        if ((entries[i].revents & POLLNVAL) != 0) {
            return WaitResult::Failed;
        }
    }
    // Checked in order, so that the first object wins when both are ready.
    if (IsReady(entries[0])) {
        return WaitResult::First;
    }
    if (count > 1 && IsReady(entries[1])) {
        return WaitResult::Second;
    }
    return WaitResult::Failed;
}

}  // namespace

WaitResult WaitForEither(Waitable first, Waitable second, int timeoutMs) {
    pollfd entries[2] = {{first.fd, POLLIN, 0}, {second.fd, POLLIN, 0}};
    return Wait(entries, 2, timeoutMs);
}

WaitResult WaitFor(Waitable object, int timeoutMs) {
    pollfd entry{object.fd, POLLIN, 0};
    return Wait(&entry, 1, timeoutMs);
}

}  // namespace platform
