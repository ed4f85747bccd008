#pragma once

// The admission gate in front of the HTTP server. It owns the listening socket, accepts on a
// thread of its own and holds each new connection until its request head has arrived whole
// (peeked, so the server still reads it), then hands it on. Heads that are late, too large or
// malformed are answered here and closed. Each address may hold a few connections and all
// together a bounded number: a slow client from an address that is at its share loses its
// oldest waiting connection to a newcomer, so slow or stalled clients cannot lock out others.
// A connection already handed on is evicted only when its answer has stopped moving (the client
// takes none of it); while the handed-on ones fill every place and none has, the gate leaves
// newcomers in the listen backlog.
//
// Threads: the gate's thread owns the listening socket, the epoll set, `waiting_` and the
// arming state (armed_, broken_, acceptPausedUntil_); Start and Stop run on the owner's thread.
// `handed_` (connections the server holds) is guarded by mutex_: the gate's thread adds to it,
// the server's thread reports each one's start and close through Started and Closed, and wakes
// the gate through wake_ (an eventfd, fixed from construction).

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <thread>

// Which "address" a share belongs to: an IPv4 address, or an IPv6 /64 (one host's usual
// allotment).
[[nodiscard]] std::string AddressKey(const sockaddr* address);

class ConnectionGate {
public:
    // Gives a connection whose head has arrived to the server, which then owns (and closes)
    // the socket; false if the server could not take it.
    using HandOff = std::function<bool(int fd, const sockaddr* peer, socklen_t peerSize)>;

    explicit ConnectionGate(HandOff handOff);
    ~ConnectionGate();
    ConnectionGate(const ConnectionGate&) = delete;
    ConnectionGate& operator=(const ConnectionGate&) = delete;

    // Takes the listening socket and starts accepting; false, with the socket closed and
    // `error` saying why, when the gate cannot watch it.
    [[nodiscard]] bool Start(int listenFd, std::string& error);
    // Stops accepting and closes the connections still waiting; the handed ones stay the
    // server's.
    void Stop();

    // From the server's thread: a handed connection (its socket `fd`) has started or closed.
    void Started(int fd, const void* connection);
    void Closed(int fd, const void* connection);

    static constexpr std::size_t kPerAddress = 8;
    static constexpr std::size_t kTotal = 64;
    static constexpr auto kHeadDeadline = std::chrono::seconds(10);
    // How long an answered connection may go on sending before it is closed.
    static constexpr auto kLinger = std::chrono::seconds(2);
    // How long accepting rests after the system had no descriptor or memory for a connection.
    static constexpr auto kAcceptPause = std::chrono::seconds(1);
    // A handed connection whose answer has waited this long without a byte taken by its client
    // gives its place to a newcomer that has none.
    static constexpr auto kStalled = std::chrono::seconds(2);

private:
    using Clock = std::chrono::steady_clock;
    struct Waiting {
        int fd;
        std::string address;
        sockaddr_storage peer;
        socklen_t peerSize;
        Clock::time_point deadline;
        bool answered = false;  // answered by the gate; waiting only to close cleanly
    };
    struct Handed {
        std::string address;
        Clock::time_point since;
        const void* connection = nullptr;  // set once the server has started it
        bool evicted = false;              // shut down by the gate; the server closes it soon
    };

    void Run();
    void Wake();
    void Arm();
    void AcceptAll();
    void Admit(int fd, const sockaddr_storage& peer, socklen_t peerSize);
    void Examine(std::list<Waiting>::iterator entry);
    void Answer(std::list<Waiting>::iterator entry, unsigned status, const char* text);
    void Drop(std::list<Waiting>::iterator entry);
    void Expire();
    std::size_t HandedCount(const std::string& address);
    // Shuts down the oldest handed connection (of `address`, or any when empty) whose answer
    // has stalled; false when none has.
    bool EvictStalled(const std::string& address);
    bool AnyStalled();

    const HandOff handOff_;
    const int epoll_;
    const int wake_;
    int setupError_ = 0;  // errno of a failed epoll_ or wake_
    int listen_ = -1;
    bool armed_ = false;
    bool broken_ = false;  // the gate's own set failed: it takes no more connections
    Clock::time_point acceptPausedUntil_{};
    std::atomic<bool> stopping_{false};
    std::list<Waiting> waiting_;  // oldest first
    std::mutex mutex_;
    std::map<int, Handed> handed_;  // by socket: a socket number is unique while it is open
    std::thread thread_;
};
