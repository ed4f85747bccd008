// The TCP listener, its workers and the discovery beacon, in this process, over 127.0.0.1. The
// process-level tests cover these paths on Linux; these also run the Windows socket and wait
// code, under Wine.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <regex>
#include <thread>

#include "fakes/Loopback.h"
#include "fakes/RecordingSinks.h"
#include "fakes/ScratchFolder.h"
#include "link/NetBeacon.h"
#include "link/NetListener.h"
#include "link/Receiver.h"
#include "platform/Clock.h"

namespace {

using Lines = std::vector<std::string>;

class NetLink : public ::testing::Test {
protected:
    NetLink() : port(FreePort()), listener(log.Context(data.store), port) {}
    // A failed assertion must not leave the listener's thread running past the fixture.
    ~NetLink() override { listener.Stop(); }

    // Log lines that match `pattern` whole, line feed included.
    std::size_t Count(const std::string& pattern) {
        const std::regex wanted(pattern);
        return std::ranges::count_if(
            log.Lines(), [&](const std::string& line) { return std::regex_match(line, wanted); });
    }
    // The log from line `first` on, without "Connection S# " and the line feed.
    Lines LinesSince(std::size_t first) {
        Lines lines;
        for (const Lines all = log.Lines(); first < all.size(); ++first) {
            const std::size_t text = all[first].find(' ', 11) + 1;
            lines.push_back(all[first].substr(text, all[first].size() - text - 1));
        }
        return lines;
    }

    ScratchDataFolder data;
    RecordingEvents log;
    std::uint16_t port;
    CNetListener listener;
};

// Where a serial link would get a NAK, TCP gets nothing: the receiver just closes. Whole transfers
// over TCP are orbtray.exe's own tests, on Linux and under Wine.
TEST_F(NetLink, AProtocolErrorClosesTheLinkWithoutAnAnswerOrAFile) {
    ASSERT_TRUE(listener.Start());
    platform::Socket client = ConnectWithRetry(port);
    Send(client, "HELLO 1\nLINE a\nhello\nLINE b\n");
    client.ShutdownSend();
    EXPECT_TRUE(ClosedQuietly(client));
    const Lines expected = {"from 127.0.0.1", "serial number is 1", "invalid command", "terminated",
                            "transfer aborted"};
    EXPECT_TRUE(WaitUntil([&] { return LinesSince(0) == expected; }))
        << ::testing::PrintToString(LinesSince(0));
    EXPECT_TRUE(data.Files().empty());
    EXPECT_TRUE(log.Notices().empty());
}

// Twenty connects queued at once also show, under Wine, that one pass takes every queued
// connection: that depends on accept arming the readiness event again.
TEST_F(NetLink, EachAddressHoldsAtMostSixteenConnectionsAndStopEndsEveryOneOpen) {
    ASSERT_TRUE(listener.Start());
    const platform::Ipv4Endpoint one = {{127, 0, 0, 1}, 0};
    const platform::Ipv4Endpoint other = {{127, 0, 0, 2}, 0};
    std::vector<platform::Socket> clients;
    for (int i = 0; i < 20; ++i) {
        clients.push_back(ConnectWithRetry(port, i < 19 ? one : other));
    }
    ASSERT_TRUE(WaitUntil([&] { return log.Lines().size() == 20; }));
    EXPECT_EQ(Count("Connection S[0-9]+ from 127\\.0\\.0\\.1\n"), 16u);
    EXPECT_EQ(Count("Connection S[0-9]+ from 127\\.0\\.0\\.2\n"), 1u);
    const std::string refused =
        "Connection S[0-9]+ refused, too many connections from 127\\.0\\.0\\.1\n";
    EXPECT_EQ(Count(refused), 3u);
    EXPECT_TRUE(ClosedQuietly(clients[18]));

    // A place given back is served again. The receiver closes its end only once the link has
    // been given up. (The address has had its twenty lines this second: the log may now hold
    // back its lines, which the flood tests count.)
    Send(clients[0], "HELLO 5\nBYE\n");
    clients[0].ShutdownSend();
    ASSERT_TRUE(ClosedQuietly(clients[0]));
    platform::Socket again = ConnectWithRetry(port, one);
    SendAndFinish(again, "HELLO 6\nBYE\n");
    ASSERT_TRUE(WaitUntil([&] { return log.Notices().size() == 2; }));
    EXPECT_EQ(Count(refused), 3u);

    // A stop ends every link still open, deleting the partial file of the one with a transfer.
    Send(clients[1], "HELLO 7\nLINE partial\n");
    ASSERT_TRUE(WaitUntil([&] { return data.Files().size() == 3; }));
    listener.Stop();
    EXPECT_EQ(data.Files().size(), 2u);
    for (std::size_t i : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 19}) {
        EXPECT_TRUE(ClosedQuietly(clients[i])) << i;
    }
    EXPECT_EQ(log.Notices().size(), 2u);
}

// Instruments that reconnect without pause keep the accept queue from ever running dry; the stop
// must still win, or Exit waits for as long as the flood lasts.
TEST_F(NetLink, StopEndsTheListenerDuringAFloodOfConnects) {
    ASSERT_TRUE(listener.Start());
    std::atomic<bool> flooding{true};
    std::vector<std::thread> senders;
    for (std::size_t n = 0; n < 8; ++n) {
        senders.emplace_back([&, n] {
            const platform::Ipv4Endpoint from = SpreadSource(n * 16);
            while (flooding) {
                int error = 0;
                platform::Socket::ConnectTcp(platform::kLoopback(port), &error, &from);
            }
        });
    }
    ASSERT_TRUE(WaitUntil([&] { return log.Lines().size() > 50; }));
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        listener.Stop();
        stopped = true;
    });
    EXPECT_TRUE(WaitUntil([&] { return stopped.load(); }));
    flooding = false;
    for (std::thread& sender : senders) {
        sender.join();
    }
    stopper.join();
}

// The tray application goes on without the port another program holds: the log says which,
// and the other network link still serves.
TEST(Receiver, APortThatCannotBeListenedOnIsLoggedAndTheOtherLinkServes) {
    for (const bool tcpTaken : {true, false}) {
        ScratchDataFolder data;
        RecordingEvents log;
        const std::uint16_t port = FreePort();
        const platform::Socket holder =
            tcpTaken ? platform::Socket::ListenTcp(port) : platform::Socket::BindUdp(port);
        ASSERT_TRUE(holder.IsValid());
        UsbOptions noUsb;
        noUsb.scan = false;
        Receiver receiver(data.store, log, port, noUsb);
        ASSERT_TRUE(receiver.Start());
        const std::string cannot = std::string("Connection ") + (tcpTaken ? "TCP" : "UDP") +
                                   std::to_string(port) + " cannot listen\n";
        EXPECT_TRUE(WaitUntil([&] { return log.Lines() == Lines{cannot}; }))
            << ::testing::PrintToString(log.Lines());
        if (tcpTaken) {
            platform::Socket client = platform::Socket::OpenUdp();
            client.SetReceiveTimeout(300);
            EXPECT_TRUE(WaitUntil([&] {
                client.SendTo("OBX-REQ-00", 10, platform::kLoopback(port));
                char reply[64];
                platform::Ipv4Endpoint from;
                return client.ReceiveFrom(reply, sizeof reply, &from).status ==
                       platform::IoStatus::Ok;
            }));
        } else {
            platform::Socket client = ConnectWithRetry(port);
            SendAndFinish(client, "HELLO 5\nLINE 1\nBYE\n");
            EXPECT_TRUE(WaitUntil([&] { return log.Notices().size() == 1; }));
        }
        receiver.Stop();
        EXPECT_EQ(std::ranges::count(log.Lines(), cannot), 1);
    }
}

TEST(NetBeacon, AnswersEachExactProbeWithTheLocalTime) {
    const std::uint16_t port = FreePort();
    RecordingEvents log;
    CNetBeacon beacon(log, port);
    ASSERT_TRUE(beacon.Start());
    platform::Socket client = platform::Socket::OpenUdp();
    client.SetReceiveTimeout(300);
    const auto probe = [&](const std::string& datagram) {
        client.SendTo(datagram.data(), datagram.size(), platform::kLoopback(port));
    };
    // Every reply that comes before a quiet spell.
    const auto replies = [&] {
        Lines texts;
        char reply[64];
        platform::Ipv4Endpoint from;
        for (platform::IoResult got;
             (got = client.ReceiveFrom(reply, sizeof reply, &from)).status ==
             platform::IoStatus::Ok;) {
            texts.emplace_back(reply, got.count);
            EXPECT_EQ(from.port, port);
        }
        return texts;
    };
    const std::string exact = "OBX-REQ-00";
    // The beacon binds on its own thread: probe until it answers.
    ASSERT_TRUE(WaitUntil([&] {
        probe(exact);
        return !replies().empty();
    }));

    // A probe is compared up to its first NUL; 127 bytes or more cannot be one.
    const std::string answered[] = {exact, exact + std::string("\0junk", 5),
                                    exact + std::string(116, '\0')};
    const std::string ignored[] = {
        exact + std::string(117, '\0'), exact + "\n", "obx-req-00", "OBX-REQ-0", "OBX-REQ-000", ""};
    for (std::size_t i = 0; i < std::size(ignored); ++i) {
        probe(ignored[i]);
        probe(answered[i % std::size(answered)]);
    }
    const Lines texts = replies();
    EXPECT_EQ(texts.size(), std::size(ignored));
    const std::int64_t expected = platform::LocalWallSeconds(platform::SystemClock().UtcSeconds());
    for (const auto& text : texts) {
        ASSERT_EQ(text.rfind("OBX-REP-00:", 0), 0u) << text;
        EXPECT_NEAR(double(std::stoll(text.substr(11))), double(expected), 5.0) << text;
    }
    beacon.Stop();
}

}  // namespace
