#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Waitable.h"

namespace platform {

// Starts the socket layer (Winsock 2.2 on Windows; on POSIX it makes a peer's early close an
// error code instead of a SIGPIPE). Call once, before any socket exists.
bool StartNetworking();

struct Ipv4Endpoint {
    std::uint8_t address[4] = {0, 0, 0, 0};  // network order: 127.0.0.1 is {127, 0, 0, 1}
    std::uint16_t port = 0;                  // host order
};

inline constexpr Ipv4Endpoint kLoopback(std::uint16_t port) {
    return {{127, 0, 0, 1}, port};
}

enum class IoStatus {
    Ok,          // `count` bytes moved (for a receive, at least one)
    WouldBlock,  // nothing waiting now on a non-blocking socket
    Closed,      // the peer closed the connection (receive returned 0)
    Failed,      // see `error`
};

struct IoResult {
    IoStatus status;
    std::size_t count;
    int error;  // the OS's socket error code when Failed (WSAGetLastError or errno)
};

// The OS code of the last socket call that failed on this thread (errno, WSAGetLastError).
int LastSocketError();
// Why a socket call failed, in lower case for the end of a message: "address in use",
// "permission denied", or the system's own words.
std::string SocketErrorText(int error);

// One IPv4 socket, with the readiness signal a thread waits on together with its stop event.
// Move-only; the destructor closes what is still open.
class Socket {
public:
    Socket() = default;
    ~Socket();
    Socket(Socket&& other) noexcept;
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    // A TCP socket listening on `port` of every local address (port 0: any free port), with the
    // longest queue of pending connections the system allows: a connect that finds the queue
    // full is dropped and retried only a second later, or lost outright. On failure `error`,
    // when given, receives the OS code.
    static Socket ListenTcp(std::uint16_t port, int* error = nullptr);
    // A UDP socket bound to `port` of every local address; `error` as for ListenTcp.
    static Socket BindUdp(std::uint16_t port, int* error = nullptr);
    // A UDP socket on any free local port, for clients.
    static Socket OpenUdp();
    // A blocking TCP connection; `error` receives the OS code on failure. With `from`, the
    // connection leaves from that local address (any free port): a test or a load generator
    // can then stand for many hosts on the loopback range.
    static Socket ConnectTcp(const Ipv4Endpoint& peer, int* error,
                             const Ipv4Endpoint* from = nullptr);

    bool IsValid() const { return value_ != kInvalid; }
    // The OS's value for this socket: it names a TCP link ("S%u") and keys its worker.
    std::uint64_t Value() const { return value_; }
    std::uint16_t LocalPort() const;

    // Arms the readiness signal for pending connections, or for data and the peer's close, and
    // makes the socket non-blocking. False if the OS refused.
    [[nodiscard]] bool WatchAccept();
    [[nodiscard]] bool WatchRead();
    Waitable Readiness() const;
    // Re-arms the readiness signal before the socket is drained (a no-op where readiness is
    // level-triggered).
    void ResetReadiness();

    // Accepts one pending connection. Otherwise an invalid socket, and `outcome` says whether
    // none was waiting (WouldBlock) or the OS refused (Failed). After a refusal such as running
    // out of descriptors the connection stays queued and the socket ready: trying again at once
    // would only spin.
    Socket Accept(Ipv4Endpoint* peer, IoResult* outcome = nullptr);
    IoResult Receive(char* buffer, std::size_t size);
    IoResult Send(const char* data, std::size_t size);
    IoResult ReceiveFrom(char* buffer, std::size_t size, Ipv4Endpoint* from);
    IoResult SendTo(const char* data, std::size_t size, const Ipv4Endpoint& to);
    // Sets a receive time-out for blocking sockets (clients); 0 waits forever.
    bool SetReceiveTimeout(int milliseconds);

    void ShutdownBoth();
    // Ends our sending side only: the peer sees the end of the stream and can still answer
    // (or close) while we wait for it.
    void ShutdownSend();
    void Close();

private:
    explicit Socket(std::uint64_t value) : value_(value) {}

    static constexpr std::uint64_t kInvalid = ~std::uint64_t{0};
    std::uint64_t value_ = kInvalid;  // SOCKET or descriptor
#ifdef _WIN32
    void* event_ = nullptr;  // WSAEVENT for WSAEventSelect
#endif
};

}  // namespace platform
