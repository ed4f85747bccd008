#pragma once

// Answers discovery probes on the UDP port with the PC's local time, so that an instrument
// learns where the PC is (the reply's source) and what time it is there. Its thread owns the
// socket, which the owner may open (Bind) before the thread starts; it shares only its stop
// event.

#include <cstddef>
#include <cstdint>
#include <string>

#include "link/NetPorts.h"
#include "link/PortSocket.h"
#include "link/ReceiverEvents.h"
#include "link/Threaded.h"
#include "platform/Socket.h"

// The reply to one datagram, or an empty string when it gets none.
std::string DiscoveryReply(const char* datagram, std::size_t size, std::int64_t localSeconds);

class CNetBeacon : public CThreaded {
public:
    // Its lines go to `events`, which must outlive the beacon.
    explicit CNetBeacon(ReceiverEvents& receiverEvents, std::uint16_t udpPort = kInstrumentPort)
        : events(receiverEvents), bound(PortSocket::Kind::Udp, udpPort) {}

    // Opens the UDP socket, once. An owner that must know whether the port is free calls it
    // before Start; otherwise the thread does. 0, or the OS's error code.
    int Bind();
    // Binds, if the owner has not; a port that cannot be bound is logged and ends the thread.
    void ThreadMain() override;

private:
    // Answers probes until the stop event is signalled.
    void Serve();

    ReceiverEvents& events;
    PortSocket bound;
};
