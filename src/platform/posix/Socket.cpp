#include "platform/Socket.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "platform/SocketAddress.h"

namespace platform {
namespace {

int Fd(std::uint64_t value) {
    return static_cast<int>(value);
}

// Keeps the first failure's code for a caller that asks for it; a later close must not
// overwrite it.
int Failed(int* error) {
    if (error != nullptr) {
        *error = errno;
    }
    return -1;
}

// The socket is made close-on-exec from the start, so no child process ever inherits it.
int OpenBound(int type, std::uint16_t port, int* error) {
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return Failed(error);
    }
    if (type == SOCK_STREAM) {
        // Lets a restarted server take its port back while old connections sit in TIME_WAIT;
        // a port that something still listens on stays refused.
        const int on = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    const sockaddr_in address = ToAddress({{0, 0, 0, 0}, port});
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        Failed(error);
        ::close(fd);
        return -1;
    }
    return fd;
}

bool MakeNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

IoResult Outcome(ssize_t n) {
    if (n >= 0) {
        return {n == 0 ? IoStatus::Closed : IoStatus::Ok, static_cast<std::size_t>(n), 0};
    }
    // A receive time-out on a blocking socket ends with EAGAIN as well.
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
        return {IoStatus::WouldBlock, 0, errno};
    }
    return {IoStatus::Failed, 0, errno};
}

}  // namespace

bool StartNetworking() {
    // A send to a peer that has gone fails with EPIPE instead of ending the process.
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

int LastSocketError() {
    return errno;
}

std::string SocketErrorText(int error) {
    // The two a user meets: another program on the port, or a port below 1024.
    if (error == EADDRINUSE) {
        return "address in use";
    }
    if (error == EACCES || error == EPERM) {
        return "permission denied";
    }
    std::string text = std::strerror(error);
    if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z') {
        text[0] = static_cast<char>(text[0] - 'A' + 'a');
    }
    return text;
}

Socket::~Socket() {
    Close();
}

Socket::Socket(Socket&& other) noexcept : value_(other.value_) {
    other.value_ = kInvalid;
}

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        Close();
        value_ = other.value_;
        other.value_ = kInvalid;
    }
    return *this;
}

Socket Socket::ListenTcp(std::uint16_t port, int* error) {
    const int fd = OpenBound(SOCK_STREAM, port, error);
    if (fd < 0) {
        return Socket();
    }
    Socket socket(static_cast<std::uint64_t>(fd));
    // Linux cuts the figure down to net.core.somaxconn without complaint.
    if (::listen(fd, SOMAXCONN) != 0) {
        Failed(error);
        return Socket();
    }
    return socket;
}

Socket Socket::BindUdp(std::uint16_t port, int* error) {
    const int fd = OpenBound(SOCK_DGRAM, port, error);
    return fd < 0 ? Socket() : Socket(static_cast<std::uint64_t>(fd));
}

Socket Socket::OpenUdp() {
    return BindUdp(0);
}

Socket Socket::ConnectTcp(const Ipv4Endpoint& peer, int* error, const Ipv4Endpoint* from) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        if (error != nullptr) {
            *error = errno;
        }
        return Socket();
    }
    Socket socket(static_cast<std::uint64_t>(fd));
    if (from != nullptr) {
        const sockaddr_in local = ToAddress(*from);
        if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            if (error != nullptr) {
                *error = errno;
            }
            return Socket();
        }
    }
    const sockaddr_in address = ToAddress(peer);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        // An interrupted connect goes on in the background and cannot simply be restarted.
        if (error != nullptr) {
            *error = errno;
        }
        return Socket();
    }
    return socket;
}

std::uint16_t Socket::LocalPort() const {
    sockaddr_in address{};
    socklen_t size = sizeof address;
    if (!IsValid() ||
        ::getsockname(Fd(value_), reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        return 0;
    }
    return ntohs(address.sin_port);
}

// poll(2) on the descriptor itself is the readiness signal; it only has to stop blocking.
bool Socket::WatchAccept() {
    return IsValid() && MakeNonBlocking(Fd(value_));
}

bool Socket::WatchRead() {
    return IsValid() && MakeNonBlocking(Fd(value_));
}

Waitable Socket::Readiness() const {
    return Waitable{IsValid() ? Fd(value_) : -1};
}

void Socket::ResetReadiness() {}

Socket Socket::Accept(Ipv4Endpoint* peer, IoResult* outcome) {
    sockaddr_in address{};
    for (;;) {
        socklen_t size = sizeof address;
        // Without SOCK_NONBLOCK the new socket blocks until its owner calls WatchRead.
        const int fd =
            ::accept4(Fd(value_), reinterpret_cast<sockaddr*>(&address), &size, SOCK_CLOEXEC);
        if (fd >= 0) {
            if (peer != nullptr) {
                *peer = FromAddress(address);
            }
            if (outcome != nullptr) {
                *outcome = {IoStatus::Ok, 0, 0};
            }
            return Socket(static_cast<std::uint64_t>(fd));
        }
        // A connection its client abandoned while it waited is gone; the next one may be fine.
        if (errno != EINTR && errno != ECONNABORTED) {
            if (outcome != nullptr) {
                *outcome = Outcome(-1);
            }
            return Socket();
        }
    }
}

IoResult Socket::Receive(char* buffer, std::size_t size) {
    for (;;) {
        const ssize_t n = ::recv(Fd(value_), buffer, size, 0);
        if (n >= 0 || errno != EINTR) {
            return Outcome(n);
        }
    }
}

IoResult Socket::Send(const char* data, std::size_t size) {
    std::size_t sent = 0;
    while (sent < size) {
        const ssize_t n = ::send(Fd(value_), data + sent, size - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            IoResult result = Outcome(n);
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
    for (;;) {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        const ssize_t n =
            ::recvfrom(Fd(value_), buffer, size, 0, reinterpret_cast<sockaddr*>(&address), &length);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n >= 0 && from != nullptr) {
            *from = FromAddress(address);
        }
        // An empty datagram is still a datagram, not a closed connection.
        return n == 0 ? IoResult{IoStatus::Ok, 0, 0} : Outcome(n);
    }
}

IoResult Socket::SendTo(const char* data, std::size_t size, const Ipv4Endpoint& to) {
    const sockaddr_in address = ToAddress(to);
    for (;;) {
        const ssize_t n = ::sendto(Fd(value_), data, size, MSG_NOSIGNAL,
                                   reinterpret_cast<const sockaddr*>(&address), sizeof address);
        if (n >= 0) {
            return {IoStatus::Ok, static_cast<std::size_t>(n), 0};
        }
        if (errno != EINTR) {
            return Outcome(n);
        }
    }
}

bool Socket::SetReceiveTimeout(int milliseconds) {
    timeval limit{};
    limit.tv_sec = milliseconds / 1000;
    limit.tv_usec = (milliseconds % 1000) * 1000;
    return IsValid() &&
           ::setsockopt(Fd(value_), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) == 0;
}

void Socket::ShutdownBoth() {
    if (IsValid()) {
        ::shutdown(Fd(value_), SHUT_RDWR);
    }
}

void Socket::ShutdownSend() {
    if (IsValid()) {
        ::shutdown(Fd(value_), SHUT_WR);
    }
}

void Socket::Close() {
    if (IsValid()) {
        ::close(Fd(value_));
        value_ = kInvalid;
    }
}

}  // namespace platform
