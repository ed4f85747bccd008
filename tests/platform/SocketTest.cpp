#include <gtest/gtest.h>

#include "platform/Event.h"
#include "platform/Socket.h"

namespace {

using platform::IoStatus;
using platform::Socket;
using platform::WaitResult;

constexpr int kLongMs = 5000;

// What the link tests cannot see: a stop wins over a busy link, an accept with nothing queued
// must not look like a failure (the listener would back off as if out of descriptors), ports in
// use are refused (a second receiver would share port 9393), and a connect to nothing fails
// (orbsim would report a transfer nobody received).
TEST(Socket, StopWinsAcceptingNothingWouldBlockPortsInUseAreRefusedConnectsToNothingFail) {
    ASSERT_TRUE(platform::StartNetworking());
    Socket listener = Socket::ListenTcp(0);
    ASSERT_TRUE(listener.IsValid() && listener.WatchAccept());
    platform::Event stop;
    EXPECT_EQ(platform::WaitForEither(stop.AsWaitable(), listener.Readiness(), 50),
              WaitResult::Timeout);
    int error = -1;
    Socket client = Socket::ConnectTcp(platform::kLoopback(listener.LocalPort()), &error);
    ASSERT_TRUE(client.IsValid()) << error;
    ASSERT_EQ(platform::WaitForEither(stop.AsWaitable(), listener.Readiness(), kLongMs),
              WaitResult::Second);
    // Every link thread waits on its stop first: a stop wins over a busy link, and a wait never
    // consumes it, so that it stays set for every other thread waiting on it.
    stop.Set();
    EXPECT_EQ(platform::WaitForEither(stop.AsWaitable(), listener.Readiness(), kLongMs),
              WaitResult::First);
    EXPECT_TRUE(stop.IsSet());
    stop.Reset();
    EXPECT_EQ(platform::WaitForEither(stop.AsWaitable(), listener.Readiness(), kLongMs),
              WaitResult::Second);
    listener.ResetReadiness();
    platform::Ipv4Endpoint peer;
    EXPECT_TRUE(listener.Accept(&peer).IsValid());
    platform::IoResult outcome{};
    EXPECT_FALSE(listener.Accept(&peer, &outcome).IsValid());
    EXPECT_EQ(outcome.status, IoStatus::WouldBlock);

    const Socket tcp = Socket::ListenTcp(0);
    const Socket udp = Socket::BindUdp(0);
    ASSERT_TRUE(tcp.IsValid() && udp.IsValid());
    EXPECT_FALSE(Socket::ListenTcp(tcp.LocalPort()).IsValid());
    EXPECT_FALSE(Socket::BindUdp(udp.LocalPort()).IsValid());
    // Nothing listens on a port just given back.
    std::uint16_t port = Socket::ListenTcp(0).LocalPort();
    error = 0;
    EXPECT_FALSE(Socket::ConnectTcp(platform::kLoopback(port), &error).IsValid());
    EXPECT_NE(error, 0);
}

}  // namespace
