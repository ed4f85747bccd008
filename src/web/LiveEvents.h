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
//
// Each link gets a number when it opens, which the page uses to follow a transfer in progress:
// its readings so far and their rate, and once it is over the file it became (kept for the last
// kMaxFinished transfers). While a transfer runs the list goes out at least every kTransferPace,
// its rate changing even when no report comes. The receiver's progress reports are only
// recorded here; the rate is worked out by the publisher and by the route that asks.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "link/ReceiverEvents.h"
#include "web/FileIndex.h"
#include "web/Reply.h"

class EventHub;

class LiveEvents final : public ReceiverEvents {
public:
    LiveEvents(EventHub& hub, FileIndex& index);
    ~LiveEvents() override;
    LiveEvents(const LiveEvents&) = delete;
    LiveEvents& operator=(const LiveEvents&) = delete;

    void Report(const ReceiverEvent& event) override;

    // {"connections":[...]}, oldest link first; each with its "id", and a transfer in progress
    // as "transfer": {"lines", "rate"}.
    nlohmann::json Connections();
    // GET /api/live?link=ID: {"state":"receiving","serial","lines","rate"} while the link's
    // transfer runs, {"state":"received","dir","name"} once it became a file; 404 for a link
    // with neither (unknown, idle, or its transfer broken off).
    [[nodiscard]] Reply Live(const Query& query);
    // Where the link numbered `id` is receiving, or the file its last transfer became; what the
    // file routes read for ?link=. Any thread.
    std::optional<FileIndex::LiveFile> FileOf(std::uint64_t id);

    static constexpr auto kConnectionsPace = std::chrono::milliseconds(250);
    static constexpr auto kTransferPace = std::chrono::milliseconds(500);
    // A transfer's rate is the readings of about this long before now.
    static constexpr auto kRateWindow = std::chrono::seconds(5);
    static constexpr std::size_t kMaxFinished = 512;
    // Notices waiting for the publisher beyond this many are dropped: the list itself still
    // shows their files at the next look.
    static constexpr std::size_t kMaxWaitingNotices = 4096;

private:
    using Clock = std::chrono::steady_clock;
    struct Sample {
        Clock::time_point at;
        std::uint32_t lines;
    };
    struct Transfer {
        std::string serial;
        std::string dir;   // the serial folder's name
        std::string file;  // the temporary file's name, which tells one transfer from the next
        std::deque<Sample>
            samples;  // the first when it began, then within kRateWindow; never empty
    };
    struct Link {
        const void* key;
        std::uint64_t id;
        std::string name, kind, peer, serial;
        std::optional<Transfer> transfer;
    };
    struct Finished {
        std::uint64_t id;
        std::string dir, name;
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
    void TransferProgress(const ReceiverEvent& event);
    // The link's transfer is over; `file` is what it became, null when nothing.
    void TransferEnded(const void* key, const ReceivedFile* file);
    Link* FindLocked(const void* key);
    // The link numbered `id` while it receives, and the last file it received.
    const Link* ReceivingLocked(std::uint64_t id) const;
    const Finished* FinishedLocked(std::uint64_t id) const;
    static nlohmann::json ProgressJson(const Transfer& transfer, Clock::time_point now);
    nlohmann::json ConnectionsLocked() const;
    void Publish();
    void PublishNotice(const Notice& notice);

    EventHub& hub_;
    FileIndex& index_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<Link> links_;  // in the order they opened
    bool linksChanged_ = false;
    std::uint64_t nextId_ = 1;
    std::deque<Finished> finished_;  // oldest first
    std::deque<Notice> notices_;
    bool stopping_ = false;
    std::thread publisher_;  // started last, after every field above
};
