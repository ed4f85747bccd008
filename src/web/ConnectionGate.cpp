#include "web/ConnectionGate.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "web/Admission.h"
#include "web/Reply.h"
#include "web/RequestHead.h"
#include "web/WebLog.h"

std::string AddressKey(const sockaddr* address) {
    char text[INET6_ADDRSTRLEN] = "";
    if (address->sa_family == AF_INET) {
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text,
                    sizeof text);
        return text;
    }
    if (address->sa_family != AF_INET6) {
        return "?";
    }
    in6_addr bytes = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&bytes)) {
        ::inet_ntop(AF_INET, &bytes.s6_addr[12], text, sizeof text);
        return text;
    }
    std::memset(&bytes.s6_addr[8], 0, 8);
    ::inet_ntop(AF_INET6, &bytes, text, sizeof text);
    return std::string(text) + "/64";
}

namespace {

constexpr std::uint64_t kWakeId = ~std::uint64_t(0);
constexpr std::uint64_t kListenId = kWakeId - 1;

const char* Reason(unsigned status) {
    switch (status) {
        case 400:
            return "Bad Request";
        case 405:
            return "Method Not Allowed";
        case 408:
            return "Request Timeout";
        case 413:
            return "Content Too Large";
        case 414:
            return "URI Too Long";
        case 431:
            return "Request Header Fields Too Large";
        case 505:
            return "HTTP Version Not Supported";
        default:
            return "Error";
    }
}

std::string AnswerBytes(unsigned status, const char* text) {
    std::string body = std::string(text) + "\n";
    std::string head = "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) + "\r\n";
    head += "Content-Type: text/plain; charset=utf-8\r\nCache-Control: no-store\r\n";
    for (const HeaderField& field : kCommonHeaders) {
        head.append(field.name).append(": ").append(field.value).append("\r\n");
    }
    if (status == 405) {
        head.append("Allow: ").append(kServedMethods).append("\r\n");
    }
    head += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    return head + body;
}

// Whether the socket holds answer bytes its client has not taken while none has gone out for
// `quiet`: the client's window stays shut, it reads nothing. The kernel keeps the time, so one
// look tells, and a client that takes its answer slowly is never mistaken for one that stopped.
bool AnswerStalled(int fd, std::chrono::milliseconds quiet) {
    int unsent = 0;
    if (::ioctl(fd, SIOCOUTQ, &unsent) != 0 || unsent <= 0) {
        return false;
    }
    tcp_info info{};
    socklen_t size = sizeof info;
    return ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) == 0 && size == sizeof info &&
           info.tcpi_last_data_sent >= static_cast<std::uint32_t>(quiet.count());
}

[[nodiscard]] bool Watch(int epoll, int op, int fd, std::uint32_t events, std::uint64_t id) {
    epoll_event event{};
    event.events = events;
    event.data.u64 = id;
    return ::epoll_ctl(epoll, op, fd, &event) == 0;
}

}  // namespace

ConnectionGate::ConnectionGate(HandOff handOff)
    : handOff_(std::move(handOff)),
      epoll_(::epoll_create1(EPOLL_CLOEXEC)),
      wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    // Kept for Start to report: a constructor has no one to tell.
    if (epoll_ < 0 || wake_ < 0) {
        setupError_ = errno;
    }
}

ConnectionGate::~ConnectionGate() {
    Stop();
    if (wake_ >= 0) {
        ::close(wake_);
    }
    if (epoll_ >= 0) {
        ::close(epoll_);
    }
}

bool ConnectionGate::Start(int listenFd, std::string& error) {
    const auto fail = [&](const char* what) {
        error = std::string(what) + ": " + std::strerror(errno);
        ::close(listenFd);
        return false;
    };
    if (epoll_ < 0 || wake_ < 0) {
        errno = setupError_;
        return fail(epoll_ < 0 ? "no epoll set for the gate" : "no wake-up event for the gate");
    }
    const int flags = ::fcntl(listenFd, F_GETFL);
    // Never blocking the gate's thread, which has the waiting connections to look after too.
    if (flags < 0 || ::fcntl(listenFd, F_SETFL, flags | O_NONBLOCK) != 0) {
        return fail("the listening socket cannot be made non-blocking");
    }
    // Level-triggered: whatever is left in the backlog while the places are full is taken once
    // one frees.
    if (!Watch(epoll_, EPOLL_CTL_ADD, wake_, EPOLLIN, kWakeId) ||
        !Watch(epoll_, EPOLL_CTL_ADD, listenFd, 0, kListenId)) {
        return fail("the gate cannot watch its sockets");
    }
    listen_ = listenFd;
    thread_ = std::thread([this] { Run(); });
    return true;
}

void ConnectionGate::Wake() {
    WakeEventFd(wake_, "cannot wake the gate");
}

void ConnectionGate::Stop() {
    if (!thread_.joinable()) {
        return;
    }
    stopping_ = true;
    Wake();
    thread_.join();
    while (!waiting_.empty()) {
        Drop(waiting_.begin());
    }
    ::close(listen_);
    listen_ = -1;
}

void ConnectionGate::Started(int fd, const void* connection) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = handed_.find(fd);
    if (found != handed_.end() && found->second.connection == nullptr) {
        found->second.connection = connection;
    }
}

void ConnectionGate::Closed(int fd, const void* connection) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = handed_.find(fd);
        if (found == handed_.end() || found->second.connection != connection) {
            return;
        }
        handed_.erase(found);
    }
    Wake();
}

std::size_t ConnectionGate::HandedCount(const std::string& address) {
    std::lock_guard<std::mutex> lock(mutex_);
    // An evicted connection's place is the newcomer's already.
    return static_cast<std::size_t>(
        std::count_if(handed_.begin(), handed_.end(), [&](const auto& each) {
            return !each.second.evicted && (address.empty() || each.second.address == address);
        }));
}

bool ConnectionGate::EvictStalled(const std::string& address) {
    // Under the lock throughout: the server reports a close (and waits for it here) before it
    // closes the socket, so a listed socket cannot become another's while it is looked at.
    std::lock_guard<std::mutex> lock(mutex_);
    auto oldest = handed_.end();
    for (auto each = handed_.begin(); each != handed_.end(); ++each) {
        const Handed& handed = each->second;
        // Only one the server has started: its close is then reported before the socket goes.
        if (handed.evicted || handed.connection == nullptr ||
            (!address.empty() && handed.address != address) ||
            (oldest != handed_.end() && oldest->second.since <= handed.since) ||
            !AnswerStalled(each->first, kStalled)) {
            continue;
        }
        oldest = each;
    }
    if (oldest == handed_.end()) {
        return false;
    }
    // The server sees the shut socket fail and closes the connection itself, which it owns.
    ::shutdown(oldest->first, SHUT_RDWR);
    oldest->second.evicted = true;
    return true;
}

bool ConnectionGate::AnyStalled() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::any_of(handed_.begin(), handed_.end(), [](const auto& each) {
        return !each.second.evicted && each.second.connection != nullptr &&
               AnswerStalled(each.first, kStalled);
    });
}

void ConnectionGate::Run() {
    epoll_event events[32];
    while (!stopping_ && !broken_) {
        Arm();
        int timeout = -1;
        const bool paused = Clock::now() < acceptPausedUntil_;
        if (!waiting_.empty() || paused) {
            auto soonest = paused ? acceptPausedUntil_ : waiting_.front().deadline;
            for (const Waiting& each : waiting_) {
                soonest = std::min(soonest, each.deadline);
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(soonest - Clock::now());
            timeout = static_cast<int>(std::clamp<long long>(left.count() + 1, 0, 60'000));
        } else if (!armed_) {
            // Every place is handed on: look again soon for an answer that has stalled since.
            timeout = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(kStalled).count() / 2);
        }
        const int count = ::epoll_wait(epoll_, events, 32, timeout);
        if (count < 0 && errno != EINTR) {
            // Nothing the gate can wait for any more: it stops taking connections rather than
            // spinning, and the page answers no one until orbtray restarts.
            LogWebFailure("stops taking requests, epoll_wait failed");
            return;
        }
        for (int i = 0; i < count && !stopping_; ++i) {
            const std::uint64_t id = events[i].data.u64;
            if (id == kWakeId) {
                std::uint64_t value = 0;
                if (::read(wake_, &value, sizeof value) < 0 && errno != EAGAIN) {
                    LogWebFailure("cannot read its wake-up event");
                }
            } else if (id == kListenId) {
                AcceptAll();
            } else {
                // The entry may have been dropped by an earlier event of this round.
                const auto entry = std::find_if(waiting_.begin(), waiting_.end(),
                                                [&](const Waiting& w) { return w.fd == int(id); });
                if (entry != waiting_.end()) {
                    Examine(entry);
                }
            }
        }
        Expire();
    }
}

// Accepting only while there is a place or one can be made, so that otherwise newcomers wait in
// the backlog rather than being taken and closed.
void ConnectionGate::Arm() {
    const bool room =
        Clock::now() >= acceptPausedUntil_ &&
        (!waiting_.empty() || waiting_.size() + HandedCount("") < kTotal || AnyStalled());
    if (room != armed_) {
        if (!Watch(epoll_, EPOLL_CTL_MOD, listen_, room ? std::uint32_t(EPOLLIN) : 0u, kListenId)) {
            // Left armed, the level-triggered listener would wake the gate for ever.
            LogWebFailure("stops taking requests, its listening socket cannot be watched");
            broken_ = true;
        }
        armed_ = room;
    }
}

void ConnectionGate::AcceptAll() {
    while (!stopping_) {
        Arm();
        if (!armed_ || broken_) {
            return;
        }
        sockaddr_storage peer{};
        socklen_t peerSize = sizeof peer;
        const int fd = ::accept4(listen_, reinterpret_cast<sockaddr*>(&peer), &peerSize,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                return;  // the backlog is empty
            }
            if (errno == ECONNABORTED || errno == EINTR || errno == EPROTO || errno == EPERM) {
                continue;  // that one connection is gone; the next may be fine
            }
            // No descriptors or memory left: the backlog stays readable, so trying again at
            // once would spin. The gate pauses instead; connections that close meanwhile free
            // what it needs.
            LogWebFailure("pauses taking requests, accept failed");
            acceptPausedUntil_ = Clock::now() + kAcceptPause;
            continue;
        }
        Admit(fd, peer, peerSize);
    }
}

void ConnectionGate::Admit(int fd, const sockaddr_storage& peer, socklen_t peerSize) {
    const std::string address = AddressKey(reinterpret_cast<const sockaddr*>(&peer));
    {
        // The number was free until now, so any hand-off still listed under it is long gone
        // (its server may have failed it without a word).
        std::lock_guard<std::mutex> lock(mutex_);
        handed_.erase(fd);
    }
    const auto sameAddress = [&](const Waiting& w) { return w.address == address; };
    const auto waitingHere = std::count_if(waiting_.begin(), waiting_.end(), sameAddress);
    if (static_cast<std::size_t>(waitingHere) + HandedCount(address) >= kPerAddress) {
        const auto oldest = std::find_if(waiting_.begin(), waiting_.end(), sameAddress);
        if (oldest != waiting_.end()) {
            Drop(oldest);
        } else if (!EvictStalled(address)) {
            ::close(fd);
            return;
        }
    }
    if (waiting_.size() + HandedCount("") >= kTotal) {
        if (!waiting_.empty()) {
            Drop(waiting_.begin());
        } else if (!EvictStalled("")) {
            ::close(fd);
            return;
        }
    }
    // Edge-triggered: the head is only peeked, so its bytes stay readable; each new arrival
    // wakes the gate once.
    if (!Watch(epoll_, EPOLL_CTL_ADD, fd, EPOLLIN | EPOLLRDHUP | EPOLLET,
               static_cast<std::uint64_t>(fd))) {
        LogWebFailure("drops a request, its connection cannot be watched");
        ::close(fd);
        return;
    }
    waiting_.push_back({fd, address, peer, peerSize, Clock::now() + kHeadDeadline});
}

void ConnectionGate::Examine(std::list<Waiting>::iterator entry) {
    char buffer[kMaxHead];
    if (entry->answered) {
        // Read and discard until the client closes, so closing never resets our answer away.
        for (;;) {
            const ssize_t got = ::recv(entry->fd, buffer, sizeof buffer, 0);
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
                Drop(entry);
                return;
            }
            if (got < 0) {
                return;
            }
        }
    }
    const ssize_t got = ::recv(entry->fd, buffer, sizeof buffer, MSG_PEEK);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
        Drop(entry);
        return;
    }
    if (got < 0) {
        return;
    }
    const HeadCheck check = CheckHead(std::string_view(buffer, static_cast<std::size_t>(got)));
    if (check.status != 0) {
        Answer(entry, check.status, check.text);
        return;
    }
    if (!check.complete) {
        return;
    }
    const int fd = entry->fd;
    const sockaddr_storage peer = entry->peer;
    const socklen_t peerSize = entry->peerSize;
    // Still watched, the socket would wake the gate while the server owns it, and its number
    // could not be watched again once reused.
    if (::epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr) != 0) {
        LogWebFailure("drops a request, its connection cannot be handed on");
        Drop(entry);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        handed_[fd] = Handed{entry->address, Clock::now()};
    }
    waiting_.erase(entry);
    if (!handOff_(fd, reinterpret_cast<const sockaddr*>(&peer), peerSize)) {
        // The server has closed the socket.
        std::lock_guard<std::mutex> lock(mutex_);
        handed_.erase(fd);
    }
}

void ConnectionGate::Answer(std::list<Waiting>::iterator entry, unsigned status, const char* text) {
    char buffer[kMaxHead];
    // Read what has come, so closing later does not reset the connection under the answer.
    while (::recv(entry->fd, buffer, sizeof buffer, 0) > 0) {
    }
    const std::string answer = AnswerBytes(status, text);
    // Small enough for an empty socket buffer; a client that cannot take it loses it.
    [[maybe_unused]] const ssize_t sent =
        ::send(entry->fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    ::shutdown(entry->fd, SHUT_WR);
    entry->answered = true;
    entry->deadline = Clock::now() + kLinger;
}

void ConnectionGate::Drop(std::list<Waiting>::iterator entry) {
    // Closing takes the socket out of the set too; a removal that fails says the set is not
    // what the gate believes.
    if (::epoll_ctl(epoll_, EPOLL_CTL_DEL, entry->fd, nullptr) != 0) {
        LogWebFailure("cannot stop watching a connection");
    }
    ::close(entry->fd);
    waiting_.erase(entry);
}

void ConnectionGate::Expire() {
    const auto now = Clock::now();
    for (auto entry = waiting_.begin(); entry != waiting_.end();) {
        const auto next = std::next(entry);
        if (entry->deadline <= now) {
            if (entry->answered) {
                Drop(entry);
            } else {
                Answer(entry, 408, "the request took too long");
            }
        }
        entry = next;
    }
}
