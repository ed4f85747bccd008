#include "link/NetBeacon.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "link/ReceiverEvents.h"
#include "platform/Clock.h"

namespace {

constexpr std::size_t kDatagramBuffer = 128;
// Datagrams of 127 bytes or more cannot be ours (and could have been cut by the buffer).
constexpr std::size_t kMaxProbeSize = 126;
// A receive error is skipped like a foreign datagram; a run of them (a socket gone bad) sends
// the thread back to its wait instead of spinning.
constexpr int kMaxFailuresInARow = 16;

}  // namespace

std::string DiscoveryReply(const char* datagram, std::size_t size, std::int64_t localSeconds) {
    if (size == 0 || size > kMaxProbeSize) {
        return {};
    }
    // Compared up to the first NUL: a NUL and anything after it are tolerated.
    const std::string text(datagram, std::find(datagram, datagram + size, '\0'));
    if (text != kProbe) {
        return {};
    }
    return kReplyPrefix + std::to_string(static_cast<unsigned long long>(localSeconds));
}

int CNetBeacon::Bind() {
    if (!bindTried) {
        bindTried = true;
        socket = platform::Socket::BindUdp(port, &bindError);
        if (socket.IsValid() && !socket.WatchRead()) {
            bindError = platform::LastSocketError();
            socket.Close();
        }
        // Every failure must read as one, whatever code the OS left behind.
        if (!socket.IsValid() && bindError == 0) {
            bindError = -1;
        }
    }
    return bindError;
}

void CNetBeacon::ThreadMain() {
    // A port held by another program ends the beacon; TCP still works for instruments that know
    // the address.
    if (Bind() != 0) {
        char name[16];
        std::snprintf(name, sizeof name, kUdpPortName, unsigned(port));
        ConnectionLog(events, "Connection %s cannot listen\n", name);
    } else {
        Serve();
    }
    // A later start binds afresh.
    socket.Close();
    bindTried = false;
    bindError = 0;
}

void CNetBeacon::Serve() {
    for (;;) {
        switch (platform::WaitForEither(stopEvent->AsWaitable(), socket.Readiness(),
                                        platform::kWaitForever)) {
            case platform::WaitResult::First:
                return;
            case platform::WaitResult::Second:
                break;
            default:
                continue;
        }
        socket.ResetReadiness();
        // Answer everything waiting before sleeping again.
        for (int failures = 0; failures < kMaxFailuresInARow;) {
            char buffer[kDatagramBuffer];
            platform::Ipv4Endpoint from;
            const platform::IoResult received = socket.ReceiveFrom(buffer, sizeof buffer, &from);
            if (received.status == platform::IoStatus::WouldBlock) {
                break;
            }
            if (received.status != platform::IoStatus::Ok) {
                ++failures;
                continue;
            }
            failures = 0;
            const std::string reply =
                DiscoveryReply(buffer, received.count,
                               platform::LocalWallSeconds(platform::SystemClock().UtcSeconds()));
            if (!reply.empty()) {
                socket.SendTo(reply.data(), reply.size(), from);
            }
        }
    }
}
