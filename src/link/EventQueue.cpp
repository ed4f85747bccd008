#include "link/EventQueue.h"

#include <cstdio>
#include <system_error>

EventQueue::EventQueue(std::vector<ReceiverEvents*> consumers) : consumers_(std::move(consumers)) {
    try {
        dispatcher_ = std::thread([this] { Dispatch(); });
    } catch (const std::system_error&) {
        // Running() says so; reports are then handed over where they are made.
    }
}

EventQueue::~EventQueue() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (dispatcher_.joinable()) {
        dispatcher_.join();
    }
}

void EventQueue::Report(const ReceiverEvent& event) {
    if (!Running()) {
        std::lock_guard<std::mutex> lock(handOverMutex_);
        HandOver(event);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // Progress is told again within a second: it goes first, and unsaid, since no line of
        // the log would have shown it.
        if (event.kind == ReceiverEvent::Kind::TransferProgress &&
            waiting_.size() >= kMaxWaitingProgress) {
            return;
        }
        if (waiting_.size() >= kMaxWaiting && event.kind != ReceiverEvent::Kind::FileReceived) {
            ++dropped_;
            return;
        }
        waiting_.push_back(event);
        ++reported_;
    }
    wake_.notify_one();
}

void EventQueue::Drain() {
    std::unique_lock<std::mutex> lock(mutex_);
    const std::size_t target = reported_;
    drained_.wait(lock, [&] { return handedOver_ >= target || !Running(); });
}

void EventQueue::Dispatch() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stopping_ || !waiting_.empty() || dropped_ > 0; });
        if (waiting_.empty() && dropped_ == 0) {
            return;  // stopping, and everything has been handed over
        }
        if (waiting_.empty()) {
            // What could not be kept is at least counted, in the log's own words.
            char line[kMaxLogLine + 1];
            std::snprintf(line, sizeof line, "Connection %s %zu more messages suppressed\n",
                          "events", dropped_);
            dropped_ = 0;
            ReceiverEvent summary;
            summary.text = line;
            lock.unlock();
            HandOver(summary);
            lock.lock();
            continue;
        }
        ReceiverEvent event = std::move(waiting_.front());
        waiting_.pop_front();
        lock.unlock();
        HandOver(event);
        lock.lock();
        ++handedOver_;
        drained_.notify_all();
    }
}

void EventQueue::HandOver(const ReceiverEvent& event) {
    for (ReceiverEvents* consumer : consumers_) {
        consumer->Report(event);
    }
}
