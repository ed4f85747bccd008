// The real orbtray and orbsim as a user runs them: transfers over 127.0.0.1, the discovery
// beacon, start-up, shut-down and the command line, judged by the files, the exit status and
// what the programs print.

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <regex>

#include <sys/mount.h>

#include "fakes/RenameBlocker.h"
#include "integration/OrbtrayProcess.h"

namespace {

using Orbtray = OrbtrayTest;

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
    // Named after the second it began, in UTC.
    std::tm fields{};
    const char* end = strptime(files[0].c_str(), "123/%y%m%d-%H%M%S.csv", &fields);
    ASSERT_TRUE(end != nullptr && *end == '\0') << files[0];
    EXPECT_TRUE(timegm(&fields) >= before && timegm(&fields) <= after) << files[0];
    // One connection, so every log line is its own. Whether this machine has a CP210x driver is
    // another matter.
    Lines log = orbtray->Err();
    std::erase_if(log,
                  [](const std::string& line) { return line.starts_with("orbtray: no CP210x"); });
    for (auto& line : log) {
        line.erase(0, line.find(' ', 11) + 1);
    }
    EXPECT_EQ(log, (Lines{"from 127.0.0.1", "serial number is 123", "transfered 5 lines",
                          "transfer complete", "closed by peer", "terminated"}));
    EXPECT_EQ(CountContaining(orbtray->Out(), "File Received\tDevice 123 sent 5 readings.\t" +
                                                  data.Path() + files[0]),
              1u);

    // The file list's rows are the scan's (unit/ScanTest) as `orbtray list` prints them
    // (WebTest); without a Data folder it says so.
    const Finished missing = RunToEnd(kOrbtrayPath, {"list", "--data-folder", "/nonexistent"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, Lines{"orbtray: no data folder at /nonexistent/"});

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

// What a stop does to open links is shown over a serial port (SerialTest) and, for TCP links,
// by the listener in-process (link/NetLinkTest).
TEST_F(Orbtray, IdleLinksAreDroppedAfterTenSeconds) {
    ASSERT_NO_FATAL_FAILURE(Start());
    platform::Socket silent = ConnectWithRetry(port);
    platform::Socket stalled = ConnectWithRetry(port);
    Send(stalled, "HELLO 31\r\nLINE 1,2\r\n");
    ASSERT_TRUE(Logged(" terminated", 2) && Logged("transfer aborted"));
    EXPECT_EQ(Count(" closed on timeout"), 2u);
    EXPECT_EQ(data.Files(), Lines{});
    EXPECT_TRUE(ClosedQuietly(silent));
}

// Only the names the store gives its own temporary files go, one level down: never a user's.
// And only once nothing has written to them for an hour: where a second mount of a shared
// folder hides its writer's lock, the age alone tells a live file from a leftover.
TEST_F(Orbtray, DeletesItsOwnLeftoverTempFilesAtStartOnceTheyAreAnHourOld) {
    const Lines kept = {"1/251214-02541.tmp",   "1/251214-025417.csv",   "1/2512140-25417.tmp",
                        "1/notes.tmp",          "2/x/251214-025417.tmp", "251214-025417.tmp",
                        "3/251214-025417-7.tmp"};
    for (const auto& name : kept) {
        data.Write(name, "keep");
    }
    const auto anHourAgo = std::filesystem::file_time_type::clock::now() - std::chrono::minutes(61);
    for (const auto* name : {"1/251214-025417-2.tmp", "1/251214-025417.tmp",
                             "2/000101-000000-99.tmp", "2/000101-000000-150.tmp"}) {
        data.Write(name, "partial");
        std::filesystem::last_write_time(data.Path() + name, anHourAgo);
    }
    for (const auto& name : kept) {
        if (name != "3/251214-025417-7.tmp") {
            std::filesystem::last_write_time(data.Path() + name, anHourAgo);
        }
    }
    ASSERT_NO_FATAL_FAILURE(Start());
    EXPECT_EQ(data.Files(), kept);
    EXPECT_EQ(CountContaining(orbtray->Out(), "orbtray: deleted 4 unfinished file(s)"), 1u);
}

// Closing the terminal (SIGHUP) or Ctrl+\\ (SIGQUIT) stops orbtray as Ctrl+C does: the open
// transfer is aborted and leaves nothing behind, and orbtray says it has stopped.
TEST(OrbtraySignals, EveryStopSignalStopsInOrder) {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        ScratchFolder data;
        const std::uint16_t port = FreePort();
        OrbtrayProcess orbtray(data.Path(), port, {}, {"--no-usb-scan", "--web", "off"});
        ASSERT_TRUE(orbtray.Ready()) << signal;
        platform::Socket link = ConnectWithRetry(port);
        Send(link, "HELLO 5\r\nLINE 1,2\r\n");
        ASSERT_TRUE(WaitUntil([&] { return data.Files().size() == 1; })) << signal;
        EXPECT_EQ(orbtray.Stop(signal), 0) << signal;
        EXPECT_EQ(orbtray.Out().back(), "orbtray: stopped") << signal;
        EXPECT_EQ(CountContaining(orbtray.Err(), "transfer aborted"), 1u) << signal;
        EXPECT_EQ(data.Files(), Lines{}) << signal;
    }
}

// orbtray ends at start, saying why, before it listens or touches the Data folder: when that
// folder cannot be written, since an instrument must never be taken in by a receiver that can
// store nothing (as root only: permissions alone do not stop root); when a second orbtray or
// another program has its port, since the first receiver may be using the folder; and when the
// web address the user gave cannot be served.
TEST(OrbtrayStart, EndsSayingWhyWhenItCannotStoreOrListen) {
    enum class Block { ReadOnlyMount, ImmutableFolder, TcpPort, UdpPort, WebPort };
    for (const Block block : {Block::ReadOnlyMount, Block::ImmutableFolder, Block::TcpPort,
                              Block::UdpPort, Block::WebPort}) {
        ScratchFolder scratch;
        const std::string data = scratch.Path() + "Orbalinex/Data/";
        const std::uint16_t port = FreePort();
        std::unique_ptr<const char, void (*)(const char*)> unmount(
            nullptr, [](const char* folder) { ::umount2(folder, MNT_DETACH); });
        std::unique_ptr<RenameBlocker> immutable;
        platform::Socket holder;
        Lines arguments = {"--no-usb-scan"};
        std::string why = "cannot write into the data folder " + data + ": ";
        if (block == Block::ReadOnlyMount || block == Block::ImmutableFolder) {
            std::filesystem::create_directories(data);
        }
        if (block == Block::ReadOnlyMount) {
            if (::mount("orbtray-test", data.c_str(), "tmpfs", MS_RDONLY, "size=64k") != 0) {
                std::cerr << "skipped a read-only mount: cannot mount here\n";
                continue;
            }
            unmount.reset(data.c_str());
            why += "read-only file system";
        } else if (block == Block::ImmutableFolder) {
            immutable = std::make_unique<RenameBlocker>(data + "x");
            if (!immutable->Holding()) {
                std::cerr << "skipped an immutable folder: cannot make one here\n";
                continue;
            }
            why += "operation not permitted";
        } else if (block == Block::WebPort) {
            const std::uint16_t webPort = FreePort();
            holder = platform::Socket::ListenTcp(webPort);
            ASSERT_TRUE(holder.IsValid());
            const std::string web = "127.0.0.1:" + std::to_string(webPort);
            arguments.insert(arguments.end(), {"--web", web});
            why = "cannot serve the web page on " + web + ": address in use";
        } else {
            const bool tcp = block == Block::TcpPort;
            holder = tcp ? platform::Socket::ListenTcp(port) : platform::Socket::BindUdp(port);
            ASSERT_TRUE(holder.IsValid());
            // A leftover that a start would clean up, or no Data folder for a start to make.
            if (!tcp) {
                scratch.Write("Orbalinex/Data/1/251214-025417.tmp", "partial");
            }
            why = "cannot listen on " + std::string(tcp ? "TCP" : "UDP") + " port " +
                  std::to_string(port) + ": address in use";
        }
        const Lines files = scratch.Files(), folders = scratch.Directories();

        OrbtrayProcess orbtray(data, port, {}, arguments);
        EXPECT_EQ(orbtray.Wait(), 1) << why;
        EXPECT_EQ(orbtray.Err(), Lines{"orbtray: " + why});
        EXPECT_EQ(orbtray.Out(), Lines{}) << why;
        EXPECT_EQ(scratch.Files(), files) << why;
        EXPECT_EQ(scratch.Directories(), folders) << why;
    }
}

TEST_F(Orbtray, CommandLine) {
    const struct {
        Lines arguments;
        int status;
        const char* output;  // what stdout (status 0) or stderr begins with
    } cases[] = {
        {{"--port", "0"}, 2, "orbtray: --port: bad value '0'"},
        {{"--help"}, 0, "orbtray receives instrument readings"},
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
