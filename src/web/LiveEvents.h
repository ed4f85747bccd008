#pragma once

// What happens while the page is open, turned into its events: the notifications the user is
// shown (and, for a received file, the file's new list row) and the links connected now.
//
// The receiver's events reach it on the event queue's thread. Taking one only records what
// changed, under mutex_, and wakes the publisher, so a page with many viewers never holds up
// the other front ends. The publisher thread builds the JSON from the store's own record of a
// received file and hands the events to the hub; connection changes go out at most every
// kConnectionsPace however fast links come and go, each time the list as it stands. Everything
// under mutex_ is guarded by it.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "link/ReceiverEvents.h"

class EventHub;
class FileIndex;

class LiveEvents final : public ReceiverEvents {
public:
    LiveEvents(EventHub& hub, FileIndex& index);
    ~LiveEvents() override;
    LiveEvents(const LiveEvents&) = delete;
    LiveEvents& operator=(const LiveEvents&) = delete;

    void Report(const ReceiverEvent& event) override;

    // {"connections":[...]}, oldest link first.
    nlohmann::json Connections();

    static constexpr auto kConnectionsPace = std::chrono::milliseconds(250);
    // Notices waiting for the publisher beyond this many are dropped: the list itself still
    // shows their files at the next look.
    static constexpr std::size_t kMaxWaitingNotices = 4096;

private:
    struct Link {
        const void* key;
        std::string name, kind, peer, serial;
    };
    struct Notice {
        std::string title, text;
        bool received;  // a file arrived, and `file` is the store's record of it
        ReceivedFile file;
    };
    void AddNotice(const ReceiverEvent& event);
    void LinkOpened(const ReceiverEvent& event);
    void LinkSerial(const ReceiverEvent& event);
    void LinkClosed(const ReceiverEvent& event);
    nlohmann::json ConnectionsLocked() const;
    void Publish();
    void PublishNotice(const Notice& notice);

    EventHub& hub_;
    FileIndex& index_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<Link> links_;  // in the order they opened
    bool linksChanged_ = false;
    std::deque<Notice> notices_;
    bool stopping_ = false;
    std::thread publisher_;  // started last, after every field above
};
