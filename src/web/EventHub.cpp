#include "web/EventHub.h"

#include <algorithm>
#include <cstring>

EventHub::EventHub() = default;

EventHub::~EventHub() {
    CloseAll();
    if (keepAlive_.joinable()) {
        keepAlive_.join();
    }
}

void EventHub::Start() {
    if (!keepAlive_.joinable()) {
        keepAlive_ = std::thread([this] { KeepAlive(); });
    }
}

void EventHub::Publish(std::string_view event, std::string_view data) {
    std::string bytes;
    bytes.reserve(event.size() + data.size() + 16);
    bytes.append("event: ").append(event).append("\ndata: ").append(data).append("\n\n");
    std::lock_guard<std::mutex> lock(mutex_);
    SendLocked(bytes);
}

void EventHub::SendLocked(std::string_view bytes) {
    for (Viewer* viewer : viewers_) {
        if (viewer->dropped) {
            continue;
        }
        if (viewer->pending.size() - viewer->sent + bytes.size() > kMaxPending) {
            // The stream ends when the server next asks it for bytes; if the viewer never reads
            // again, the server's connection time-out closes it.
            viewer->dropped = true;
            viewer->pending.clear();
            viewer->sent = 0;
        } else {
            if (viewer->sent == viewer->pending.size()) {
                viewer->pending.clear();
                viewer->sent = 0;
            }
            viewer->pending.append(bytes);
        }
        if (viewer->suspended) {
            viewer->suspended = false;
            MHD_resume_connection(viewer->connection);
        }
    }
}

MHD_Response* EventHub::OpenStream(MHD_Connection* connection) {
    auto* viewer = new Viewer{this, connection, {}, 0, false, false};
    // Sent at once, so the browser sees the stream open before the first event; "retry" paces
    // its reconnection after orbtray restarts.
    viewer->pending = "retry: 2000\n: connected\n\n";
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (closing_) {
            delete viewer;
            return nullptr;
        }
        viewers_.insert(viewer);
    }
    MHD_Response* response =
        MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 4096, &Read, viewer, &Free);
    if (response == nullptr) {
        Free(viewer);
    }
    return response;
}

ssize_t EventHub::Read(void* cls, std::uint64_t, char* buffer, std::size_t size) {
    auto* viewer = static_cast<Viewer*>(cls);
    EventHub* hub = viewer->hub;
    std::lock_guard<std::mutex> lock(hub->mutex_);
    if (viewer->dropped) {
        return MHD_CONTENT_READER_END_WITH_ERROR;
    }
    const std::size_t left = viewer->pending.size() - viewer->sent;
    if (left == 0) {
        if (hub->closing_) {
            return MHD_CONTENT_READER_END_OF_STREAM;
        }
        // Nothing to say: the connection leaves the server's poll set until Publish resumes it.
        viewer->suspended = true;
        MHD_suspend_connection(viewer->connection);
        return 0;
    }
    const std::size_t count = std::min(left, size);
    std::memcpy(buffer, viewer->pending.data() + viewer->sent, count);
    viewer->sent += count;
    return static_cast<ssize_t>(count);
}

void EventHub::Free(void* cls) {
    auto* viewer = static_cast<Viewer*>(cls);
    EventHub* hub = viewer->hub;
    {
        std::lock_guard<std::mutex> lock(hub->mutex_);
        hub->viewers_.erase(viewer);
    }
    hub->changed_.notify_all();
    delete viewer;
}

void EventHub::CloseAll() {
    std::unique_lock<std::mutex> lock(mutex_);
    closing_ = true;
    for (Viewer* viewer : viewers_) {
        if (viewer->suspended) {
            viewer->suspended = false;
            MHD_resume_connection(viewer->connection);
        }
    }
    changed_.notify_all();
    changed_.wait_for(lock, std::chrono::seconds(2), [this] { return viewers_.empty(); });
}

std::size_t EventHub::ViewerCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return viewers_.size();
}

void EventHub::KeepAlive() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!closing_) {
        // A comment line: browsers ignore it, and it proves the connection still lives (a
        // suspended one is otherwise never written to, so a gone viewer would linger).
        if (!changed_.wait_for(lock, kKeepAlive, [this] { return closing_; })) {
            SendLocked(": keep-alive\n\n");
        }
    }
}
