#include "web/EventHub.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "web/WebLog.h"

EventHub::EventHub()
    : epoll_(::epoll_create1(EPOLL_CLOEXEC)), wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    // Kept for Start to report: a constructor has no one to tell.
    if (epoll_ < 0 || wake_ < 0) {
        setupError_ = errno;
    }
}

EventHub::~EventHub() {
    CloseAll();
    if (watch_.joinable()) {
        watch_.join();
    }
    if (wake_ >= 0) {
        ::close(wake_);
    }
    if (epoll_ >= 0) {
        ::close(epoll_);
    }
}

bool EventHub::Start(std::string& error) {
    if (watch_.joinable()) {
        return true;
    }
    epoll_event wake{};
    wake.events = EPOLLIN;
    wake.data.u64 = 0;
    const int failure = epoll_ < 0 || wake_ < 0                                 ? setupError_
                        : ::epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &wake) != 0 ? errno
                                                                                : 0;
    if (failure != 0) {
        error = std::string("the live events cannot be watched: ") + std::strerror(failure);
        return false;
    }
    watch_ = std::thread([this] { Watch(); });
    return true;
}

void EventHub::Wake() {
    WakeEventFd(wake_, "cannot wake the live events' watch");
}

void EventHub::Publish(std::string_view event, std::string_view data) {
    std::string bytes;
    bytes.reserve(event.size() + data.size() + 16);
    bytes.append("event: ").append(event).append("\ndata: ").append(data).append("\n\n");
    std::lock_guard<std::mutex> lock(mutex_);
    SendLocked(bytes);
}

void EventHub::SendLocked(std::string_view bytes) {
    for (auto& [id, viewer] : viewers_) {
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

MHD_Response* EventHub::OpenStream(MHD_Connection* connection, const std::string& address,
                                   Refusal& refusal) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    auto* viewer = new Viewer{this, 0, connection, address, {}, 0, false, false, false};
    // Sent at once, so the browser sees the stream open before the first event; "retry" paces
    // its reconnection after orbtray restarts.
    viewer->pending = "retry: 2000\n: connected\n\n";
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto here = std::count_if(viewers_.begin(), viewers_.end(), [&](const auto& each) {
            return each.second->address == address;
        });
        refusal =
            closing_ ? Refusal::Closing
            : viewers_.size() >= kStreams || static_cast<std::size_t>(here) >= kStreamsPerAddress
                ? Refusal::Full
                : Refusal::None;
        if (refusal != Refusal::None) {
            delete viewer;
            return nullptr;
        }
        viewer->id = nextId_++;
        viewers_.emplace(viewer->id, viewer);
    }
    // Edge-triggered: a viewer that sends something other than a hang-up is not woken for again
    // and again. The registration goes when the server closes the socket. Unwatched, a stream
    // whose viewer left would hold its place until the server's time-out: it is refused instead.
    epoll_event hangUp{};
    hangUp.events = EPOLLRDHUP | EPOLLET;
    hangUp.data.u64 = viewer->id;
    if (info == nullptr || ::epoll_ctl(epoll_, EPOLL_CTL_ADD, info->connect_fd, &hangUp) != 0) {
        if (info != nullptr) {
            LogWebFailure("refuses a live view, its connection cannot be watched");
        }
        refusal = Refusal::Failed;
        Free(viewer);
        return nullptr;
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
    if (viewer->hungUp) {
        // Ended as if in order: the server then lets the connection go at once, where after
        // an error it would keep it until its next event on any connection.
        return MHD_CONTENT_READER_END_OF_STREAM;
    }
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
        hub->viewers_.erase(viewer->id);
    }
    hub->changed_.notify_all();
    delete viewer;
}

void EventHub::CloseAll() {
    std::unique_lock<std::mutex> lock(mutex_);
    closing_ = true;
    if (watch_.joinable()) {
        Wake();
    }
    for (auto& [id, viewer] : viewers_) {
        if (viewer->suspended) {
            viewer->suspended = false;
            MHD_resume_connection(viewer->connection);
        }
    }
    changed_.notify_all();
    changed_.wait_for(lock, std::chrono::seconds(2), [this] { return viewers_.empty(); });
}

void EventHub::Watch() {
    auto nextKeepAlive = std::chrono::steady_clock::now() + kKeepAlive;
    epoll_event events[16];
    for (;;) {
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
            nextKeepAlive - std::chrono::steady_clock::now());
        const int count = ::epoll_wait(epoll_, events, 16,
                                       static_cast<int>(std::max<long long>(wait.count(), 0)));
        if (count < 0 && errno != EINTR) {
            // Waiting cannot go on; streams still flow, but without keep-alives or hang-up news.
            LogWebFailure("stops watching the live views, epoll_wait failed");
            return;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (closing_) {
            return;
        }
        for (int i = 0; i < count; ++i) {
            const auto found = viewers_.find(events[i].data.u64);
            if (found == viewers_.end()) {
                continue;
            }
            // Gone: its stream ends, which frees the server's connection.
            Viewer* viewer = found->second;
            viewer->dropped = true;
            viewer->hungUp = true;
            if (viewer->suspended) {
                viewer->suspended = false;
                MHD_resume_connection(viewer->connection);
            }
        }
        if (std::chrono::steady_clock::now() >= nextKeepAlive) {
            // A comment line: browsers ignore it, and it keeps the connection from timing out.
            SendLocked(": keep-alive\n\n");
            nextKeepAlive = std::chrono::steady_clock::now() + kKeepAlive;
        }
    }
}
