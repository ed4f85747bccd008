#pragma once

namespace platform {

// Something a thread can sleep on until it is signalled: a Windows handle, or a POSIX descriptor
// that becomes readable. Only the platform layer looks inside.
struct Waitable {
#ifdef _WIN32
    void* handle = nullptr;
#else
    int fd = -1;
#endif
};

enum class WaitResult { First, Second, Timeout, Failed };

inline constexpr int kWaitForever = -1;

// Waits for whichever of two objects is signalled first, up to `timeoutMs` (or kWaitForever).
// When both are signalled, First wins: callers put their stop event first so that a stop
// request is never starved by a busy link.
WaitResult WaitForEither(Waitable first, Waitable second, int timeoutMs);

// Waits for one object.
WaitResult WaitFor(Waitable object, int timeoutMs);

}  // namespace platform
