#pragma once

// The receiver's events as a front end takes them: reports are copied into a queue and handed
// to the consumers, in the order they came, on the queue's own thread. A link's report costs it
// one copy under a lock; whatever a consumer does (write a line, send a message to a window and
// wait for it, rebuild a list, forward a file) costs the link nothing.
//
// Threads: Report runs on any thread; the consumers run on `dispatcher_` only. `waiting_`,
// `dropped_` and `stopping_` are guarded by `mutex_`.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "link/ReceiverEvents.h"

class EventQueue final : public ReceiverEvents {
public:
    // `consumers` are called in the order given, for every event; they must outlive the queue.
    explicit EventQueue(std::vector<ReceiverEvents*> consumers);
    // Hands over everything still waiting, then ends the thread.
    ~EventQueue() override;
    EventQueue(const EventQueue&) = delete;
    EventQueue& operator=(const EventQueue&) = delete;

    // False when the dispatching thread could not be started: then every report is handed to
    // the consumers on the reporting thread, as nothing else would ever hand it over.
    bool Running() const { return dispatcher_.joinable(); }

    void Report(const ReceiverEvent& event) override;
    // Returns once every event reported before the call has been handed over.
    void Drain();

    // Beyond this many waiting events, log lines, link changes and notices are counted instead
    // of kept (a consumer that hangs must not grow the process without end); a received file is
    // always kept, since a forwarder depends on hearing of it.
    static constexpr std::size_t kMaxWaiting = 65536;
    // A transfer's progress is dropped sooner, leaving the rest of the room to the others.
    static constexpr std::size_t kMaxWaitingProgress = kMaxWaiting / 2;

private:
    void Dispatch();
    void HandOver(const ReceiverEvent& event);

    const std::vector<ReceiverEvents*> consumers_;
    std::mutex mutex_;
    // Serves reports handed over on the reporting threads, when there is no dispatcher.
    std::mutex handOverMutex_;
    std::condition_variable wake_;
    std::condition_variable drained_;
    std::deque<ReceiverEvent> waiting_;
    std::size_t dropped_ = 0;
    std::size_t handedOver_ = 0;  // events taken off the queue and handed over
    std::size_t reported_ = 0;    // events put on it
    bool stopping_ = false;
    std::thread dispatcher_;  // started last, after every field above
};
