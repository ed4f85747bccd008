#pragma once

// What happens while the page is open, turned into its events: the notifications the user is
// shown (and, for a received file, the file's new list row) and the links connected now.
//
// The reports come from the receiver's threads (link workers, listeners) and must cost them
// next to nothing: a report only records what changed, under mutex_, and wakes the publisher.
// The publisher thread builds the JSON, lists the serial folder for a new row and hands the
// events to the hub; connection changes go out at most every kConnectionsPace however fast
// links come and go, each time the list as it stands. Everything under mutex_ is guarded by it.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "link/LinkWatch.h"
#include "link/NotifyUser.h"

class EventHub;
class FileIndex;

class LiveEvents : public NotifySink, public LinkWatch {
public:
    LiveEvents(EventHub& hub, FileIndex& index);
    ~LiveEvents() override;
    LiveEvents(const LiveEvents&) = delete;
    LiveEvents& operator=(const LiveEvents&) = delete;

    void Deliver(const UiNotice& notice) override;
    void LinkOpened(const void* key, const char* name, const char* kind, const char* peer) override;
    void LinkSerial(const void* key, const char* serial) override;
    void LinkClosed(const void* key) override;

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
        std::string title, text, path;
    };
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
