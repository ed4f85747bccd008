#pragma once

// Helpers for tests that talk to a receiver over 127.0.0.1.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/Socket.h"

// A port that is free for both TCP and UDP right now.
std::uint16_t FreePort();

// Connects to 127.0.0.1:port, retrying while the server is still starting; with `from`, from
// that local address.
platform::Socket ConnectWithRetry(std::uint16_t port, const platform::Ipv4Endpoint* from = nullptr);

// Where the n-th of many connections leaves from: 127.0.0.2 for the first sixteen, 127.0.0.3 for
// the next sixteen, and so on, since the receiver lets no address hold more than sixteen.
platform::Ipv4Endpoint SpreadSource(std::size_t n);

// Polls `done` until it is true or the time is up; returns its last value.
bool WaitUntil(const std::function<bool()>& done,
               std::chrono::milliseconds limit = std::chrono::seconds(10));

// Sends a whole conversation and closes our sending side, so the receiver sees every byte
// before the end of the stream.
void SendAndFinish(platform::Socket& socket, const std::string& bytes);
