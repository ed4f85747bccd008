// The TCP listener, its workers and the discovery beacon, in this process, over 127.0.0.1.

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <thread>

#include "fakes/Loopback.h"
#include "fakes/RecordingSinks.h"
#include "fakes/ScratchFolder.h"
#include "link/NetBeacon.h"
#include "link/NetListener.h"
#include "platform/Clock.h"
#include "platform/Thread.h"

namespace {

class NetLink : public ::testing::Test {
protected:
    NetLink() : port(FreePort()), listener(data.store, port) { platform::StartNetworking(); }
    // A failed assertion must not leave the listener's thread running past the fixture.
    ~NetLink() override { listener.Stop(); }

    // The lines of one connection, with its name replaced by S#.
    std::vector<std::string> LinesOf(const std::string& name) {
        std::vector<std::string> lines;
        for (const auto& line : log.Lines()) {
            if (line.rfind("Connection " + name + " ", 0) == 0) {
                lines.push_back(line.substr(12 + name.size()));
            }
        }
        return lines;
    }

    std::vector<std::string> ConnectionNames() {
        std::vector<std::string> names;
        const std::regex from("Connection (S[0-9]+) from 127\\.0\\.0\\.[12]\n");
        for (const auto& line : log.Lines()) {
            std::smatch match;
            if (std::regex_match(line, match, from)) {
                names.push_back(match[1]);
            }
        }
        return names;
    }

    bool Logged(const std::string& ending, std::size_t times = 1) {
        std::size_t seen = 0;
        for (const auto& line : log.Lines()) {
            seen += line.size() >= ending.size() &&
                    line.compare(line.size() - ending.size(), ending.size(), ending) == 0;
        }
        return seen >= times;
    }

    ScratchDataFolder data;
    RecordingLog log;
    RecordingNotifier notifier;
    std::uint16_t port;
    CNetListener listener;
};

TEST_F(NetLink, ReceivesAFileAndSendsNothingBack) {
    ASSERT_TRUE(listener.Start());
    platform::Socket client = ConnectWithRetry(port);
    ASSERT_TRUE(client.IsValid());
    // Bursts in any split reach the session in order.
    for (const char* burst : {"HELLO 4", "2\r\nLINE 1,", "2\r\nLINE 3,4\r\nBY", "E\r\n"}) {
        client.Send(burst, std::strlen(burst));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    client.ShutdownBoth();
    ASSERT_TRUE(WaitUntil([&] { return Logged(" terminated\n"); }));

    const auto names = ConnectionNames();
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(LinesOf(names[0]),
              (std::vector<std::string>{"from 127.0.0.1\n", "serial number is 42\n",
                                        "transfered 2 lines\n", "transfer complete\n",
                                        "closed by peer\n", "terminated\n"}));
    ASSERT_EQ(data.Files().size(), 1u);
    EXPECT_EQ(data.Read(data.Files()[0]), "1,2\r\n3,4\r\n");
    EXPECT_EQ(notifier.Notices().size(), 1u);
    char byte;
    EXPECT_EQ(client.Receive(&byte, 1).status, platform::IoStatus::Closed);
    listener.Stop();
}

TEST_F(NetLink, StopEndsEveryOpenLinkAndDeletesItsPartialFile) {
    ASSERT_TRUE(listener.Start());
    std::vector<platform::Socket> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(ConnectWithRetry(port));
        const std::string start = "HELLO " + std::to_string(i) + "\nLINE partial\n";
        clients.back().Send(start.data(), start.size());
    }
    ASSERT_TRUE(WaitUntil([&] { return data.Files().size() == 3; }));
    listener.Stop();

    EXPECT_TRUE(data.Files().empty());
    const auto names = ConnectionNames();
    ASSERT_EQ(names.size(), 3u);
    for (const auto& name : names) {
        auto lines = LinesOf(name);
        ASSERT_EQ(lines.size(), 5u) << name;
        EXPECT_EQ(lines[1].rfind("serial number is ", 0), 0u);
        lines.erase(lines.begin() + 1);
        EXPECT_EQ(lines, (std::vector<std::string>{"from 127.0.0.1\n", "closed on shutdown\n",
                                                   "terminated\n", "transfer aborted\n"}));
    }
    EXPECT_TRUE(notifier.Notices().empty());
}

TEST_F(NetLink, FinishedWorkersAreReapedAndTheirSocketValuesReused) {
    const int baseline = platform::CountProcessThreads();
    ASSERT_TRUE(listener.Start());
    // One after another: the OS hands the same socket value out again and again.
    for (int i = 0; i < 12; ++i) {
        platform::Socket client = ConnectWithRetry(port);
        SendAndFinish(client, "HELLO 7\nLINE " + std::to_string(i) + "\nBYE\n");
        ASSERT_TRUE(WaitUntil([&] { return Logged(" terminated\n", i + 1); }));
    }
    EXPECT_EQ(data.Files().size(), 12u);
    EXPECT_EQ(notifier.Notices().size(), 12u);
    // Reaping happens in the listener's idle seconds.
    if (baseline > 0) {
        EXPECT_TRUE(WaitUntil([&] { return platform::CountProcessThreads() == baseline + 1; }));
    }
    listener.Stop();
}

// The process-level tests cover the limits on Linux; this one also runs under Wine, where taking
// every queued connection depends on accept arming the readiness event again.
TEST_F(NetLink, EachAddressHoldsAtMostSixteenConnections) {
    ASSERT_TRUE(listener.Start());
    const platform::Ipv4Endpoint one = {{127, 0, 0, 1}, 0};
    const platform::Ipv4Endpoint other = {{127, 0, 0, 2}, 0};
    std::vector<platform::Socket> clients;
    for (int i = 0; i < 20; ++i) {
        clients.push_back(ConnectWithRetry(port, i < 19 ? &one : &other));
    }
    ASSERT_TRUE(WaitUntil([&] { return log.Lines().size() == 20; }));
    EXPECT_EQ(ConnectionNames().size(), 17u);
    EXPECT_TRUE(Logged(" from 127.0.0.2\n"));
    const std::regex refused(
        "Connection S[0-9]+ refused, too many connections from 127\\.0\\.0\\.1\n");
    const auto lines = log.Lines();
    EXPECT_EQ(
        std::count_if(lines.begin(), lines.end(),
                      [&](const std::string& line) { return std::regex_match(line, refused); }),
        3);
    char byte;
    clients[18].SetReceiveTimeout(5000);
    EXPECT_EQ(clients[18].Receive(&byte, 1).status, platform::IoStatus::Closed);
    listener.Stop();
}

TEST_F(NetLink, AProtocolErrorClosesTheConnection) {
    ASSERT_TRUE(listener.Start());
    platform::Socket client = ConnectWithRetry(port);
    const std::string bytes = "HELLO 1\nLINE a\nhello\nLINE b\n";
    client.Send(bytes.data(), bytes.size());
    char byte;
    client.SetReceiveTimeout(5000);
    EXPECT_EQ(client.Receive(&byte, 1).status, platform::IoStatus::Closed);
    ASSERT_TRUE(WaitUntil([&] { return Logged(" terminated\n"); }));
    const auto names = ConnectionNames();
    ASSERT_EQ(names.size(), 1u);
    EXPECT_EQ(LinesOf(names[0]), (std::vector<std::string>{
                                     "from 127.0.0.1\n", "serial number is 1\n",
                                     "invalid command\n", "terminated\n", "transfer aborted\n"}));
    EXPECT_TRUE(data.Files().empty());
    listener.Stop();
}

TEST_F(NetLink, APortHeldElsewhereEndsTheListenerQuietly) {
    platform::Socket holder = platform::Socket::ListenTcp(port);
    ASSERT_TRUE(holder.IsValid());
    ASSERT_TRUE(listener.Start());
    listener.Stop();  // returns although the listener never listened
    EXPECT_TRUE(log.Lines().empty());
}

TEST(DiscoveryReply, AnswersOnlyTheExactProbe) {
    const std::int64_t now = 1704114000;
    const struct {
        std::string datagram;
        bool answered;
    } cases[] = {
        {"OBX-REQ-00", true},
        {std::string("OBX-REQ-00\0junk", 15), true},
        {std::string("OBX-REQ-00") + std::string(116, '\0'), true},   // 126 bytes
        {std::string("OBX-REQ-00") + std::string(117, '\0'), false},  // 127 bytes
        {"OBX-REQ-00\n", false},
        {"obx-req-00", false},
        {"OBX-REQ-0", false},
        {"OBX-REQ-000", false},
        {"", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DiscoveryReply(c.datagram.data(), c.datagram.size(), now),
                  c.answered ? "OBX-REP-00:1704114000" : "")
            << c.datagram.size();
    }
}

TEST(NetBeacon, RepliesToEachProbeWithTheLocalTime) {
    platform::StartNetworking();
    const std::uint16_t port = FreePort();
    CNetBeacon beacon(port);
    ASSERT_TRUE(beacon.Start());
    platform::Socket client = platform::Socket::OpenUdp();
    client.SetReceiveTimeout(300);
    auto probe = [&](const std::string& datagram) {
        client.SendTo(datagram.data(), datagram.size(), platform::kLoopback(port));
    };
    char reply[64];
    platform::Ipv4Endpoint from;
    // The beacon binds on its own thread: probe until it answers.
    ASSERT_TRUE(WaitUntil([&] {
        probe("OBX-REQ-00");
        return client.ReceiveFrom(reply, sizeof reply, &from).status == platform::IoStatus::Ok;
    }));
    while (client.ReceiveFrom(reply, sizeof reply, &from).status == platform::IoStatus::Ok) {
    }

    // A burst: malformed probes get nothing, each good one gets its own answer.
    const std::string burst[] = {"obx-req-00", "OBX-REQ-00", "OBX-REQ-00\n", std::string(200, 'x'),
                                 "OBX-REQ-00"};
    for (const std::string& datagram : burst) {
        probe(datagram);
    }
    std::vector<std::string> replies;
    for (;;) {
        const platform::IoResult got = client.ReceiveFrom(reply, sizeof reply, &from);
        if (got.status != platform::IoStatus::Ok) {
            break;
        }
        replies.emplace_back(reply, got.count);
        EXPECT_EQ(from.port, port);
    }
    ASSERT_EQ(replies.size(), 2u);
    const std::int64_t expected = platform::LocalWallSeconds(platform::SystemClock().UtcSeconds());
    for (const auto& text : replies) {
        ASSERT_EQ(text.rfind("OBX-REP-00:", 0), 0u) << text;
        EXPECT_NEAR(double(std::stoll(text.substr(11))), double(expected), 5.0) << text;
    }
    beacon.Stop();
}

}  // namespace
