#include "link/Listener.h"

#include <system_error>

#include "link/TxWorker.h"
#include "link/Worker.h"

void CListener::ThreadMain() {
    Open();
    while (Poll()) {
    }
    // Every worker saw the same stop event; wait for each, whether or not it reported.
    for (auto& [id, workerThread] : workers) {
        workerThread.join();
        WorkerReaped(id);
    }
    workers.clear();
    finished.clear();
    Close();
}

void CListener::WorkerFinished(std::int32_t id) {
    std::lock_guard<std::mutex> lock(workersMutex);
    finished.push_back(id);
}

void CListener::ReapFinished() {
    // Taken out under the lock, joined outside it: workers that report meanwhile wait for
    // nothing and are reaped next time.
    std::vector<std::int32_t> reported;
    {
        std::lock_guard<std::mutex> lock(workersMutex);
        reported.swap(finished);
    }
    // A worker reports only as the last act of its last step, so each thread joined here is
    // already ending.
    for (const std::int32_t id : reported) {
        const auto entry = workers.find(id);
        if (entry != workers.end()) {
            entry->second.join();
            workers.erase(entry);
            WorkerReaped(id);
        }
    }
}

bool CListener::AddWorker(std::int32_t id, std::unique_ptr<CTxWorker> worker) {
    // The OS hands out a closed socket's value again. A worker still entered under that value
    // has closed its socket, which it does only after reporting: reaping joins it.
    if (HasWorker(id)) {
        ReapFinished();
    }
    std::thread workerThread;
    CTxWorker* raw = worker.get();
    try {
        workerThread = std::thread(&WorkerEntry, raw);
    } catch (const std::system_error&) {
    }
    if (!workerThread.joinable()) {
        ConnectionLog(context.events, "Connection %s could not start\n", raw->ConnectionName());
        raw->Close();
        return false;
    }
    // From here the worker belongs to its thread, which destroys it after Close.
    worker.release();
    workers.emplace(id, std::move(workerThread));
    return true;
}
