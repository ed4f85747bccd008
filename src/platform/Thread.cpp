#include "platform/Thread.h"

#include <new>

#include "platform/ThreadStart.h"

// Starting a thread and moving its ownership work the same way on every platform; only creating
// and joining the OS thread differ.

namespace platform {
namespace {

struct StartRequest {
    ThreadEntry entry;
    void* argument;
};

}  // namespace

unsigned RunThreadStartRequest(void* raw) {
    const StartRequest request = *static_cast<StartRequest*>(raw);
    delete static_cast<StartRequest*>(raw);
    return request.entry(request.argument);
}

bool Thread::Start(ThreadEntry entry, void* argument) {
    if (started_) {
        return false;
    }
    auto* request = new (std::nothrow) StartRequest{entry, argument};
    if (request == nullptr) {
        return false;
    }
    if (!StartOsThread(request)) {
        delete request;
        return false;
    }
    started_ = true;
    return true;
}

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
