// The real orbtray and orbsim as a user runs them: transfers over 127.0.0.1, the discovery
// beacon, start-up, shut-down and the command line, judged by the files, the exit status and
// what the programs print.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <regex>

#include "fakes/Loopback.h"
#include "fakes/ScratchFolder.h"
#include "integration/OrbtrayProcess.h"

namespace {

using Lines = std::vector<std::string>;

// The name a transfer that began at `utcSeconds` gets, without its extension.
std::string TimeName(std::time_t utcSeconds) {
    std::tm fields{};
    gmtime_r(&utcSeconds, &fields);
    char name[32];
    std::snprintf(name, sizeof name, "%02d%02d%02d-%02d%02d%02d", fields.tm_year % 100,
                  fields.tm_mon + 1, fields.tm_mday, fields.tm_hour, fields.tm_min, fields.tm_sec);
    return name;
}

void Send(platform::Socket& socket, const std::string& bytes) {
    ASSERT_EQ(socket.Send(bytes.data(), bytes.size()).count, bytes.size());
}

class Orbtray : public ::testing::Test {
protected:
    Orbtray() { platform::StartNetworking(); }

    void Start(const Lines& environment = {}) {
        orbtray = std::make_unique<OrbtrayProcess>(data.Path(), port, environment);
        ASSERT_TRUE(orbtray->Ready()) << ::testing::PrintToString(orbtray->Err());
    }
    bool Logged(const std::string& text, std::size_t times = 1) {
        return WaitUntil([&] { return CountContaining(orbtray->Err(), text) >= times; });
    }
    // What orbtray said, to explain a failure.
    void TearDown() override {
        if (HasFailure() && orbtray) {
            const int status = orbtray->Stop();
            std::cerr << "orbtray exit status " << status << "\nstdout:\n"
                      << ::testing::PrintToString(orbtray->Out()) << "\nstderr:\n"
                      << ::testing::PrintToString(orbtray->Err()) << "\n";
        }
    }

    ScratchFolder data;
    std::uint16_t port = FreePort();
    std::unique_ptr<OrbtrayProcess> orbtray;
};

TEST_F(Orbtray, StoresATransferUnderItsUtcStartTimeAndTellsTheUser) {
    // Three hours ahead of UTC, so that a name in local time would show.
    ASSERT_NO_FATAL_FAILURE(Start({"TZ=UTC-3"}));
    const Lines lines = {"2025-12-14 02:54:17,23.512,mm",
                         "2025-12-14 02:54:18,23.498,mm",
                         "",
                         "T,21.5,C",
                         "ID,123,\"probe A\"",
                         "x=1;y=2 z",
                         "END"};
    platform::Socket client = ConnectWithRetry(port);
    const std::string hello = "HELLO 123\r\n";
    const std::time_t before = std::time(nullptr);
    ASSERT_NO_FATAL_FAILURE(Send(client, hello));
    ASSERT_TRUE(Logged("serial number is 123"));
    const std::time_t after = std::time(nullptr);
    SendAndFinish(client, Conversation("123", lines).substr(hello.size()));
    ASSERT_TRUE(Logged(" terminated"));

    const Lines files = data.Files();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(data.Read(files[0]), StoredFile(lines));
    Lines names;
    for (std::time_t t = before; t <= after; ++t) {
        names.push_back("123/" + TimeName(t) + ".csv");
    }
    EXPECT_NE(std::find(names.begin(), names.end(), files[0]), names.end()) << files[0];

    const Lines log = orbtray->Err();
    EXPECT_EQ(LinesOf(log, ConnectionOfSerial(log, "123")),
              (Lines{"from 127.0.0.1", "serial number is 123", "transfered 7 lines",
                     "transfer complete", "closed by peer", "terminated"}));
    EXPECT_EQ(CountContaining(orbtray->Out(), "File Received\tDevice 123 sent 7 readings.\t" +
                                                  data.Path() + files[0]),
              1u);
    EXPECT_EQ(orbtray->Stop(), 0);
    EXPECT_EQ(orbtray->Out().back(), "orbtray: stopped");
}

TEST_F(Orbtray, ReceivesWhatOrbsimSendsAndAnswersItsDiscovery) {
    ASSERT_NO_FATAL_FAILURE(Start());
    ScratchFolder inputs;
    // LF, CR LF and no final line end: the stored files end every line in CR LF all the same.
    inputs.Write("a.csv", "a,1\nb,2\n\nlast,3\n");
    inputs.Write("b.csv", "x,10\r\ny,20\r\n");
    inputs.Write("c.csv", "only line");
    const std::string target = "127.0.0.1:" + std::to_string(port);

    Finished sent = RunToEnd(kOrbsimPath, {"send", "--tcp", target, "--serial", "77", "--chunk",
                                           "7", "--pause", "1", inputs.Path() + "a.csv"});
    EXPECT_EQ(sent.status, 0) << ::testing::PrintToString(sent.err);
    sent = RunToEnd(kOrbsimPath, {"send", "--tcp", target, "--serial", "78",
                                  inputs.Path() + "b.csv", inputs.Path() + "c.csv"});
    EXPECT_EQ(sent.status, 0) << ::testing::PrintToString(sent.err);
    ASSERT_TRUE(WaitUntil([&] { return CountContaining(orbtray->Out(), "File Received") == 3; }));

    const Lines files = data.Files();
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(data.Read(files[0]), "a,1\r\nb,2\r\n\r\nlast,3\r\n");
    // Both files of 78 may have begun in the same second; their order is not the point.
    Lines contents = {data.Read(files[1]), data.Read(files[2])};
    std::sort(contents.begin(), contents.end());
    EXPECT_EQ(contents, (Lines{"only line\r\n", "x,10\r\ny,20\r\n"}));
    EXPECT_EQ(files[1].rfind("78/", 0), 0u);

    const Finished found = RunToEnd(kOrbsimPath, {"discover", "--port", std::to_string(port)});
    EXPECT_EQ(found.status, 0) << ::testing::PrintToString(found.err);
    ASSERT_EQ(found.out.size(), 1u);
    EXPECT_TRUE(std::regex_match(found.out[0], std::regex(".*127\\.0\\.0\\.1.*OBX-REP-00:[0-9]+")))
        << found.out[0];
}

// A UDP client of the beacon.
class Prober {
public:
    explicit Prober(std::uint16_t port) : port_(port), socket_(platform::Socket::OpenUdp()) {
        socket_.SetReceiveTimeout(300);
    }
    void Probe(const std::string& datagram) {
        socket_.SendTo(datagram.data(), datagram.size(), platform::kLoopback(port_));
    }
    // Every reply that arrives before a quiet spell.
    Lines Replies() {
        Lines replies;
        char reply[256];
        platform::Ipv4Endpoint from;
        for (platform::IoResult got;
             (got = socket_.ReceiveFrom(reply, sizeof reply, &from)).status ==
             platform::IoStatus::Ok;) {
            replies.emplace_back(reply, got.count);
        }
        return replies;
    }
    // The beacon binds on its own thread, possibly after orbtray has said it is receiving.
    std::string FirstReply() {
        Lines replies;
        WaitUntil([&] {
            Probe("OBX-REQ-00");
            replies = Replies();
            return !replies.empty();
        });
        return replies.empty() ? "" : replies.back();
    }

private:
    std::uint16_t port_;
    platform::Socket socket_;
};

TEST_F(Orbtray, BeaconAnswersWithTheLocalWallClockOfItsTimeZone) {
    // POSIX zone names with the offset's sign reversed: UTC-3 is three hours ahead of UTC.
    const struct {
        const char* zone;
        std::int64_t offset;
    } zones[] = {{"UTC-3", 3 * 3600}, {"UTC+5", -5 * 3600}, {"UTC0", 0}};
    for (const auto& zone : zones) {
        port = FreePort();
        OrbtrayProcess zoned(data.Path(), port, {std::string("TZ=") + zone.zone});
        ASSERT_TRUE(zoned.Ready()) << zone.zone;
        const std::string reply = Prober(port).FirstReply();
        ASSERT_EQ(reply.rfind("OBX-REP-00:", 0), 0u) << zone.zone << " " << reply;
        EXPECT_NEAR(double(std::stoll(reply.substr(11))), double(std::time(nullptr) + zone.offset),
                    5.0)
            << zone.zone;
        EXPECT_EQ(zoned.Stop(), 0);
    }
}

TEST_F(Orbtray, BeaconIgnoresMalformedProbes) {
    ASSERT_NO_FATAL_FAILURE(Start());
    Prober prober(port);
    ASSERT_NE(prober.FirstReply(), "");
    prober.Replies();
    const std::string probe = "OBX-REQ-00";
    const Lines malformed = {"obx-req-00", probe + "\n", probe + std::string(117, '\0'),
                             probe + std::string(190, '\0'), ""};
    // Each one followed by a good probe: exactly the good ones are answered.
    for (const auto& datagram : malformed) {
        prober.Probe(datagram);
        prober.Probe(probe);
    }
    const Lines replies = prober.Replies();
    EXPECT_EQ(replies.size(), malformed.size());
    for (const auto& reply : replies) {
        EXPECT_TRUE(std::regex_match(reply, std::regex("OBX-REP-00:[0-9]+"))) << reply;
    }
}

TEST_F(Orbtray, StopAbortsOpenTransfersAndExitsCleanly) {
    ASSERT_NO_FATAL_FAILURE(Start());
    std::vector<platform::Socket> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(ConnectWithRetry(port));
        ASSERT_NO_FATAL_FAILURE(
            Send(clients.back(), "HELLO 9" + std::to_string(i) + "\r\nLINE partial,1\r\nLINE pa"));
    }
    ASSERT_TRUE(Logged("serial number is", 3));
    ASSERT_TRUE(WaitUntil([&] { return data.Files().size() == 3; }));
    EXPECT_EQ(orbtray->Stop(), 0);

    EXPECT_EQ(data.Files(), Lines{});
    const Lines log = orbtray->Err();
    for (const std::string serial : {"90", "91", "92"}) {
        EXPECT_EQ(LinesOf(log, ConnectionOfSerial(log, serial)),
                  (Lines{"from 127.0.0.1", "serial number is " + serial, "closed on shutdown",
                         "terminated", "transfer aborted"}));
    }
    EXPECT_EQ(orbtray->Out(), (Lines{orbtray->Out().front(), "orbtray: stopped"}));
    char byte;
    EXPECT_EQ(clients[0].Receive(&byte, 1).status, platform::IoStatus::Closed);
}

TEST_F(Orbtray, IdleConnectionsAreDroppedAfterTenSeconds) {
    ASSERT_NO_FATAL_FAILURE(Start());
    platform::Socket silent = ConnectWithRetry(port);
    platform::Socket stalled = ConnectWithRetry(port);
    ASSERT_NO_FATAL_FAILURE(Send(stalled, "HELLO 31\r\nLINE 1,2\r\n"));
    ASSERT_TRUE(Logged("serial number is 31"));
    ASSERT_TRUE(WaitUntil([&] { return CountContaining(orbtray->Err(), " terminated") == 2; },
                          std::chrono::seconds(20)));

    const Lines log = orbtray->Err();
    const std::string stalledName = ConnectionOfSerial(log, "31");
    const Lines names = ConnectionNames(log);
    ASSERT_EQ(names.size(), 2u);
    const std::string silentName = names[0] == stalledName ? names[1] : names[0];
    EXPECT_EQ(LinesOf(log, silentName),
              (Lines{"from 127.0.0.1", "closed on timeout", "terminated"}));
    EXPECT_EQ(LinesOf(log, stalledName),
              (Lines{"from 127.0.0.1", "serial number is 31", "closed on timeout", "terminated",
                     "transfer aborted"}));
    EXPECT_EQ(data.Files(), Lines{});
    char byte;
    EXPECT_EQ(silent.Receive(&byte, 1).status, platform::IoStatus::Closed);
}

TEST_F(Orbtray, DeletesItsOwnLeftoverTempFilesAtStart) {
    data.Write("55/251214-025417.tmp", "partial\r\n");
    data.Write("55/251214-025417.csv", "kept\r\n");
    data.Write("56/260101-000000-2.tmp", "partial\r\n");
    data.Write("56/notes.tmp", "not ours\r\n");
    ASSERT_NO_FATAL_FAILURE(Start());
    EXPECT_EQ(data.Files(), (Lines{"55/251214-025417.csv", "56/notes.tmp"}));
    EXPECT_EQ(data.Read("55/251214-025417.csv"), "kept\r\n");
    EXPECT_EQ(CountContaining(orbtray->Out(), "orbtray: deleted 2 unfinished file(s)"), 1u);
}

TEST_F(Orbtray, CommandLine) {
    const struct {
        Lines arguments;
        int status;
        const char* output;  // what stdout (status 0) or stderr begins with
    } cases[] = {
        {{"--port", "0"}, 2, "orbtray: --port"},
        {{"--port", "x"}, 2, "orbtray: --port"},
        {{"--port", "65536"}, 2, "orbtray: --port"},
        {{"--port"}, 2, "orbtray: --port"},
        {{"--bogus"}, 2, "orbtray: unknown option"},
        {{"--help"}, 0, "usage: orbtray"},
        {{"--version"}, 0, "orbtray "},
    };
    for (const auto& c : cases) {
        // A command line wrongly accepted would start receiving: into the scratch folder then.
        Lines arguments = {"--data-folder", data.Path()};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        const Finished run = RunToEnd(kOrbtrayPath, arguments);
        const std::string what = ::testing::PrintToString(c.arguments);
        EXPECT_EQ(run.status, c.status) << what;
        const Lines& shown = c.status == 0 ? run.out : run.err;
        ASSERT_FALSE(shown.empty()) << what;
        EXPECT_EQ(shown[0].rfind(c.output, 0), 0u) << what << ": " << shown[0];
        EXPECT_TRUE((c.status == 0 ? run.err : run.out).empty()) << what;
    }
}

}  // namespace
