// The real orbtray and orbsim as a user runs them: transfers over 127.0.0.1, the discovery
// beacon, start-up, shut-down and the command line, judged by the files, the exit status and
// what the programs print.

#include <gtest/gtest.h>

#include <algorithm>
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
    std::strftime(name, sizeof name, "%Y%m%d-%H%M%S", &fields);
    return name + 2;  // two digits of the year
}

void Send(platform::Socket& socket, const std::string& bytes) {
    ASSERT_EQ(socket.Send(bytes.data(), bytes.size()).count, bytes.size());
}

class Orbtray : public ::testing::Test {
protected:
    void Start(const Lines& environment = {}) {
        orbtray = std::make_unique<OrbtrayProcess>(data.Path(), port, environment);
        ASSERT_TRUE(orbtray->Ready()) << ::testing::PrintToString(orbtray->Err());
    }
    std::size_t Count(const std::string& text) { return CountContaining(orbtray->Err(), text); }
    bool Logged(const std::string& text) {
        return WaitUntil([&] { return Count(text) > 0; });
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

TEST_F(Orbtray, StoresWhatOrbsimSendsUnderItsUtcStartAndAnswersItsDiscoveryInLocalTime) {
    // Three hours ahead of UTC: a name in local time, or a beacon time in UTC or with the
    // offset's sign reversed, would show. (POSIX reverses the sign in the zone's name.)
    ASSERT_NO_FATAL_FAILURE(Start({"TZ=UTC-3"}));
    ScratchFolder inputs;
    const Lines lines = {"2025-12-14 02:54:17,23.512,mm", "", "T,21.5,C", "ID,123,\"probe A\"",
                         "END"};
    inputs.Write("a.csv", StoredFile(lines));
    const std::string target = "127.0.0.1:" + std::to_string(port);
    const std::time_t before = std::time(nullptr);
    // In pieces of 7 bytes, so that lines and commands arrive split.
    const Finished sent =
        RunToEnd(kOrbsimPath, {"send", "--tcp", target, "--serial", "123", "--chunk", "7",
                               "--pause", "1", inputs.Path() + "a.csv"});
    const std::time_t after = std::time(nullptr);
    EXPECT_EQ(sent.status, 0) << ::testing::PrintToString(sent.err);
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
    const Lines connections = ConnectionNames(log);
    ASSERT_EQ(connections.size(), 1u);
    EXPECT_EQ(LinesOf(log, connections[0]),
              (Lines{"from 127.0.0.1", "serial number is 123", "transfered 5 lines",
                     "transfer complete", "closed by peer", "terminated"}));
    EXPECT_EQ(CountContaining(orbtray->Out(), "File Received\tDevice 123 sent 5 readings.\t" +
                                                  data.Path() + files[0]),
              1u);

    // The beacon binds on its own thread, possibly after orbtray has said it is receiving.
    Finished found;
    ASSERT_TRUE(WaitUntil([&] {
        found = RunToEnd(kOrbsimPath, {"discover", "--port", std::to_string(port)});
        return found.status == 0;
    })) << ::testing::PrintToString(found.err);
    std::smatch reply;
    ASSERT_TRUE(
        found.out.size() == 1 &&
        std::regex_match(found.out[0], reply,
                         std::regex("reply from 127\\.0\\.0\\.1:[0-9]+: OBX-REP-00:([0-9]+)")))
        << ::testing::PrintToString(found.out);
    EXPECT_NEAR(double(std::stoll(reply[1])), double(std::time(nullptr) + 3 * 3600), 5.0);

    EXPECT_EQ(orbtray->Stop(), 0);
    EXPECT_EQ(orbtray->Out().back(), "orbtray: stopped");
}

TEST_F(Orbtray, IdleLinksAreDroppedAfterTenSecondsAndStopAbortsOpenOnes) {
    ASSERT_NO_FATAL_FAILURE(Start());
    platform::Socket silent = ConnectWithRetry(port);
    platform::Socket stalled = ConnectWithRetry(port);
    ASSERT_NO_FATAL_FAILURE(Send(stalled, "HELLO 31\r\nLINE 1,2\r\n"));
    ASSERT_TRUE(Logged("serial number is 31"));
    ASSERT_TRUE(
        WaitUntil([&] { return Count(" terminated") == 2 && Count("transfer aborted") == 1; },
                  std::chrono::seconds(20)));
    EXPECT_EQ(Count(" closed on timeout"), 2u);
    EXPECT_EQ(data.Files(), Lines{});
    char byte;
    EXPECT_EQ(silent.Receive(&byte, 1).status, platform::IoStatus::Closed);

    // A stop with a transfer open deletes its partial file and still exits cleanly.
    platform::Socket open = ConnectWithRetry(port);
    ASSERT_NO_FATAL_FAILURE(Send(open, "HELLO 32\r\nLINE partial,1\r\nLINE pa"));
    ASSERT_TRUE(WaitUntil([&] { return data.Files().size() == 1; }));
    EXPECT_EQ(orbtray->Stop(), 0);
    EXPECT_EQ(data.Files(), Lines{});
    EXPECT_EQ(Count(" closed on shutdown"), 1u);
    EXPECT_EQ(Count("transfer aborted"), 2u);
    EXPECT_EQ(orbtray->Out(), (Lines{orbtray->Out().front(), "orbtray: stopped"}));
}

// Which files count as leftovers is the store's own test; this is that orbtray clears them.
TEST_F(Orbtray, DeletesItsOwnLeftoverTempFilesAtStart) {
    data.Write("55/251214-025417.tmp", "partial\r\n");
    data.Write("55/251214-025417.csv", "kept\r\n");
    ASSERT_NO_FATAL_FAILURE(Start());
    EXPECT_EQ(data.Files(), (Lines{"55/251214-025417.csv"}));
    EXPECT_EQ(CountContaining(orbtray->Out(), "orbtray: deleted 1 unfinished file(s)"), 1u);
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
