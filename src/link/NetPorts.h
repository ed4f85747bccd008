#pragma once

#include <cstdint>

// Instruments look for the PC with a UDP probe and deliver over TCP, both on this port.
inline constexpr std::uint16_t kInstrumentPort = 9393;

// The connection names of the two ports themselves, for the log line that says one of them
// cannot be listened on ("TCP9393").
inline constexpr char kTcpPortName[] = "TCP%u";
inline constexpr char kUdpPortName[] = "UDP%u";
