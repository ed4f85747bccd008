#include "link/NetBeacon.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "link/ReceiverEvents.h"
#include "platform/Clock.h"
#include "transfer/Protocol.h"

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
    if (text != kDiscoveryProbe) {
        return {};
    }
    return std::string(kDiscoveryReplyPrefix) +
           std::to_string(static_cast<unsigned long long>(localSeconds));
}

int CNetBeacon::Bind() {
    return bound.Open();
}

void CNetBeacon::ThreadMain() {
    // A port held by another program ends the beacon; TCP still works for instruments that know
    // the address.
    if (Bind() != 0) {
        bound.LogCannotListen(events);
    } else {
        Serve();
    }
    // A later start binds afresh.
    bound.Close();
}

void CNetBeacon::Serve() {
    for (;;) {
        switch (platform::WaitForEither(stopEvent->AsWaitable(), bound.socket.Readiness(),
                                        platform::kWaitForever)) {
            case platform::WaitResult::First:
                return;
            case platform::WaitResult::Second:
                break;
            default:
                continue;
        }
        bound.socket.ResetReadiness();
        // Answer everything waiting before sleeping again.
        for (int failures = 0; failures < kMaxFailuresInARow;) {
            char buffer[kDatagramBuffer];
            platform::Ipv4Endpoint from;
            const platform::IoResult received =
                bound.socket.ReceiveFrom(buffer, sizeof buffer, &from);
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
                bound.socket.SendTo(reply.data(), reply.size(), from);
            }
        }
    }
}
