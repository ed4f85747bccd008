#include <windows.h>

#include "platform/Waitable.h"

namespace platform {
namespace {

DWORD Milliseconds(int timeoutMs) {
    return timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
}

WaitResult FromWait(DWORD result) {
    switch (result) {
        case WAIT_OBJECT_0:
            return WaitResult::First;
        case WAIT_OBJECT_0 + 1:
            return WaitResult::Second;
        case WAIT_TIMEOUT:
            return WaitResult::Timeout;
        default:
            return WaitResult::Failed;
    }
}

}  // namespace

WaitResult WaitForEither(Waitable first, Waitable second, int timeoutMs) {
    // When several objects are signalled the lowest index is reported, so `first` wins.
    const HANDLE handles[2] = {first.handle, second.handle};
    return FromWait(WaitForMultipleObjects(2, handles, FALSE, Milliseconds(timeoutMs)));
}

WaitResult WaitFor(Waitable object, int timeoutMs) {
    return FromWait(WaitForSingleObject(object.handle, Milliseconds(timeoutMs)));
}

}  // namespace platform
