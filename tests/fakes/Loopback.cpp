#include "fakes/Loopback.h"

#include <thread>

std::uint16_t FreePort() {
    // Tests may ask for a port before anything else has touched the socket layer.
    platform::StartNetworking();
    for (;;) {
        platform::Socket tcp = platform::Socket::ListenTcp(0);
        const std::uint16_t port = tcp.LocalPort();
        if (platform::Socket::BindUdp(port).IsValid()) {
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
