#pragma once

// The command line, parsed without side effects so that every accepted and refused form can be
// checked by tests. Running the command is someone else's job.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Endpoint.h"
#include "platform/Socket.h"

namespace orbsim {

enum class Command { Help, Version, Discover, Send, Boot };

// How `send` reaches the receiver. A transfer always names its link: the default target is only
// a convenience for discover.
enum class Link { None, Tcp, Serial };

struct Options {
    Command command = Command::Help;
    // Where the discovery probe or the transfer goes.
    platform::Ipv4Endpoint target = platform::kLoopback(kReceiverPort);

    // discover: for the reply; send and boot over serial: for each answer
    int timeoutMs = 2000;

    // send
    Link link = Link::None;
    std::string serialPort;  // with Link::Serial, and for boot
    std::string serial;
    std::size_t chunkBytes = 0;                  // 0: each transfer in one write
    int pauseMs = 0;                             // between chunks
    std::optional<platform::Ipv4Endpoint> from;  // local address of a TCP transfer
    std::vector<std::string> files;

    // boot
    std::string outFile;
    int quietMs = 500;  // silence after an ACK that ends the image
};

struct ParseResult {
    Options options;
    std::string error;   // empty when the command line was understood
    std::string output;  // Help and Version: the text for standard output
};

// `arguments` excludes the program name.
ParseResult ParseCommandLine(const std::vector<std::string_view>& arguments);

}  // namespace orbsim
