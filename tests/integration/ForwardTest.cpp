// The real orbtray handing its files on: to a folder, to a command, to both, through targets that
// are missing, full, failing, hung or taken, across kill -9 and beside a second receiver on the
// same outbox. Judged by what arrives at the target (byte for byte), what the log says (once per
// outage, once per failed file) and what `orbtray outbox` lists.

#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "handoff/Sha256.h"
#include "integration/OrbtrayProcess.h"

namespace {

using Lines = std::vector<std::string>;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Every file of `folder`, leftovers of any kind included, with its bytes. A temporary file that
// goes while the folder is read makes it read again; a folder that is not there has nothing.
std::map<std::string, std::string> Contents(const std::string& folder) {
    for (int look = 0; look < 100; ++look) {
        std::map<std::string, std::string> files;
        try {
            for (const std::string& file : FilesBelow(folder)) {
                files[file] = FileContents(folder + "/" + file);
            }
            return files;
        } catch (const fs::filesystem_error&) {
        }
    }
    return {};
}

class Forwarding : public OrbtrayTest {
protected:
    // orbtray with its own outbox and the hand-off options given.
    void StartForwarding(const Lines& options) {
        Lines arguments{"--outbox", outbox.Path()};
        arguments.insert(arguments.end(), options.begin(), options.end());
        ASSERT_NO_FATAL_FAILURE(Start({}, arguments));
    }
    // One transfer over TCP, returned once the user has been told of its file.
    void Send(const std::string& serial, const Lines& lines) {
        const std::size_t before = CountContaining(orbtray->Out(), "File Received");
        platform::Socket link = ConnectWithRetry(port);
        SendAndFinish(link, Conversation(serial, lines));
        ASSERT_TRUE(Said("File Received", before + 1));
    }
    Lines Outbox(const Lines& command = {}) const {
        Lines arguments{"outbox"};
        arguments.insert(arguments.end(), command.begin(), command.end());
        arguments.insert(arguments.end(), {"--outbox", outbox.Path()});
        return RunToEnd(kOrbtrayPath, arguments).out;
    }
    // Every received file, as the target should hold it.
    std::map<std::string, std::string> Received() const { return Contents(data.Path()); }

    ScratchFolder outbox;
    ScratchFolder target;
    ScratchFolder marks;  // what the commands leave behind
};

// A folder and a command at once: each file reaches both, with its facts in the command's
// environment and nothing of it in the command's text; the outbox is empty afterwards.
TEST_F(Forwarding, EveryFileReachesAFolderAndACommand) {
    const std::string command = "env | grep ^ORBTRAY_ | sort > '" + marks.Path() +
                                "'\"$ORBTRAY_FOLDER-$ORBTRAY_NAME\"; echo handed on; echo more >&2";
    ASSERT_NO_FATAL_FAILURE(StartForwarding({"--forward-to", target.Path(), "--on-file", command}));
    // A serial that would be a command of its own, if anything pasted it into one.
    const std::string hostile = "x$(touch '" + marks.Path() + "pwned');y";
    ASSERT_NO_FATAL_FAILURE(Send("42", {"1,2", "3,4"}));
    ASSERT_NO_FATAL_FAILURE(Send(hostile, {"5,6"}));
    ASSERT_NO_FATAL_FAILURE(Send("42", {"7,8"}));
    const auto received = Received();
    ASSERT_EQ(received.size(), 3u);
    ASSERT_TRUE(WaitUntil([&] { return Contents(target.Path()) == received; }, 60s))
        << ::testing::PrintToString(Contents(target.Path()));
    ASSERT_TRUE(WaitUntil([&] { return marks.Files().size() == 3; }, 60s));
    ASSERT_TRUE(WaitUntil([&] { return Outbox().empty(); }, 30s));

    const auto& [path, bytes] = *std::ranges::find_if(
        received, [](const auto& file) { return !file.first.starts_with("42/"); });
    const std::string folder = path.substr(0, path.find('/'));
    const std::string name = path.substr(path.find('/') + 1);
    std::map<std::string, std::string> facts;
    std::istringstream environment(marks.Read(folder + "-" + name));
    for (std::string line; std::getline(environment, line);) {
        facts[line.substr(0, line.find('='))] = line.substr(line.find('=') + 1);
    }
    // Completed within moments of the file's last write.
    std::tm completed{};
    ASSERT_NE(strptime(facts["ORBTRAY_RECEIVED"].c_str(), "%Y-%m-%dT%H:%M:%SZ", &completed),
              nullptr);
    struct stat written {};
    ASSERT_EQ(::stat((data.Path() + path).c_str(), &written), 0);
    EXPECT_NEAR(double(timegm(&completed)), double(written.st_mtime), 3.0);
    facts.erase("ORBTRAY_RECEIVED");
    // Only orbtray's own: the test's environment may hold other ORBTRAY_ names.
    std::erase_if(facts, [](const auto& fact) {
        return !std::set<std::string>{"ORBTRAY_FILE",   "ORBTRAY_FOLDER", "ORBTRAY_NAME",
                                      "ORBTRAY_SERIAL", "ORBTRAY_SHA256", "ORBTRAY_SIZE"}
                    .contains(fact.first);
    });
    EXPECT_EQ(facts, (std::map<std::string, std::string>{
                         {"ORBTRAY_FILE", data.Path() + path},
                         {"ORBTRAY_FOLDER", folder},
                         {"ORBTRAY_NAME", name},
                         {"ORBTRAY_SERIAL", hostile},
                         {"ORBTRAY_SHA256", handoff::HashFile(data.Path() + path).sha256},
                         {"ORBTRAY_SIZE", std::to_string(bytes.size())}}));
    EXPECT_FALSE(fs::exists(marks.Path() + "pwned")) << "a serial became a command";
    // The command's output goes to the log, each line with the file it was about.
    EXPECT_EQ(Count("Forwarding " + path + ": handed on"), 1u);
    EXPECT_EQ(Count("Forwarding " + path + ": more"), 1u);
    EXPECT_EQ(Count("failed"), 0u);

    // A file from before forwarding was set up is queued from the shell, for the targets the
    // receiver forwards to, and taken up at its next look at the outbox.
    data.Write("42/250101-000000.csv", "old,1\r\n");
    EXPECT_EQ(Outbox({"add", data.Path() + "42/250101-000000.csv"}).size(), 2u);
    ASSERT_TRUE(WaitUntil([&] { return Contents(target.Path()) == Received(); }, 60s));
    ASSERT_TRUE(WaitUntil([&] { return marks.Files().size() == 4; }, 30s));
}

// A target that is down is said once when it goes and once when it is back, whatever the number
// of tries between; the backlog then drains oldest first, and a file already there with the same
// bytes counts as delivered while one with other bytes is a conflict that touches nothing.
TEST_F(Forwarding, AMissingFolderIsToldOnceAndTheBacklogDrainsWhenItIsBack) {
    const std::string share = target.Path() + "share";
    ASSERT_NO_FATAL_FAILURE(StartForwarding({"--forward-to", share}));
    ASSERT_NO_FATAL_FAILURE(Send("7", {"a,1"}));
    ASSERT_TRUE(Logged("Forwarding to " + share + " failed: "));
    ASSERT_NO_FATAL_FAILURE(Send("7", {"a,2"}));
    ASSERT_NO_FATAL_FAILURE(Send("8", {"b,1"}));
    // Waiting, not failed, and the missing folder was not made.
    const Lines waiting = Outbox();
    ASSERT_EQ(waiting.size(), 3u) << ::testing::PrintToString(waiting);
    EXPECT_TRUE(waiting[0].starts_with("waiting\t")) << waiting[0];
    EXPECT_NE(waiting[0].find("\t7\t"), std::string::npos) << waiting[0];
    EXPECT_NE(waiting[0].find("\t" + share + "\t1\t"), std::string::npos) << waiting[0];
    std::this_thread::sleep_for(6s);  // past the first try again
    EXPECT_FALSE(fs::exists(share));

    // Meanwhile one file got there by other means, and another of its names holds other bytes.
    const auto received = Received();
    auto file = received.begin();
    ASSERT_TRUE(fs::create_directories(share + "/7"));
    std::ofstream(share + "/" + file->first) << file->second;
    const std::string conflict = std::next(file, 2)->first;
    ASSERT_TRUE(fs::create_directories(share + "/8"));
    std::ofstream(share + "/" + conflict) << "not the same";
    ASSERT_TRUE(Logged("Forwarding to " + share + " resumed, 2 files waiting", 1, 60s));
    ASSERT_TRUE(Logged("Forwarding " + conflict + " to " + share +
                       " failed: a different file of that name is there already"));
    EXPECT_EQ(FileContents(share + "/" + conflict), "not the same");
    auto delivered = received;
    delivered[conflict] = "not the same";
    ASSERT_TRUE(WaitUntil([&] { return Contents(share) == delivered; }, 30s))
        << ::testing::PrintToString(Contents(share)) << ::testing::PrintToString(delivered);
    EXPECT_EQ(Count("Forwarding to "), 2u);
    const Lines failed = Outbox();
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_TRUE(std::regex_match(
        failed[0],
        std::regex("failed\t[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9:]{8}\t8\t" + conflict.substr(2) + "\t" +
                   share + "\t[0-9]+\t-\ta different file of that name is there already")))
        << failed[0];
    // Put back, it fails again for the same reason, and says so again.
    EXPECT_EQ(Outbox({"retry"}), Lines{"orbtray: 1 failed file(s) put back to waiting"});
    ASSERT_TRUE(Logged("Forwarding " + conflict + " to " + share + " failed: ", 2, 90s));
}

// A folder that fills up is down until it has room again, and then gets every file whole;
// meanwhile rclone, the way to object storage, SFTP or WebDAV, takes the same files as a command.
TEST_F(Forwarding, AFullFolderWaitsForRoomWhileRcloneTakesTheFiles) {
    if (!fs::exists("/usr/bin/rclone")) {
        GTEST_SKIP() << "rclone is not installed (scripts/install-deps.sh installs it)";
    }
    if (::mount("orbtray-test", target.Path().c_str(), "tmpfs", 0, "size=64k") != 0) {
        GTEST_SKIP() << "cannot mount a file system here";
    }
    const std::unique_ptr<const char, void (*)(const char*)> unmount(
        target.Path().c_str(), [](const char* folder) { ::umount2(folder, MNT_DETACH); });
    const std::string rclone = "rclone copyto --config /dev/null \"$ORBTRAY_FILE\" '" +
                               marks.Path() + "'\"$ORBTRAY_FOLDER/$ORBTRAY_NAME\"";
    ASSERT_NO_FATAL_FAILURE(StartForwarding({"--forward-to", target.Path(), "--on-file", rclone}));
    ASSERT_NO_FATAL_FAILURE(Send("big", Lines(2000, std::string(60, 'x'))));
    ASSERT_NO_FATAL_FAILURE(Send("small", {"1,2"}));
    const auto received = Received();
    ASSERT_TRUE(WaitUntil([&] { return Contents(marks.Path()) == received; }, 60s));
    ASSERT_TRUE(Logged("Forwarding to " + target.Path() + " failed: "));
    EXPECT_EQ(Count("no space left on device"), 1u);
    EXPECT_TRUE(Contents(target.Path()).empty()) << "a partial copy was left";
    ASSERT_EQ(::mount("orbtray-test", target.Path().c_str(), "tmpfs", MS_REMOUNT, "size=1m"), 0);
    ASSERT_TRUE(Logged("Forwarding to " + target.Path() + " resumed, 1 files waiting", 1, 60s));
    ASSERT_TRUE(WaitUntil([&] { return Contents(target.Path()) == received; }));
    EXPECT_EQ(Count("Forwarding to "), 2u);
}

// A command's exit status decides: 0 delivered, 75 later, anything else failed for good; a
// command that hangs is stopped with everything it started; none of them holds up the others.
TEST_F(Forwarding, ACommandIsTriedAgainOnlyWhenItSaysSoAndNeverHoldsUpTheRest) {
    const std::string m = "'" + marks.Path() + "'";
    const std::string command =
        "case $ORBTRAY_SERIAL in "
        "later) [ -e " +
        m + "again ] || { touch " + m +
        "again; exit 75; } ;; "
        "bad) echo refused >&2; exit 3 ;; "
        "hang) (sleep 30; touch " +
        m + "late) & echo $! > " + m +
        "pid; sleep 30 ;; "
        "esac; cp \"$ORBTRAY_FILE\" " +
        m + "\"$ORBTRAY_SERIAL\"";
    ASSERT_NO_FATAL_FAILURE(StartForwarding({"--on-file", command, "--on-file-timeout", "2"}));
    for (const char* serial : {"hang", "later", "bad", "good"}) {
        ASSERT_NO_FATAL_FAILURE(Send(serial, {std::string(serial) + ",1"}));
    }
    ASSERT_TRUE(WaitUntil([&] { return FileContents(marks.Path() + "good") == "good,1\r\n"; }));
    ASSERT_TRUE(
        WaitUntil([&] { return FileContents(marks.Path() + "later") == "later,1\r\n"; }, 60s));
    // The hung command's child went with it.
    const std::string pid = FileContents(marks.Path() + "pid");
    ASSERT_FALSE(pid.empty());
    EXPECT_TRUE(WaitUntil([&] { return !fs::exists("/proc/" + pid.substr(0, pid.size() - 1)); }));
    EXPECT_EQ(Count("failed: exit status 3"), 1u);
    EXPECT_EQ(Count("Forwarding bad/"), 2u);  // its output and its failure
    EXPECT_EQ(Count(": refused"), 1u);
    EXPECT_EQ(Count("Forwarding to "), 0u);  // a command is never down as a whole
    // The copy is made before the command ends; its job ends after.
    Lines jobs;
    ASSERT_TRUE(WaitUntil([&] { return (jobs = Outbox()).size() == 2; }))
        << ::testing::PrintToString(jobs);
    std::ranges::sort(jobs);
    EXPECT_TRUE(jobs[0].starts_with("failed\t") && jobs[0].ends_with("\t-\texit status 3"))
        << jobs[0];
    EXPECT_TRUE(jobs[1].starts_with("waiting\t") && jobs[1].find("\thang\t") != std::string::npos &&
                jobs[1].ends_with("no end after 2 s, stopped"))
        << jobs[1];
    EXPECT_FALSE(fs::exists(marks.Path() + "late"));
}

// Killed with -9 at any instant during a stream of transfers and started again: every file that
// became a .csv reaches the target byte for byte, and nothing temporary is left there.
TEST_F(Forwarding, EveryFinishedFileSurvivesKillNine) {
    std::mt19937 random(std::random_device{}());
    const Lines options{"--outbox", outbox.Path(), "--forward-to", target.Path()};
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        ASSERT_NO_FATAL_FAILURE(Start({}, options));
        std::atomic<bool> sending{true};
        std::thread sender([&] {
            for (int i = 0; sending; ++i) {
                int error = 0;
                platform::Socket link =
                    platform::Socket::ConnectTcp(platform::kLoopback(port), &error, nullptr);
                if (!link.IsValid()) {
                    std::this_thread::sleep_for(10ms);
                    continue;
                }
                SendAndFinish(link, Conversation(std::to_string(i % 3),
                                                 Lines(50, "r" + std::to_string(round) + "," +
                                                               std::to_string(i))));
                ClosedQuietly(link);
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(200 + random() % 800));
        orbtray->Stop(SIGKILL);
        sending = false;
        sender.join();
    }
    ASSERT_NO_FATAL_FAILURE(Start({}, options));
    std::map<std::string, std::string> received;
    for (const auto& [name, bytes] : Received()) {
        if (name.ends_with(".csv")) {
            received[name] = bytes;
        }
    }
    ASSERT_GT(received.size(), 6u);
    ASSERT_TRUE(WaitUntil([&] { return Contents(target.Path()) == received; }, 90s))
        << received.size() << " received, forwarded: " << Contents(target.Path()).size();
    ASSERT_TRUE(WaitUntil([&] { return Outbox().empty(); }, 30s));
}

// Two receivers on one outbox, one target: each file is handed on exactly once, whichever
// receiver got it.
TEST_F(Forwarding, TwoReceiversOnOneOutboxHandEachFileOnOnce) {
    const std::string command = "echo \"$ORBTRAY_FILE\" >> '" + marks.Path() + "calls'";
    ASSERT_NO_FATAL_FAILURE(StartForwarding({"--on-file", command}));
    ScratchFolder otherData;
    const std::uint16_t otherPort = FreePort();
    OrbtrayProcess other(otherData.Path(), otherPort, {},
                         {"--outbox", outbox.Path(), "--on-file", command});
    ASSERT_TRUE(other.Ready());
    for (int i = 0; i < 3; ++i) {
        ASSERT_NO_FATAL_FAILURE(Send("a", {"a," + std::to_string(i)}));
        platform::Socket link = ConnectWithRetry(otherPort);
        SendAndFinish(link, Conversation("b", {"b," + std::to_string(i)}));
        ClosedQuietly(link);
    }
    ASSERT_TRUE(WaitUntil([&] { return CountContaining(other.Out(), "File Received") == 3; }));
    // Whichever runs the target, the other's files reach it at its next look at the outbox.
    ASSERT_TRUE(WaitUntil(
        [&] {
            return FilesBelow(otherData.Path()).size() + data.Files().size() == 6 &&
                   Outbox().empty();
        },
        90s));
    std::ifstream calls(marks.Path() + "calls");
    Lines called;
    for (std::string line; std::getline(calls, line);) {
        called.push_back(line);
    }
    std::ranges::sort(called);
    Lines expected;
    for (const std::string& file : data.Files()) {
        expected.push_back(data.Path() + file);
    }
    for (const std::string& file : FilesBelow(otherData.Path())) {
        expected.push_back(otherData.Path() + file);
    }
    std::ranges::sort(expected);
    EXPECT_EQ(called, expected);
    EXPECT_EQ(other.Stop(), 0);
}

}  // namespace
