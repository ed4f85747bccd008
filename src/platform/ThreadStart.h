#pragma once

// How a new thread reaches its ThreadEntry. Each OS wants a start routine of its own signature,
// so each platform's trampoline only hands its argument on to RunThreadStartRequest.

namespace platform {

// Takes the request Thread::Start made, releases it and runs its entry on the calling thread.
unsigned RunThreadStartRequest(void* request);

}  // namespace platform
