#pragma once

// Answers discovery probes on the UDP port with the PC's local time, so that an instrument
// learns where the PC is (the reply's source) and what time it is there. Its thread owns the
// socket; it shares only its stop event.

#include <cstddef>
#include <cstdint>
#include <string>

#include "link/NetPorts.h"
#include "link/Threaded.h"

inline constexpr char kProbe[] = "OBX-REQ-00";
inline constexpr char kReplyPrefix[] = "OBX-REP-00:";

// The reply to one datagram, or an empty string when it gets none.
std::string DiscoveryReply(const char* datagram, std::size_t size, std::int64_t localSeconds);

class CNetBeacon : public CThreaded {
public:
    explicit CNetBeacon(std::uint16_t udpPort = kInstrumentPort) : port(udpPort) {}
    void ThreadMain() override;

private:
    std::uint16_t port;
};
