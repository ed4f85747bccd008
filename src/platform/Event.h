#pragma once

#include "platform/Waitable.h"

namespace platform {

// A manual-reset event: once set it stays set, for every waiter, until reset. Stop requests use
// it so that one signal reaches a listener and all of its workers.
class Event {
public:
    Event();  // created not signalled
    ~Event();
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    bool IsValid() const;
    void Set();
    void Reset();
    bool IsSet() const;
    Waitable AsWaitable() const;

private:
#ifdef _WIN32
    void* handle_;
#else
    int fd_;
#endif
};

}  // namespace platform
