#include "platform/Event.h"

#include <windows.h>

namespace platform {

Event::Event() : handle_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}

Event::~Event() {
    if (handle_ != nullptr) {
        CloseHandle(handle_);
    }
}

bool Event::IsValid() const {
    return handle_ != nullptr;
}

void Event::Set() {
    SetEvent(handle_);
}

void Event::Reset() {
    ResetEvent(handle_);
}

bool Event::IsSet() const {
    return WaitForSingleObject(handle_, 0) == WAIT_OBJECT_0;
}

Waitable Event::AsWaitable() const {
    return Waitable{handle_};
}

}  // namespace platform
