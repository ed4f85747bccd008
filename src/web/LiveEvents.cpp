#include "web/LiveEvents.h"

#include <algorithm>
#include <cmath>

#include "web/EventHub.h"
#include "web/FileIndex.h"
#include "web/FileRoutes.h"
#include "web/Reply.h"

LiveEvents::LiveEvents(EventHub& hub, FileIndex& index)
    : hub_(hub), index_(index), publisher_([this] { Publish(); }) {
    index_.FollowLinks([this](std::uint64_t link) { return FileOf(link); });
}

LiveEvents::~LiveEvents() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    publisher_.join();
}

void LiveEvents::Report(const ReceiverEvent& event) {
    switch (event.kind) {
        case ReceiverEvent::Kind::Log:
            return;
        case ReceiverEvent::Kind::LinkOpened:
            return LinkOpened(event);
        case ReceiverEvent::Kind::LinkSerial:
            return LinkSerial(event);
        case ReceiverEvent::Kind::LinkClosed:
            return LinkClosed(event);
        case ReceiverEvent::Kind::Notice:
            return AddNotice(event);
        case ReceiverEvent::Kind::FileReceived:
            // The list must know the file before a link may lead to it.
            index_.Changed();
            TransferEnded(event.link, &event.file);
            return AddNotice(event);
        case ReceiverEvent::Kind::TransferProgress:
            return TransferProgress(event);
        case ReceiverEvent::Kind::TransferAborted:
            return TransferEnded(event.link, nullptr);
    }
}

void LiveEvents::AddNotice(const ReceiverEvent& event) {
    const bool received = event.kind == ReceiverEvent::Kind::FileReceived;
    if (received) {
        index_.Changed();
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (notices_.size() >= kMaxWaitingNotices) {
            return;
        }
        notices_.push_back(Notice{event.title, event.text, received, event.file});
    }
    wake_.notify_all();
}

LiveEvents::Link* LiveEvents::FindLocked(const void* key) {
    const auto link = std::find_if(links_.begin(), links_.end(),
                                   [&](const Link& each) { return each.key == key; });
    return link != links_.end() ? &*link : nullptr;
}

void LiveEvents::LinkOpened(const ReceiverEvent& event) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        links_.push_back(
            Link{event.link, nextId_++, event.text, event.linkKind, event.peer, "", std::nullopt});
        linksChanged_ = true;
    }
    wake_.notify_all();
}

void LiveEvents::LinkSerial(const ReceiverEvent& event) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Link* link = FindLocked(event.link);
        if (link == nullptr || link->serial == event.serial) {
            return;
        }
        link->serial = event.serial;
        linksChanged_ = true;
    }
    wake_.notify_all();
}

void LiveEvents::LinkClosed(const ReceiverEvent& event) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto link = std::find_if(links_.begin(), links_.end(),
                                       [&](const Link& each) { return each.key == event.link; });
        if (link == links_.end()) {
            return;
        }
        links_.erase(link);
        linksChanged_ = true;
    }
    wake_.notify_all();
}

void LiveEvents::TransferProgress(const ReceiverEvent& event) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Link* link = FindLocked(event.link);
        if (link == nullptr) {
            return;
        }
        const auto now = Clock::now();
        const ReceivedFile& sofar = event.file;
        if (!link->transfer || link->transfer->file != sofar.name) {
            // A new transfer: whatever the link finished before is no longer what it shows.
            std::erase_if(finished_, [&](const Finished& each) { return each.id == link->id; });
            link->transfer = Transfer{sofar.serial, sofar.folder, sofar.name, {Sample{now, 0}}};
        }
        std::deque<Sample>& samples = link->transfer->samples;
        samples.push_back(Sample{now, sofar.lineCount});
        // The oldest sample kept is the last one at least kRateWindow old.
        while (samples.size() > 2 && samples[1].at <= now - kRateWindow) {
            samples.pop_front();
        }
        linksChanged_ = true;
    }
    wake_.notify_all();
}

void LiveEvents::TransferEnded(const void* key, const ReceivedFile* file) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Link* link = FindLocked(key);
        if (link == nullptr || !link->transfer) {
            return;
        }
        link->transfer.reset();
        if (file != nullptr) {
            if (finished_.size() >= kMaxFinished) {
                finished_.pop_front();
            }
            finished_.push_back(Finished{link->id, file->folder, file->name});
        }
        linksChanged_ = true;
    }
    wake_.notify_all();
}

nlohmann::json LiveEvents::ProgressJson(const Transfer& transfer, Clock::time_point now) {
    // Readings per second over the window: from the last sample at least that old (or the
    // transfer's start) to now, so that a pause brings the rate down though nothing is reported.
    const Sample* base = &transfer.samples.front();
    for (const Sample& sample : transfer.samples) {
        if (sample.at <= now - kRateWindow) {
            base = &sample;
        }
    }
    const std::uint32_t lines = transfer.samples.back().lines;
    const double seconds = std::chrono::duration<double>(now - base->at).count();
    const double rate = seconds > 0 ? (lines - base->lines) / seconds : 0.0;
    return {{"lines", lines}, {"rate", std::round(rate * 10) / 10}};
}

nlohmann::json LiveEvents::Connections() {
    std::lock_guard<std::mutex> lock(mutex_);
    return ConnectionsLocked();
}

nlohmann::json LiveEvents::ConnectionsLocked() const {
    const auto now = Clock::now();
    nlohmann::json list = nlohmann::json::array();
    for (const Link& link : links_) {
        nlohmann::json entry{
            {"id", link.id}, {"name", link.name}, {"kind", link.kind}, {"serial", link.serial}};
        if (!link.peer.empty()) {
            entry["peer"] = link.peer;
        }
        if (link.transfer) {
            entry["transfer"] = ProgressJson(*link.transfer, now);
        }
        list.push_back(std::move(entry));
    }
    return {{"connections", std::move(list)}};
}

const LiveEvents::Link* LiveEvents::ReceivingLocked(std::uint64_t id) const {
    const auto link = std::find_if(links_.begin(), links_.end(), [&](const Link& each) {
        return each.id == id && each.transfer.has_value();
    });
    return link != links_.end() ? &*link : nullptr;
}

const LiveEvents::Finished* LiveEvents::FinishedLocked(std::uint64_t id) const {
    // The latest first: a link that received again is found by what it received last.
    const auto found = std::find_if(finished_.rbegin(), finished_.rend(),
                                    [&](const Finished& each) { return each.id == id; });
    return found != finished_.rend() ? &*found : nullptr;
}

std::optional<FileIndex::LiveFile> LiveEvents::FileOf(std::uint64_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (const Link* link = ReceivingLocked(id)) {
        return FileIndex::LiveFile{link->transfer->dir, link->transfer->file, true};
    }
    if (const Finished* finished = FinishedLocked(id)) {
        return FileIndex::LiveFile{finished->dir, finished->name, false};
    }
    return std::nullopt;
}

Reply LiveEvents::Live(const Query& query) {
    const auto asked = query.find("link");
    if (asked == query.end()) {
        return TextReply(400, "link is needed");
    }
    const std::optional<std::uint64_t> id = LinkNumber(asked->second);
    if (!id) {
        return TextReply(400, "link must be a connection's number");
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (const Link* link = ReceivingLocked(*id)) {
        nlohmann::json answer = ProgressJson(*link->transfer, Clock::now());
        answer["state"] = "receiving";
        answer["serial"] = link->transfer->serial;
        return JsonReply(answer);
    }
    if (const Finished* finished = FinishedLocked(*id)) {
        return JsonReply({{"state", "received"}, {"dir", finished->dir}, {"name", finished->name}});
    }
    return TextReply(404, "no such transfer");
}

void LiveEvents::Publish() {
    auto connectionsDue = Clock::now();
    auto refreshDue = connectionsDue;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        const bool receiving = std::any_of(links_.begin(), links_.end(), [](const Link& link) {
            return link.transfer.has_value();
        });
        // A change goes out at the pace; a transfer's rate at least every kTransferPace.
        const auto due = linksChanged_ ? connectionsDue : std::max(connectionsDue, refreshDue);
        if (!notices_.empty()) {
            const Notice notice = std::move(notices_.front());
            notices_.pop_front();
            lock.unlock();
            PublishNotice(notice);
            lock.lock();
        } else if ((linksChanged_ || receiving) && Clock::now() >= due) {
            linksChanged_ = false;
            const std::string list = JsonText(ConnectionsLocked());
            connectionsDue = Clock::now() + kConnectionsPace;
            refreshDue = Clock::now() + kTransferPace;
            lock.unlock();
            hub_.Publish("connections", list);
            lock.lock();
        } else if (linksChanged_ || receiving) {
            wake_.wait_until(lock, due);
        } else {
            wake_.wait(lock);
        }
    }
}

void LiveEvents::PublishNotice(const Notice& notice) {
    nlohmann::json event{{"title", notice.title}, {"text", notice.text}};
    // The serial folder and name only: the Data folder's own path is the user's business, not
    // every viewer's.
    if (notice.received) {
        event["dir"] = notice.file.folder;
        event["name"] = notice.file.name;
        // Named as the file's row names it, so that the notice and the row agree.
        event["serial"] = SerialFromDirectoryName(notice.file.folder);
    }
    hub_.Publish("notice", JsonText(event));
    if (notice.received) {
        const FileRecord row{notice.file.folder, notice.file.name,
                             static_cast<std::uint32_t>(notice.file.size), notice.file.lastWrite};
        hub_.Publish("file", JsonText(FileRowJson(row)));
    }
}
