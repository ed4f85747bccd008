#pragma once

// The bytes and words instruments and the receiver say to each other, beyond the command lines
// themselves: one definition for the receiver's links and for the instrument simulator.

#include <cstddef>
#include <string_view>

// A serial link's answer to every command and line: taken, or refused.
inline constexpr char kAck = 0x06;
inline constexpr char kNak = 0x15;

// Discovery over UDP: an instrument's probe, and the start of the PC's reply, which goes on
// with the PC's local time in seconds.
inline constexpr std::string_view kDiscoveryProbe = "OBX-REQ-00";
inline constexpr std::string_view kDiscoveryReplyPrefix = "OBX-REP-00:";

// A firmware image goes out in pieces of at most this many bytes; a piece ends early after a
// line feed.
inline constexpr std::size_t kMaxPieceBytes = 255;
