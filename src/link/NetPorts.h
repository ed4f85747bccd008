#pragma once

#include <cstdint>

// Instruments look for the PC with a UDP probe and deliver over TCP, both on this port.
inline constexpr std::uint16_t kInstrumentPort = 9393;
