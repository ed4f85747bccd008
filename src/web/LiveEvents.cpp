#include "web/LiveEvents.h"

#include <algorithm>

#include "web/EventHub.h"
#include "web/FileIndex.h"
#include "web/FileRoutes.h"
#include "web/Reply.h"

LiveEvents::LiveEvents(EventHub& hub, FileIndex& index)
    : hub_(hub), index_(index), publisher_([this] { Publish(); }) {}

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
        case ReceiverEvent::Kind::FileReceived:
            return AddNotice(event);
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

void LiveEvents::LinkOpened(const ReceiverEvent& event) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        links_.push_back(Link{event.link, event.text, event.linkKind, event.peer, ""});
        linksChanged_ = true;
    }
    wake_.notify_all();
}

void LiveEvents::LinkSerial(const ReceiverEvent& event) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto link = std::find_if(links_.begin(), links_.end(),
                                       [&](const Link& each) { return each.key == event.link; });
        if (link == links_.end() || link->serial == event.serial) {
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

nlohmann::json LiveEvents::Connections() {
    std::lock_guard<std::mutex> lock(mutex_);
    return ConnectionsLocked();
}

nlohmann::json LiveEvents::ConnectionsLocked() const {
    nlohmann::json list = nlohmann::json::array();
    for (const Link& link : links_) {
        nlohmann::json entry{{"name", link.name}, {"kind", link.kind}, {"serial", link.serial}};
        if (!link.peer.empty()) {
            entry["peer"] = link.peer;
        }
        list.push_back(std::move(entry));
    }
    return {{"connections", std::move(list)}};
}

void LiveEvents::Publish() {
    using Clock = std::chrono::steady_clock;
    auto connectionsDue = Clock::now();
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        if (!notices_.empty()) {
            const Notice notice = std::move(notices_.front());
            notices_.pop_front();
            lock.unlock();
            PublishNotice(notice);
            lock.lock();
        } else if (linksChanged_ && Clock::now() >= connectionsDue) {
            linksChanged_ = false;
            const std::string list = JsonText(ConnectionsLocked());
            connectionsDue = Clock::now() + kConnectionsPace;
            lock.unlock();
            hub_.Publish("connections", list);
            lock.lock();
        } else if (linksChanged_) {
            wake_.wait_until(lock, connectionsDue);
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
