#include "link/Threaded.h"

#include <system_error>

bool CThreaded::Start() {
    stopEvent = std::make_unique<platform::Event>();
    try {
        thread = std::thread([this] { ThreadMain(); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void CThreaded::Stop() {
    if (stopEvent) {
        stopEvent->Set();
    }
    if (thread.joinable()) {
        thread.join();
    }
    stopEvent.reset();
}
