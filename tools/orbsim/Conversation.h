#pragma once

// What an instrument says to the receiver, as bytes. No I/O here: the transports decide how and
// when the bytes go out, so the same encoding serves every link.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "transfer/Protocol.h"

namespace orbsim {

// The reply prefix followed by the receiver's clock as decimal seconds; anything else is some
// other program's datagram.
bool IsDiscoveryReply(std::string_view datagram);

// The lines of a file as an instrument holds them: split at LF with one trailing CR removed, so
// CR LF and LF files send the same lines. A last line without LF still counts; a final LF does
// not start another line. Every other byte is sent as it is, leaving it to the receiver to drop
// what it does not keep.
std::vector<std::string_view> SplitLines(std::string_view contents);

std::string EncodeHello(std::string_view serial);
// Always "LINE " and then the data: an empty line must keep the blank, or the receiver would
// read the word LINE itself as the data.
std::string EncodeLine(std::string_view data);
std::string EncodeBye();

// One whole transfer: HELLO, a LINE per line, BYE.
std::string EncodeTransfer(std::string_view serial, const std::vector<std::string_view>& lines);

// Consecutive pieces of `bytes` of at most `maxBytes` each (0: all in one piece), for links
// that must be exercised with partial lines and split line ends.
std::vector<std::string_view> SplitIntoChunks(std::string_view bytes, std::size_t maxBytes);

}  // namespace orbsim
