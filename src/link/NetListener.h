#pragma once

// Accepts instrument connections on the TCP port and gives each its own CNetWorker thread.
// Everything here runs on the listener thread.

#include <cstdint>

#include "link/Listener.h"
#include "link/NetPorts.h"
#include "platform/Socket.h"

// More simultaneous connections than this are closed at once: each costs a thread, and a flood
// must not exhaust the process.
inline constexpr std::size_t kMaxNetWorkers = 256;

class CNetListener : public CListener {
public:
    explicit CNetListener(const StoreConfig& store, std::uint16_t tcpPort = kInstrumentPort)
        : CListener(store), port(tcpPort) {}

    void Open() override;
    bool Poll() override;
    void Close() override;

private:
    static constexpr int kBacklog = 10;
    static constexpr int kPollMs = 1000;

    void Accept();

    std::uint16_t port;
    platform::Socket listening;
};
