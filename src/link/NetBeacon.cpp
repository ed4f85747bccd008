#include "link/NetBeacon.h"

#include <algorithm>
#include <string>

#include "platform/Clock.h"
#include "platform/Socket.h"

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

void CNetBeacon::ThreadMain() {
    // A port held by another program ends the beacon quietly; TCP still works for instruments
    // that know the address.
    platform::Socket socket = platform::Socket::BindUdp(port);
    if (!socket.IsValid() || !socket.WatchRead()) {
        return;
    }
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
