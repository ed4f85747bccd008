#include <gtest/gtest.h>

#include <string>

#include "platform/Event.h"
#include "platform/Socket.h"

namespace {

using platform::IoStatus;
using platform::Socket;
using platform::WaitResult;

constexpr int kLongMs = 5000;

// What the link tests cannot see: how each end of a stream and an empty datagram look, and
// that ports in use are refused. Windows and POSIX differ on all of these, and orbsim's TCP
// client relies on the half close.
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
    char buffer[64];
};

TEST_F(SocketTest, TcpStreamsEndCleanlyFromEitherSide) {
    Socket listener = Socket::ListenTcp(0);
    ASSERT_TRUE(listener.IsValid() && listener.WatchAccept());
    int error = -1;
    Socket client = Socket::ConnectTcp(platform::kLoopback(listener.LocalPort()), &error);
    ASSERT_TRUE(client.IsValid()) << error;
    ASSERT_EQ(AwaitReady(listener), WaitResult::Second);
    platform::Ipv4Endpoint peer;
    Socket server = listener.Accept(&peer);
    ASSERT_TRUE(server.IsValid() && server.WatchRead());
    // Nothing else is pending: the listener must neither block nor take that for a failure.
    platform::IoResult outcome{};
    EXPECT_FALSE(listener.Accept(&peer, &outcome).IsValid());
    EXPECT_EQ(outcome.status, IoStatus::WouldBlock);

    // A half close ends the stream for the server while the client can still hear back.
    client.ShutdownSend();
    ASSERT_EQ(AwaitReady(server), WaitResult::Second);
    EXPECT_EQ(server.Receive(buffer, sizeof buffer).status, IoStatus::Closed);
    EXPECT_EQ(server.Send("ok", 2).status, IoStatus::Ok);
    server.Close();
    client.SetReceiveTimeout(kLongMs);
    const platform::IoResult answer = client.Receive(buffer, sizeof buffer);
    ASSERT_EQ(answer.status, IoStatus::Ok);
    EXPECT_EQ(std::string(buffer, answer.count), "ok");
    EXPECT_EQ(client.Receive(buffer, sizeof buffer).status, IoStatus::Closed);
    // Our own shutdown ends the stream for us as well (Windows would rather call it an error).
    client.ShutdownBoth();
    EXPECT_EQ(client.Receive(buffer, sizeof buffer).status, IoStatus::Closed);
}

TEST_F(SocketTest, AnEmptyDatagramIsADatagramNotAClose) {
    Socket server = Socket::BindUdp(0);
    ASSERT_TRUE(server.IsValid() && server.WatchRead());
    Socket client = Socket::OpenUdp();
    ASSERT_TRUE(client.IsValid());
    for (const std::string payload : {"OBX-REQ-00", ""}) {
        SCOPED_TRACE(payload);
        client.SendTo(payload.data(), payload.size(), platform::kLoopback(server.LocalPort()));
        ASSERT_EQ(AwaitReady(server), WaitResult::Second);
        platform::Ipv4Endpoint from;
        const platform::IoResult got = server.ReceiveFrom(buffer, sizeof buffer, &from);
        ASSERT_EQ(got.status, IoStatus::Ok);
        EXPECT_EQ(std::string(buffer, got.count), payload);
        EXPECT_EQ(std::string(from.address, from.address + 4), std::string("\x7f\0\0\x01", 4));
        EXPECT_EQ(from.port, client.LocalPort());
        EXPECT_EQ(server.ReceiveFrom(buffer, sizeof buffer, &from).status, IoStatus::WouldBlock);
    }
    // A blocking receive that runs out of time reports that nothing came.
    ASSERT_TRUE(client.SetReceiveTimeout(50));
    EXPECT_EQ(client.ReceiveFrom(buffer, 1, nullptr).status, IoStatus::WouldBlock);
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
    std::uint16_t port = Socket::ListenTcp(0).LocalPort();
    int error = 0;
    EXPECT_FALSE(Socket::ConnectTcp(platform::kLoopback(port), &error).IsValid());
    EXPECT_NE(error, 0);
}

}  // namespace
