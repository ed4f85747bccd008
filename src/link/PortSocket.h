#pragma once

// The instruments' TCP or UDP port as one socket, opened once: the owner may open it before the
// thread that serves it starts, to learn whether the port is free, and the thread's own open then
// gives the same outcome without trying again. Used by one thread at a time: the owner before
// the start, the serving thread after it.

#include <cstdint>

#include "link/ReceiverEvents.h"
#include "platform/Socket.h"

class PortSocket {
public:
    enum class Kind { Tcp, Udp };

    PortSocket(Kind kind, std::uint16_t port) : kind_(kind), port_(port) {}

    // Listens (TCP) or binds (UDP), and watches for connections or datagrams; the first call
    // only. 0, or the OS's error code (never 0 for a failure, whatever code the OS left).
    [[nodiscard]] int Open();
    // Logs that the port cannot be listened on, or that waiting on it failed, naming it
    // "TCP9393" or "UDP9393".
    void LogCannotListen(ReceiverEvents& events) const;
    void LogError(ReceiverEvents& events, int error) const;
    // Closes the socket; the next Open tries afresh.
    void Close();

    platform::Socket socket;

private:
    Kind kind_;
    std::uint16_t port_;
    bool tried_ = false;
    int error_ = 0;
};
