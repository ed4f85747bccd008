#pragma once

// Helpers for tests that talk to a receiver over 127.0.0.1.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <thread>

#include "platform/Socket.h"

// Polls `done` until it is true or the time is up; returns its last value.
inline bool WaitUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// A port that is free for both TCP and UDP right now.
inline std::uint16_t FreePort() {
    // Tests may ask for a port before anything else has touched the socket layer.
    platform::StartNetworking();
    // Below the ports the OS gives the local ends of connections (32768 on Linux, 49152 on
    // Windows), which any test running beside this one could take before the receiver binds.
    static std::mt19937 random(std::random_device{}());
    std::uniform_int_distribution<int> pick(20000, 32767);
    for (;;) {
        const auto port = static_cast<std::uint16_t>(pick(random));
        if (platform::Socket::ListenTcp(port).IsValid() &&
            platform::Socket::BindUdp(port).IsValid()) {
            return port;
        }
    }
}

// Connects to 127.0.0.1:port, retrying while the server is still starting; with `from`, from
// that local address.
inline platform::Socket ConnectWithRetry(std::uint16_t port,
                                         std::optional<platform::Ipv4Endpoint> from = {}) {
    platform::Socket socket;
    WaitUntil([&] {
        int error = 0;
        socket = platform::Socket::ConnectTcp(platform::kLoopback(port), &error,
                                              from ? &*from : nullptr);
        return socket.IsValid();
    });
    return socket;
}

// Where the n-th of many connections leaves from: 127.0.0.2 for the first sixteen, 127.0.0.3 for
// the next sixteen, and so on, since the receiver lets no address hold more than sixteen.
inline platform::Ipv4Endpoint SpreadSource(std::size_t n) {
    return {{127, 0, 0, static_cast<std::uint8_t>(2 + n / 16)}, 0};
}

// True once the receiver has closed the link without sending a byte back.
inline bool ClosedQuietly(platform::Socket& socket) {
    socket.SetReceiveTimeout(5000);
    char byte;
    return socket.Receive(&byte, 1).status == platform::IoStatus::Closed;
}

inline void Send(platform::Socket& socket, const std::string& bytes) {
    socket.Send(bytes.data(), bytes.size());
}

// Sends a whole conversation and closes, so the receiver sees every byte before the end of the
// stream.
inline void SendAndFinish(platform::Socket& socket, const std::string& bytes) {
    Send(socket, bytes);
    socket.ShutdownBoth();
}
