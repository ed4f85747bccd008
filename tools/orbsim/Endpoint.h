#pragma once

// Addresses as people type them on the command line. Only dotted IPv4: the simulator talks to a
// receiver on a known machine, so there is no name lookup to wait for or to fail.

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Socket.h"

namespace orbsim {

// The receiver listens for both discovery and transfers here.
inline constexpr std::uint16_t kReceiverPort = 9393;

// "A.B.C.D" with each part 0-255 in decimal; "localhost" stands for 127.0.0.1.
bool ParseIpv4Address(std::string_view text, platform::Ipv4Endpoint* endpoint);
// 1-65535; port 0 would mean "any" to the OS, which is never what a user meant.
bool ParsePort(std::string_view text, std::uint16_t* port);
// "HOST" or "HOST:PORT"; `defaultPort` fills in a missing port.
bool ParseHostAndPort(std::string_view text, std::uint16_t defaultPort,
                      platform::Ipv4Endpoint* endpoint);
// Decimal digits only, within [min, max]; no sign, no blanks, no overflow.
bool ParseNumber(std::string_view text, long long min, long long max, long long* value);

std::string FormatEndpoint(const platform::Ipv4Endpoint& endpoint);

}  // namespace orbsim
