#include "link/Threaded.h"

#include <system_error>

void ThreadedEntry(CThreaded* object) {
    object->ThreadMain();
}

bool CThreaded::Start() {
    stopEvent = std::make_unique<platform::Event>();
    try {
        thread = std::thread(&ThreadedEntry, this);
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
