#pragma once

namespace platform {
class Event;
}
class CListener;

// One instrument link. Its thread calls Open once, Run for as long as it returns true, then
// Close, and destroys the object. Link resources are released by Close, not by the destructor.
class CWorker {
public:
    CWorker(CListener* owner, platform::Event* stop) : listener(owner), stopEvent(stop) {}
    virtual ~CWorker() = default;
    CWorker(const CWorker&) = delete;
    CWorker& operator=(const CWorker&) = delete;

    virtual void Open() = 0;
    // One step of waiting for and handling input; false when the worker is done.
    virtual bool Run() = 0;
    virtual void Close() = 0;

protected:
    CListener* listener;         // created the worker; not owned
    platform::Event* stopEvent;  // the listener's stop event, shared by all its workers; not owned
};

// Thread entry of every worker: Open, Run while it returns true, Close, then destroy the worker.
void WorkerEntry(CWorker* worker);
