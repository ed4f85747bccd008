#pragma once

// A thread that finds new links, runs one worker thread per link and reaps the workers that end.
//
// Threads: `workers` belongs to the listener thread alone (insertion, reaping, the final join),
// and so does whatever a subclass keeps per worker (WorkerReaped runs there). `finished` is
// appended to by worker threads and emptied by the listener thread, both only while holding
// `workersMutex`.

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include <mutex>
#include <thread>
#include "link/LinkContext.h"
#include "link/Threaded.h"

class CTxWorker;

class CListener : public CThreaded {
public:
    // `linkContext` serves every worker this listener starts and must outlive the listener.
    explicit CListener(const LinkContext& linkContext) : context(linkContext) {}

    // Open; Poll until it returns false; join every worker still in `workers`; Close. The thread
    // therefore never ends before the workers it started.
    void ThreadMain() override;

    virtual void Open() = 0;
    // One pass of waiting for new links or the stop event and handling what came. False when
    // the listener is to stop.
    virtual bool Poll() = 0;
    virtual void Close() = 0;

    // Called by a worker thread as the last act of a worker that ended on its own.
    void WorkerFinished(std::int32_t id);

    std::size_t WorkerCount() const { return workers.size(); }

protected:
    // Joins and forgets the workers that reported themselves finished. Listener thread only.
    void ReapFinished();
    // Starts a thread for `worker` and enters it under `id`. Takes the worker in every case:
    // if no thread can be started the link is closed and the worker destroyed here.
    bool AddWorker(std::int32_t id, std::unique_ptr<CTxWorker> worker);
    bool HasWorker(std::int32_t id) const { return workers.contains(id); }
    // Called once for every worker entered, after its thread has been joined (by reaping or at
    // the end), so that a subclass can forget what it kept about it.
    virtual void WorkerReaped(std::int32_t /*id*/) {}

    const LinkContext context;
    std::mutex workersMutex;
    std::vector<std::int32_t> finished;  // in the order the workers reported

private:
    std::map<std::int32_t, std::thread> workers;  // by worker id, ascending
};
