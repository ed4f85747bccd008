#include "web/LiveEvents.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "platform/FileSystem.h"
#include "web/EventHub.h"
#include "web/FileIndex.h"
#include "web/FileRoutes.h"
#include "web/Reply.h"

namespace {

constexpr char kFileReceived[] = "File Received";

// A received file's serial folder and name: the Data folder's own path is the user's business,
// not every viewer's.
bool PlaceOf(const std::string& dataFolder, std::string_view path, std::string_view& dir,
             std::string_view& name) {
    if (path.size() <= dataFolder.size() || path.compare(0, dataFolder.size(), dataFolder) != 0) {
        return false;
    }
    const std::string_view inside = path.substr(dataFolder.size());
    const std::size_t slash = inside.find('/');
    if (slash == std::string_view::npos || inside.find('/', slash + 1) != std::string_view::npos) {
        return false;
    }
    dir = inside.substr(0, slash);
    name = inside.substr(slash + 1);
    return true;
}

// The list row of a file just received, as the scan builds it: the serial folder is listed and
// the entry picked out, so size and time come from the same call the scan makes.
bool RowOf(const std::string& dataFolder, std::string_view dir, std::string_view name,
           FileRecord& row) {
    bool found = false;
    platform::ListDirectory(
        dataFolder + std::string(dir) + '/', [&](const platform::DirectoryEntry& entry) {
            if (!found && entry.name == name && entry.kind != platform::EntryKind::Directory) {
                row = FileRecord{std::string(dir), std::string(name),
                                 static_cast<std::uint32_t>(entry.size), entry.lastWrite};
                found = true;
            }
        });
    return found;
}

}  // namespace

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

void LiveEvents::Deliver(const UiNotice& notice) {
    const bool received = std::strcmp(notice.title, kFileReceived) == 0 && notice.path[0] != '\0';
    if (received) {
        index_.Changed();
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (notices_.size() >= kMaxWaitingNotices) {
            return;
        }
        notices_.push_back(Notice{notice.title, notice.text, received ? notice.path : ""});
    }
    wake_.notify_all();
}

void LiveEvents::LinkOpened(const void* key, const char* name, const char* kind, const char* peer) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        links_.push_back(Link{key, name, kind, peer, ""});
        linksChanged_ = true;
    }
    wake_.notify_all();
}

void LiveEvents::LinkSerial(const void* key, const char* serial) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto link = std::find_if(links_.begin(), links_.end(),
                                       [&](const Link& each) { return each.key == key; });
        if (link == links_.end() || link->serial == serial) {
            return;
        }
        link->serial = serial;
        linksChanged_ = true;
    }
    wake_.notify_all();
}

void LiveEvents::LinkClosed(const void* key) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto link = std::find_if(links_.begin(), links_.end(),
                                       [&](const Link& each) { return each.key == key; });
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
    std::string_view dir, name;
    nlohmann::json event{{"title", notice.title}, {"text", notice.text}};
    const bool placed = PlaceOf(index_.DataFolder(), notice.path, dir, name);
    if (placed) {
        event["dir"] = dir;
        event["name"] = name;
    }
    hub_.Publish("notice", JsonText(event));
    FileRecord row;
    if (placed && RowOf(index_.DataFolder(), dir, name, row)) {
        hub_.Publish("file", JsonText(FileRowJson(row)));
    }
}
