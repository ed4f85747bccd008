#pragma once

// An object that owns one thread and the manual-reset event that stops it. The owner starts it
// once and stops it once; the stop event is shared, as a pointer, with everything the thread
// starts, so one signal ends them all.

#include <memory>
#include <thread>

#include "platform/Event.h"

class CThreaded {
public:
    CThreaded() = default;
    virtual ~CThreaded() = default;
    CThreaded(const CThreaded&) = delete;
    CThreaded& operator=(const CThreaded&) = delete;

    // The thread's whole life; returns when the object is to stop.
    virtual void ThreadMain() {}

    // Creates the stop event, then starts the thread. Called by the owner, before the first
    // Stop. False when the thread could not be started.
    [[nodiscard]] bool Start();
    // Signals the stop event and waits, without a time limit, for the thread to end.
    void Stop();

protected:
    std::unique_ptr<platform::Event> stopEvent;
    std::thread thread;
};

// Thread entry of every CThreaded: runs its ThreadMain.
void ThreadedEntry(CThreaded* object);
