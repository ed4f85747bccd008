#pragma once

// The network side of an instrument: the UDP discovery probe and one TCP transfer. Blocking
// calls; the simulator does one thing at a time, like the instrument it stands in for.

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/Socket.h"

namespace orbsim {

struct DiscoveryReply {
    platform::Ipv4Endpoint from;
    std::string text;
};

// Sends the probe to `target` and waits up to `timeoutMs` for a valid reply. False with
// `error` filled when none came.
bool Discover(const platform::Ipv4Endpoint& target, int timeoutMs, DiscoveryReply* reply,
              std::string* error);

struct Pacing {
    std::size_t chunkBytes = 0;                    // 0: one write
    int pauseMs = 0;                               // between writes
    const platform::Ipv4Endpoint* from = nullptr;  // local address; null: the system's choice
};

// Connects to `receiver`, writes `bytes` paced as asked, then closes once the receiver has had
// the chance to take everything in. False with `error` filled on any failure.
bool SendOverTcp(const platform::Ipv4Endpoint& receiver, std::string_view bytes,
                 const Pacing& pacing, std::string* error);

}  // namespace orbsim
