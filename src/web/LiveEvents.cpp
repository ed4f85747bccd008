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

// The list row of a file just received, as the scan builds it: the serial folder is listed and
// the entry picked out, so size and time come from the same call the scan makes.
bool RowOf(const std::string& dataFolder, std::string_view path, FileRecord& row) {
    if (path.size() <= dataFolder.size() || path.compare(0, dataFolder.size(), dataFolder) != 0) {
        return false;
    }
    const std::string_view inside = path.substr(dataFolder.size());
    const std::size_t slash = inside.find('/');
    if (slash == std::string_view::npos || inside.find('/', slash + 1) != std::string_view::npos) {
        return false;
    }
    const std::string_view dir = inside.substr(0, slash);
    const std::string_view name = inside.substr(slash + 1);
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

void LiveEvents::Deliver(const UiNotice& notice) {
    hub_.Publish("notice",
                 JsonText({{"title", notice.title}, {"text", notice.text}, {"path", notice.path}}));
    if (std::strcmp(notice.title, kFileReceived) != 0 || notice.path[0] == '\0') {
        return;
    }
    index_.Changed();
    FileRecord row;
    if (RowOf(index_.DataFolder(), notice.path, row)) {
        hub_.Publish("file", JsonText(FileRowJson(row)));
    }
}

void LiveEvents::LinkOpened(const void* key, const char* name, const char* kind, const char* peer) {
    std::lock_guard<std::mutex> lock(mutex_);
    links_.push_back(Link{key, name, kind, peer, ""});
    PublishConnectionsLocked();
}

void LiveEvents::LinkSerial(const void* key, const char* serial) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto link = std::find_if(links_.begin(), links_.end(),
                                   [&](const Link& each) { return each.key == key; });
    if (link != links_.end() && link->serial != serial) {
        link->serial = serial;
        PublishConnectionsLocked();
    }
}

void LiveEvents::LinkClosed(const void* key) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto link = std::find_if(links_.begin(), links_.end(),
                                   [&](const Link& each) { return each.key == key; });
    if (link != links_.end()) {
        links_.erase(link);
        PublishConnectionsLocked();
    }
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

void LiveEvents::PublishConnectionsLocked() {
    // Published under the lock, so viewers see the changes in the order they happened.
    hub_.Publish("connections", JsonText(ConnectionsLocked()));
}
