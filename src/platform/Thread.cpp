#include "platform/Thread.h"

// Ownership of the OS thread moves the same way on every platform; only starting and joining
// differ.

namespace platform {

Thread::~Thread() {
    Join();
}

Thread::Thread(Thread&& other) noexcept : started_(other.started_), handle_(other.handle_) {
    other.started_ = false;
    other.handle_ = {};
}

Thread& Thread::operator=(Thread&& other) noexcept {
    if (this != &other) {
        Join();
        started_ = other.started_;
        handle_ = other.handle_;
        other.started_ = false;
        other.handle_ = {};
    }
    return *this;
}

}  // namespace platform
