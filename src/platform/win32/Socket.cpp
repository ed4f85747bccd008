#include "platform/Socket.h"

// winsock2.h must come before anything that pulls in windows.h.
#include <winsock2.h>

#include <climits>

#include "platform/SocketAddress.h"

namespace platform {
namespace {

SOCKET AsSocket(std::uint64_t value) {
    return static_cast<SOCKET>(value);
}

// recv and send take an int length; larger requests are carried out in pieces.
int Chunk(std::size_t size) {
    return size > INT_MAX ? INT_MAX : static_cast<int>(size);
}

// Keeps the first failure's code for a caller that asks for it; a later close must not
// overwrite it.
SOCKET Failed(int* error) {
    if (error != nullptr) {
        *error = WSAGetLastError();
    }
    return INVALID_SOCKET;
}

// No socket options: without SO_REUSEADDR Windows refuses a port that is already bound.
SOCKET OpenBound(int type, int protocol, std::uint16_t port, int* error) {
    const SOCKET s = socket(AF_INET, type, protocol);
    if (s == INVALID_SOCKET) {
        return Failed(error);
    }
    const sockaddr_in address = ToAddress({{0, 0, 0, 0}, port});
    if (bind(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        Failed(error);
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

// Ties `events` of the socket to its own event object, created on first use.
bool SelectEvents(SOCKET s, void** event, long events) {
    if (*event == nullptr) {
        const WSAEVENT created = WSACreateEvent();
        if (created == WSA_INVALID_EVENT) {
            return false;
        }
        *event = created;
    }
    return WSAEventSelect(s, *event, events) == 0;
}

IoResult Failure() {
    const int error = WSAGetLastError();
    // A receive time-out on a blocking socket is "nothing yet" as well.
    if (error == WSAEWOULDBLOCK || error == WSAETIMEDOUT) {
        return {IoStatus::WouldBlock, 0, error};
    }
    return {IoStatus::Failed, 0, error};
}

}  // namespace

bool StartNetworking() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

int LastSocketError() {
    return WSAGetLastError();
}

std::string SocketErrorText(int error) {
    switch (error) {
        case WSAEADDRINUSE:
            return "address in use";
        case WSAEACCES:
            return "permission denied";
        default:
            return "error " + std::to_string(error);
    }
}

Socket::~Socket() {
    Close();
}

Socket::Socket(Socket&& other) noexcept : value_(other.value_), event_(other.event_) {
    other.value_ = kInvalid;
    other.event_ = nullptr;
}

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        Close();
        value_ = other.value_;
        event_ = other.event_;
        other.value_ = kInvalid;
        other.event_ = nullptr;
    }
    return *this;
}

Socket Socket::ListenTcp(std::uint16_t port, int* error) {
    const SOCKET s = OpenBound(SOCK_STREAM, IPPROTO_TCP, port, error);
    if (s == INVALID_SOCKET) {
        return Socket();
    }
    Socket result(static_cast<std::uint64_t>(s));
    // Winsock reads SOMAXCONN as "the largest queue the provider supports".
    if (listen(s, SOMAXCONN) != 0) {
        Failed(error);
        return Socket();
    }
    return result;
}

Socket Socket::BindUdp(std::uint16_t port, int* error) {
    const SOCKET s = OpenBound(SOCK_DGRAM, IPPROTO_UDP, port, error);
    return s == INVALID_SOCKET ? Socket() : Socket(static_cast<std::uint64_t>(s));
}

// Bound at once: Windows refuses recvfrom and getsockname on a UDP socket never bound.
Socket Socket::OpenUdp() {
    return BindUdp(0);
}

Socket Socket::ConnectTcp(const Ipv4Endpoint& peer, int* error, const Ipv4Endpoint* from) {
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        if (error != nullptr) {
            *error = WSAGetLastError();
        }
        return Socket();
    }
    Socket result(static_cast<std::uint64_t>(s));
    if (from != nullptr) {
        const sockaddr_in local = ToAddress(*from);
        if (bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            if (error != nullptr) {
                *error = WSAGetLastError();
            }
            return Socket();
        }
    }
    const sockaddr_in address = ToAddress(peer);
    if (connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (error != nullptr) {
            *error = WSAGetLastError();
        }
        return Socket();
    }
    return result;
}

std::uint16_t Socket::LocalPort() const {
    sockaddr_in address{};
    int size = sizeof address;
    if (!IsValid() ||
        getsockname(AsSocket(value_), reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        return 0;
    }
    return ntohs(address.sin_port);
}

// WSAEventSelect also makes the socket non-blocking.
bool Socket::WatchAccept() {
    return IsValid() && SelectEvents(AsSocket(value_), &event_, FD_ACCEPT);
}

bool Socket::WatchRead() {
    u_long nonBlocking = 1;
    return IsValid() && SelectEvents(AsSocket(value_), &event_, FD_READ | FD_CLOSE) &&
           ioctlsocket(AsSocket(value_), FIONBIO, &nonBlocking) == 0;
}

Waitable Socket::Readiness() const {
    return Waitable{event_};
}

void Socket::ResetReadiness() {
    // FD_READ is recorded again by the next recv that leaves data behind, so resetting before
    // draining cannot lose a wake-up.
    if (event_ != nullptr) {
        WSAResetEvent(event_);
    }
}

Socket Socket::Accept(Ipv4Endpoint* peer, IoResult* outcome) {
    sockaddr_in address{};
    SOCKET s;
    for (;;) {
        int size = sizeof address;
        // Every call, failed or not, re-arms FD_ACCEPT while connections are still queued.
        s = accept(AsSocket(value_), reinterpret_cast<sockaddr*>(&address), &size);
        if (s != INVALID_SOCKET) {
            break;
        }
        // A connection its client reset while it waited is gone; the next one may be fine.
        if (WSAGetLastError() != WSAECONNRESET) {
            if (outcome != nullptr) {
                *outcome = Failure();
            }
            return Socket();
        }
    }
    // The new socket inherits the listener's event selection (its event, non-blocking mode).
    // Undo that, so it starts out blocking until its owner calls WatchRead.
    WSAEventSelect(s, nullptr, 0);
    u_long nonBlocking = 0;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    if (peer != nullptr) {
        *peer = FromAddress(address);
    }
    if (outcome != nullptr) {
        *outcome = {IoStatus::Ok, 0, 0};
    }
    return Socket(static_cast<std::uint64_t>(s));
}

IoResult Socket::Receive(char* buffer, std::size_t size) {
    const int n = recv(AsSocket(value_), buffer, Chunk(size), 0);
    if (n == SOCKET_ERROR) {
        // After our own shutdown Windows refuses the receive, where POSIX reports the end of
        // the stream; either way nothing more can arrive.
        if (WSAGetLastError() == WSAESHUTDOWN) {
            return {IoStatus::Closed, 0, 0};
        }
        return Failure();
    }
    return {n == 0 ? IoStatus::Closed : IoStatus::Ok, static_cast<std::size_t>(n), 0};
}

IoResult Socket::Send(const char* data, std::size_t size) {
    std::size_t sent = 0;
    while (sent < size) {
        const int n = send(AsSocket(value_), data + sent, Chunk(size - sent), 0);
        if (n == SOCKET_ERROR) {
            IoResult result = Failure();
            result.count = sent;
            return result;
        }
        if (n == 0) {
            return {IoStatus::Failed, sent, 0};
        }
        sent += static_cast<std::size_t>(n);
    }
    return {IoStatus::Ok, sent, 0};
}

IoResult Socket::ReceiveFrom(char* buffer, std::size_t size, Ipv4Endpoint* from) {
    sockaddr_in address{};
    int length = sizeof address;
    const int n = recvfrom(AsSocket(value_), buffer, Chunk(size), 0,
                           reinterpret_cast<sockaddr*>(&address), &length);
    if (n == SOCKET_ERROR) {
        return Failure();
    }
    if (from != nullptr) {
        *from = FromAddress(address);
    }
    // An empty datagram is still a datagram, not a closed connection.
    return {IoStatus::Ok, static_cast<std::size_t>(n), 0};
}

IoResult Socket::SendTo(const char* data, std::size_t size, const Ipv4Endpoint& to) {
    const sockaddr_in address = ToAddress(to);
    const int n = sendto(AsSocket(value_), data, Chunk(size), 0,
                         reinterpret_cast<const sockaddr*>(&address), sizeof address);
    if (n == SOCKET_ERROR) {
        return Failure();
    }
    return {IoStatus::Ok, static_cast<std::size_t>(n), 0};
}

bool Socket::SetReceiveTimeout(int milliseconds) {
    const DWORD limit = static_cast<DWORD>(milliseconds);
    return IsValid() && setsockopt(AsSocket(value_), SOL_SOCKET, SO_RCVTIMEO,
                                   reinterpret_cast<const char*>(&limit), sizeof limit) == 0;
}

void Socket::ShutdownBoth() {
    if (IsValid()) {
        shutdown(AsSocket(value_), SD_BOTH);
    }
}

void Socket::ShutdownSend() {
    if (IsValid()) {
        shutdown(AsSocket(value_), SD_SEND);
    }
}

void Socket::Close() {
    if (IsValid()) {
        closesocket(AsSocket(value_));
        value_ = kInvalid;
    }
    if (event_ != nullptr) {
        WSACloseEvent(event_);
        event_ = nullptr;
    }
}

}  // namespace platform
