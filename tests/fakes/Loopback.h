#pragma once

// Helpers for tests that talk to a receiver over 127.0.0.1.

#include <chrono>
#include <cstdint>
#include <functional>
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
    for (;;) {
        const std::uint16_t port = platform::Socket::ListenTcp(0, 1).LocalPort();
        if (platform::Socket::BindUdp(port).IsValid()) {
            return port;
        }
    }
}

// Connects to 127.0.0.1:port, retrying while the server is still starting.
inline platform::Socket ConnectWithRetry(std::uint16_t port) {
    platform::Socket socket;
    WaitUntil([&] {
        int error = 0;
        socket = platform::Socket::ConnectTcp(platform::kLoopback(port), &error);
        return socket.IsValid();
    });
    return socket;
}

// Sends a whole conversation and closes our sending side, so the receiver sees every byte
// before the end of the stream.
inline void SendAndFinish(platform::Socket& socket, const std::string& bytes) {
    socket.Send(bytes.data(), bytes.size());
    socket.ShutdownBoth();
}
