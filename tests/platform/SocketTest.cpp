#include <gtest/gtest.h>

#include <string>

#include "platform/Event.h"
#include "platform/Socket.h"

namespace {

using platform::IoStatus;
using platform::Socket;
using platform::WaitResult;

constexpr int kLongMs = 5000;

class SocketTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(platform::StartNetworking()); }

    // Waits for the socket's readiness alongside a stop event that is never set, as the
    // receiver's threads do, then re-arms it.
    WaitResult AwaitReady(Socket& socket) {
        const WaitResult result =
            platform::WaitForEither(stop.AsWaitable(), socket.Readiness(), kLongMs);
        socket.ResetReadiness();
        return result;
    }

    platform::Event stop;
};

void ExpectLoopback(const platform::Ipv4Endpoint& endpoint, std::uint16_t port) {
    EXPECT_EQ(std::string(endpoint.address, endpoint.address + 4), std::string("\x7f\0\0\x01", 4));
    EXPECT_EQ(endpoint.port, port);
}

TEST_F(SocketTest, TcpAcceptReceiveAndPeerClose) {
    Socket listener = Socket::ListenTcp(0);
    ASSERT_TRUE(listener.IsValid());
    const std::uint16_t port = listener.LocalPort();
    ASSERT_NE(port, 0);
    ASSERT_TRUE(listener.WatchAccept());
    EXPECT_EQ(platform::WaitForEither(stop.AsWaitable(), listener.Readiness(), 20),
              WaitResult::Timeout);

    int error = -1;
    Socket client = Socket::ConnectTcp(platform::kLoopback(port), &error);
    ASSERT_TRUE(client.IsValid()) << error;
    ASSERT_EQ(AwaitReady(listener), WaitResult::Second);
    platform::Ipv4Endpoint peer;
    Socket accepted = listener.Accept(&peer);
    ASSERT_TRUE(accepted.IsValid());
    ExpectLoopback(peer, client.LocalPort());
    // Nothing else is pending, and the listener must not block waiting for it, nor take that
    // for a failure.
    platform::IoResult outcome{};
    EXPECT_FALSE(listener.Accept(&peer, &outcome).IsValid());
    EXPECT_EQ(outcome.status, IoStatus::WouldBlock);

    // Ownership moves with the socket.
    Socket server(std::move(accepted));
    EXPECT_FALSE(accepted.IsValid());
    ASSERT_TRUE(server.WatchRead());
    char buffer[64];
    EXPECT_EQ(server.Receive(buffer, sizeof buffer).status, IoStatus::WouldBlock);

    const std::string message = "reading 1;reading 2\r\n";
    const platform::IoResult sent = client.Send(message.data(), message.size());
    EXPECT_EQ(sent.status, IoStatus::Ok);
    EXPECT_EQ(sent.count, message.size());
    std::string received;
    while (received.size() < message.size()) {
        ASSERT_EQ(AwaitReady(server), WaitResult::Second);
        for (;;) {
            const platform::IoResult got = server.Receive(buffer, sizeof buffer);
            if (got.status != IoStatus::Ok) {
                EXPECT_EQ(got.status, IoStatus::WouldBlock);
                break;
            }
            received.append(buffer, got.count);
        }
    }
    EXPECT_EQ(received, message);

    // A half close ends the stream for the server while the client can still hear back.
    client.ShutdownSend();
    ASSERT_EQ(AwaitReady(server), WaitResult::Second);
    EXPECT_EQ(server.Receive(buffer, sizeof buffer).status, IoStatus::Closed);
    EXPECT_EQ(server.Send("ok", 2).status, IoStatus::Ok);
    server.Close();
    client.SetReceiveTimeout(5000);
    const platform::IoResult answer = client.Receive(buffer, sizeof buffer);
    ASSERT_EQ(answer.status, IoStatus::Ok);
    EXPECT_EQ(std::string(buffer, answer.count), "ok");
    EXPECT_EQ(client.Receive(buffer, sizeof buffer).status, IoStatus::Closed);
    // Our own shutdown ends the stream for us as well (Windows would rather call it an error).
    client.ShutdownBoth();
    EXPECT_EQ(client.Receive(buffer, sizeof buffer).status, IoStatus::Closed);
}

TEST_F(SocketTest, UdpDatagramsAndReplies) {
    Socket server = Socket::BindUdp(0);
    ASSERT_TRUE(server.IsValid());
    const std::uint16_t port = server.LocalPort();
    ASSERT_TRUE(server.WatchRead());
    Socket client = Socket::OpenUdp();
    ASSERT_TRUE(client.IsValid());
    ASSERT_TRUE(client.SetReceiveTimeout(kLongMs));

    // An empty datagram is a datagram like any other, not a close.
    for (const std::string payload : {"OBX-REQ-00", ""}) {
        SCOPED_TRACE(payload);
        EXPECT_EQ(client.SendTo(payload.data(), payload.size(), platform::kLoopback(port)).status,
                  IoStatus::Ok);
        ASSERT_EQ(AwaitReady(server), WaitResult::Second);
        char buffer[64];
        platform::Ipv4Endpoint from;
        platform::IoResult got = server.ReceiveFrom(buffer, sizeof buffer, &from);
        ASSERT_EQ(got.status, IoStatus::Ok);
        EXPECT_EQ(std::string(buffer, got.count), payload);
        ExpectLoopback(from, client.LocalPort());
        EXPECT_EQ(server.ReceiveFrom(buffer, sizeof buffer, &from).status, IoStatus::WouldBlock);

        const std::string reply = "reply:" + payload;
        EXPECT_EQ(server.SendTo(reply.data(), reply.size(), from).count, reply.size());
        got = client.ReceiveFrom(buffer, sizeof buffer, &from);
        ASSERT_EQ(got.status, IoStatus::Ok);
        EXPECT_EQ(std::string(buffer, got.count), reply);
        ExpectLoopback(from, port);
    }

    // A blocking receive that runs out of time reports that nothing came.
    ASSERT_TRUE(client.SetReceiveTimeout(50));
    char byte;
    EXPECT_EQ(client.ReceiveFrom(&byte, 1, nullptr).status, IoStatus::WouldBlock);
}

TEST_F(SocketTest, PortsInUseAreRefused) {
    const struct {
        const char* name;
        Socket (*open)(std::uint16_t port);
    } kinds[] = {
        {"tcp", &Socket::ListenTcp},
        {"udp", [](std::uint16_t port) { return Socket::BindUdp(port); }},
    };
    for (const auto& kind : kinds) {
        SCOPED_TRACE(kind.name);
        Socket first = kind.open(0);
        ASSERT_TRUE(first.IsValid());
        EXPECT_FALSE(kind.open(first.LocalPort()).IsValid());
    }

    // Nothing listens on a port just given back.
    std::uint16_t port = 0;
    {
        Socket listener = Socket::ListenTcp(0);
        port = listener.LocalPort();
    }
    int error = 0;
    EXPECT_FALSE(Socket::ConnectTcp(platform::kLoopback(port), &error).IsValid());
    EXPECT_NE(error, 0);
}

}  // namespace
