#include "platform/Event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace platform {

// The eventfd counter stands for the signal: non-zero is set. Non-blocking, so that Reset can
// drain it without ever sleeping when it is already clear.
Event::Event() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

Event::~Event() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool Event::IsValid() const {
    return fd_ >= 0;
}

void Event::Set() {
    const std::uint64_t one = 1;
    while (::write(fd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void Event::Reset() {
    // One read returns and clears the whole counter, however often Set was called.
    std::uint64_t count = 0;
    while (::read(fd_, &count, sizeof count) < 0 && errno == EINTR) {
    }
}

bool Event::IsSet() const {
    pollfd entry{fd_, POLLIN, 0};
    return ::poll(&entry, 1, 0) == 1 && (entry.revents & POLLIN) != 0;
}

Waitable Event::AsWaitable() const {
    return Waitable{fd_};
}

}  // namespace platform
