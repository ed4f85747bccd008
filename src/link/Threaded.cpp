#include "link/Threaded.h"

unsigned ThreadedEntry(void* object) {
    static_cast<CThreaded*>(object)->ThreadMain();
    return 0;
}

bool CThreaded::Start() {
    stopEvent = std::make_unique<platform::Event>();
    return thread.Start(&ThreadedEntry, this);
}

void CThreaded::Stop() {
    if (stopEvent) {
        stopEvent->Set();
    }
    thread.Join();
    stopEvent.reset();
}
