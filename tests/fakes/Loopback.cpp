#include "fakes/Loopback.h"

#include <random>
#include <thread>

std::uint16_t FreePort() {
    // Tests may ask for a port before anything else has touched the socket layer.
    platform::StartNetworking();
    // Chosen below the ports the OS hands out for the local ends of connections (from 32768 on
    // Linux, 49152 on Windows): one of those can be taken by any connection of a test running
    // beside this one between this check and the receiver's own bind, and the receiver would
    // then listen nowhere.
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

platform::Socket ConnectWithRetry(std::uint16_t port, const platform::Ipv4Endpoint* from) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
        int error = 0;
        platform::Socket socket =
            platform::Socket::ConnectTcp(platform::kLoopback(port), &error, from);
        if (socket.IsValid() || std::chrono::steady_clock::now() > deadline) {
            return socket;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

platform::Ipv4Endpoint SpreadSource(std::size_t n) {
    return {{127, 0, 0, static_cast<std::uint8_t>(2 + n / 16)}, 0};
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

void SendAndFinish(platform::Socket& socket, const std::string& bytes) {
    socket.Send(bytes.data(), bytes.size());
    socket.ShutdownBoth();
}
