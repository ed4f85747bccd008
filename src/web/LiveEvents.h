#pragma once

// What happens while the page is open, turned into its events: the notifications the user is
// shown (and, for a received file, the file's new list row) and the links connected now.
// Deliver and the link reports come from the workers' threads; the connection set is guarded
// by mutex_.

#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "link/LinkWatch.h"
#include "link/NotifyUser.h"

class EventHub;
class FileIndex;

class LiveEvents : public NotifySink, public LinkWatch {
public:
    LiveEvents(EventHub& hub, FileIndex& index) : hub_(hub), index_(index) {}

    void Deliver(const UiNotice& notice) override;
    void LinkOpened(const void* key, const char* name, const char* kind, const char* peer) override;
    void LinkSerial(const void* key, const char* serial) override;
    void LinkClosed(const void* key) override;

    // {"connections":[...]}, oldest link first.
    nlohmann::json Connections();

private:
    struct Link {
        const void* key;
        std::string name, kind, peer, serial;
    };
    nlohmann::json ConnectionsLocked() const;
    void PublishConnectionsLocked();

    EventHub& hub_;
    FileIndex& index_;
    std::mutex mutex_;
    std::vector<Link> links_;  // in the order they opened
};
