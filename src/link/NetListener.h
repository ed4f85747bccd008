#pragma once

// Accepts instrument connections on the TCP port and gives each its own CNetWorker thread.
// Everything here runs on the listener thread, except a Listen by the owner before the thread
// starts; the limiters in `peerLogs` are shared with the workers and lock themselves.

#include <cstdint>
#include <map>
#include <memory>

#include "link/Listener.h"
#include "link/LogLimiter.h"
#include "link/NetPorts.h"
#include "link/PortSocket.h"
#include "platform/Socket.h"

// More simultaneous connections than this are closed at once: each costs a thread, and a flood
// must not exhaust the process.
inline constexpr std::size_t kMaxNetWorkers = 256;
// No remote address may hold more than this many of them, so that one host (a faulty
// instrument, a PC running a load test) cannot take every place from the rest.
inline constexpr std::size_t kMaxNetWorkersPerAddress = 16;

class CNetListener : public CListener {
public:
    explicit CNetListener(const LinkContext& linkContext, std::uint16_t tcpPort = kInstrumentPort)
        : CListener(linkContext), port(tcpPort), listening(PortSocket::Kind::Tcp, tcpPort) {}

    // Opens the listening socket, once. An owner that must know whether the port is free calls
    // it before Start; otherwise Open does, on the listener thread. 0, or the OS's error code.
    int Listen();

    // Listens, if the owner has not, and logs a port that cannot be listened on.
    void Open() override;
    bool Poll() override;
    void Close() override;

protected:
    void WorkerReaped(std::int32_t id) override;

private:
    // Finished workers are reaped this often while there are any.
    static constexpr int kReapPeriodMs = 1000;
    // Pause after the OS refused an accept (out of descriptors or memory, say).
    static constexpr int kAcceptRetryMs = 100;

    void AcceptPending();
    void Admit(platform::Socket connection, const platform::Ipv4Endpoint& peer);
    std::size_t LiveFrom(std::uint32_t address) const;
    // The limiter of the lines `address` causes, made when it is first needed.
    std::shared_ptr<LogLimiter> LogOf(std::uint32_t address, const char* from);
    void FlushPeerLogs(bool final);

    std::uint16_t port;
    PortSocket listening;
    bool acceptRefused = false;
    // The remote address of every worker not yet reaped, by worker id.
    std::map<std::int32_t, std::uint32_t> addressOf;
    // A host that keeps connecting, whether it is refused or served, writes lines for every
    // connection: they are limited by remote address, across all of its connections, and named
    // by it in the summary. Its workers share its limiter; an address is forgotten once none of
    // them is left and it has been quiet for a second.
    std::map<std::uint32_t, std::shared_ptr<LogLimiter>> peerLogs;
    // When the limiters' summaries were last looked at.
    LogLimiter::Clock::time_point lastFlush{};
};
