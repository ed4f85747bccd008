#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <set>
#include <thread>

#include "datafolder/Scan.h"
#include "datafolder/Store.h"
#include "fakes/MemoryDisk.h"
#include "fakes/RecordingSinks.h"
#include "fakes/RenameBlocker.h"
#include "fakes/ScratchFolder.h"

namespace {

constexpr std::int64_t kDec14 = 1765680857;  // 2025-12-14 02:54:17 UTC
const std::string kSep(1, platform::kPathSeparator);
using Lines = std::vector<std::string>;

// Names are the UTC time of the HELLO, across leap days, centuries and the epoch.
TEST(Store, NamesFilesAfterTheUtcTimeOfTheHello) {
    const struct {
        std::int64_t utc;
        const char* name;
    } cases[] = {
        {kDec14, "251214-025417"},     {946684799, "991231-235959"},  {951825600, "000229-120000"},
        {1709251199, "240229-235959"}, {1704151800, "240101-233000"}, {2147483648, "380119-031408"},
        {4102444800, "000101-000000"}, {4107542400, "000301-000000"},  // 2100 has no 29 February
        {-1, "691231-235959"},
    };
    for (const auto& c : cases) {
        ScratchWorker r(c.utc);
        EXPECT_TRUE(r.worker.Feed("HELLO 12345\n"));
        EXPECT_EQ(r.data.Files(), Lines{"12345/" + std::string(c.name) + ".tmp"});
        EXPECT_TRUE(r.worker.Feed("BYE\n"));
        EXPECT_EQ(r.data.Files(), Lines{"12345/" + std::string(c.name) + ".csv"});
        ASSERT_EQ(r.log.Notices().size(), 1u);
        EXPECT_EQ(r.log.Notices()[0].path, r.data.Path() + "12345" + kSep + c.name + ".csv");
        EXPECT_EQ(r.log.Notices()[0].text, "Device 12345 sent 0 readings.");
    }
}

// Every serial is stored, and nothing escapes the Data folder, names a device or is altered by
// the file system: ordinary serials stay as they are, the rest is %XX-encoded, reversibly (so
// "50%" and "50%25" stay apart) and decoded for the file list. Every missing level of the Data
// folder is made on the way.
TEST(Store, SerialsGetDirectoriesOfTheirOwnInsideTheDataFolder) {
    const struct {
        const char* serial;
        const char* directory;
    } cases[] = {
        {"12345", "12345"},
        {"OBX-2000-A7", "OBX-2000-A7"},
        {"..", "%2E%2E"},
        {"..\\..\\x", "..%5C..%5Cx"},
        {"C:\\x", "C%3A%5Cx"},
        {"a/b", "a%2Fb"},
        {"50%", "50%25"},
        {"50%25", "50%2525"},
        {"*?\"<>|", "%2A%3F%22%3C%3E%7C"},
        {"abc.", "abc%2E"},
        {" abc", "%20abc"},
        {"abc ", "abc%20"},
        {"", "%00"},
        {"CON", "%43ON"},
        {"nul.txt", "%6Eul.txt"},
        {"CON .txt", "%43ON .txt"},
        {"Com7", "%43om7"},
        {"LPT0.csv", "%4CPT0.csv"},
        {"CONIN$", "%43ONIN$"},
        {"COM", "COM"},
        {"COM10", "COM10"},
        {"CONSOLE", "CONSOLE"},
    };
    for (const auto& c : cases) {
        ScratchWorker r;
        r.data.store.dataFolder = r.data.Path() + "a" + kSep + "Data" + kSep;
        EXPECT_TRUE(r.worker.Feed(std::string("HELLO ") + c.serial + "\nLINE 1\nBYE\n"))
            << c.serial;
        const std::string directory = std::string("a/Data/") + c.directory;
        EXPECT_EQ(r.data.Files(), Lines{directory + "/251214-025417.csv"}) << c.serial;
        EXPECT_EQ(r.data.Directories(), (Lines{"a", "a/Data", directory})) << c.serial;
        // The user and the log see the serial as the instrument sent it.
        EXPECT_EQ(r.log.Lines().at(0), Com5Log(std::string("serial number is ") + c.serial));
        EXPECT_EQ(r.log.Notices().at(0).text,
                  std::string("Device ") + c.serial + " sent 1 readings.");
        // The file list shows the serial again, decoded from the directory name.
        EXPECT_EQ(SerialFromDirectoryName(c.directory), c.serial);
    }
    // Names the store never gives are some other folder's own: shown as they are.
    for (const char* name : {"%", "50%2", "%zz", "%2e", "%41", "%2E%2E%2E"}) {
        EXPECT_EQ(SerialFromDirectoryName(name), name);
    }
}

// Large files are flushed to the disk while they still arrive, and lines of every length up to
// the 4096-byte bound cross the write buffer's edge. Abandoned ones are deleted even with a flush
// still running.
TEST(Store, LargeFilesArriveByteExactAndAbandonedOnesLeaveNothing) {
    ScratchWorker r;
    TestWorker& finished = r.worker;
    TestWorker abandoned(r.log.Context(r.data.store), "S%u", 2);
    EXPECT_TRUE(finished.Feed("HELLO big\n", false));
    EXPECT_TRUE(abandoned.Feed("HELLO big\n", false));
    std::string stored;
    unsigned lines = 0;
    while (stored.size() < 9u * 1024 * 1024) {
        // "LINE " and every length of text up to kMaxLineLength - 5, which fills the bound.
        const std::string text(lines * 613 % (kMaxLineLength - 4),
                               static_cast<char>('!' + lines % 90));
        const std::string sent = "LINE " + text + "\r\n";
        ASSERT_TRUE(finished.Feed(sent, false));
        ASSERT_TRUE(abandoned.Feed(sent, false));
        stored += text + "\r\n";
        ++lines;
    }
    EXPECT_TRUE(finished.Feed("BYE\r\n", false));
    abandoned.Close();
    EXPECT_EQ(r.data.Files(), Lines{"big/251214-025417.csv"});
    EXPECT_TRUE(r.data.Read("big/251214-025417.csv") == stored);
    EXPECT_EQ(r.log.Notices().at(0).text,
              "Device big sent " + std::to_string(lines) + " readings.");
}

TEST(Store, RefusesAHelloItCannotStore) {
    {
        // A plain file where the serial directory belongs.
        ScratchWorker r;
        r.data.Write("12345", "not a directory");
        EXPECT_FALSE(r.worker.Feed("HELLO 12345\n"));
        EXPECT_EQ(r.worker.wire, "\x15");
        EXPECT_EQ(r.data.Files(), Lines{"12345"});
        EXPECT_EQ(r.log.Lines().back(), Com5Log("cannot make directory"));
    }
    {
        // A serial so long the file name would not fit: refused, and nothing is made.
        ScratchWorker r;
        const std::string serial(kMaxDataPath - r.data.store.dataFolder.size() - 17, 's');
        EXPECT_FALSE(r.worker.Feed("HELLO " + serial + "\n"));
        EXPECT_EQ(r.log.Lines().back(), Com5Log("cannot open file"));
        EXPECT_TRUE(r.data.Directories().empty());
        // One character less fits exactly 255.
        EXPECT_TRUE(r.worker.Feed("HELLO " + serial.substr(1) + "\nBYE\n"));
        ASSERT_EQ(r.data.Files().size(), 1u);
        EXPECT_EQ(r.data.store.dataFolder.size() + r.data.Files()[0].size(), kMaxDataPath);
    }
}

// A file the disk could not take in whole is never called complete: the instrument is refused (a
// serial one keeps its data on NAK), nothing is announced and nothing is left behind. A final name
// taken meanwhile only moves the file on to the next free name, and a rename held off for a
// moment is tried again. Complete data that cannot be named is refused and announced just the
// same, but kept: under a name of its own, or where even that fails, as its .tmp, read-only. A
// file taken away before BYE is written out again from the open file (FileSystemsTest, through
// the real orbtray); only when even that fails is the transfer lost, and said.
TEST(Store, AFileThatCannotBeStoredWholeIsRefusedAndLeavesNothing) {
    const std::string folder = kSep + "data" + kSep;
    const std::string name = folder + "7" + kSep + "251214-025417";
    // A LINE that meets the full disk is FullDiskTest's, through the real orbtray.
    const std::string sent = "HELLO 7\nLINE 12345\nBYE\n";
    using Left = std::map<std::string, std::string>;
    const struct {
        const char* what;
        DiskFaults fault;
        Lines logged;  // the lines before the link's own "terminated"
        Left left;
        const char* readOnly;  // the file left read-only, if any
    } cases[] = {
        {"disk full at BYE", {.writeRoom = 3}, {"cannot write file"}, {}, ""},
        {"flush to the disk fails", {.failSync = true}, {"cannot write file"}, {}, ""},
        {"rename fails",
         {.failMoves = 1},
         {"cannot rename file", "kept the data in " + name + ".kept"},
         {{name + ".kept", "12345\r\n"}},
         ""},
        {"every rename fails",
         {.failMoves = 2},
         {"cannot rename file", "kept the data in " + name + ".tmp"},
         {{name + ".tmp", "12345\r\n"}},
         ".tmp"},
        {"rename held off for a moment",
         {.busyMoves = 5},
         {"transfered 1 lines", "transfer complete"},
         {{name + ".csv", "12345\r\n"}},
         ""},
        {"final name taken meanwhile",
         {.takeBeforeMove = name + ".csv"},
         {"transfered 1 lines", "transfer complete"},
         {{name + ".csv", ""}, {name + "-2.csv", "12345\r\n"}},
         ""},
        {"file taken away on a full disk",
         {.writeRoom = 7, .takeAwayOnSync = name + ".tmp"},
         {"transfer lost: its file was taken away and could not be written again"},
         {},
         ""},
    };
    for (const auto& c : cases) {
        for (const bool serialLink : {true, false}) {
            MemoryDisk disk;
            static_cast<DiskFaults&>(disk) = c.fault;
            ScratchWorker r;
            r.data.store.dataFolder = folder;
            r.data.store.disk = &disk;
            const bool stored = c.logged.back() == "transfer complete";
            EXPECT_EQ(r.worker.Feed(sent, serialLink), stored) << c.what;
            r.worker.Close();
            Lines logged = r.log.Lines();
            logged.erase(logged.begin(), logged.end() - long(c.logged.size()) - 1);
            Lines expected;
            for (const std::string& line : c.logged) {
                expected.push_back(Com5Log(line));
            }
            expected.push_back(Com5Log("terminated"));
            EXPECT_EQ(logged, expected) << c.what;
            EXPECT_EQ(r.worker.wire.back(), stored ? '\x06' : '\x15') << c.what;
            EXPECT_EQ(disk.Files(), c.left) << c.what;
            EXPECT_EQ(disk.ReadOnly(), *c.readOnly ? std::set<std::string>{name + c.readOnly}
                                                   : std::set<std::string>{})
                << c.what;
            ASSERT_EQ(r.log.Notices().size(), stored ? 1u : 0u) << c.what;
            if (stored) {
                // The file that holds the data, not the one that took its name.
                const auto held = std::ranges::find_if(
                    c.left, [](const auto& file) { return !file.second.empty(); });
                EXPECT_EQ(r.log.Notices()[0].path, held->first) << c.what;
            }
        }
    }
}

// Something outside the receiver keeps a finished file from being renamed: on Windows a program
// holding it without delete sharing, on POSIX an immutable directory (RenameBlocker). A hold that
// ends soon after BYE only delays the file. One that lasts is reported, and the data, complete,
// stays on the disk where neither the file list nor a later start's clean-up touches it.
TEST(Store, AFileThatCannotBeRenamedIsRetriedForAWhileThenKeptNeverDeleted) {
    using namespace std::chrono_literals;
    const struct {
        const char* what;
        std::chrono::milliseconds hold;  // from BYE on
        bool kept;
    } cases[] = {{"released after one second", 1000ms, false}, {"held for five", 5000ms, true}};
    for (const auto& c : cases) {
        ScratchWorker r;
        const std::string temp = "7" + kSep + "251214-025417.tmp";
        EXPECT_TRUE(r.worker.Feed("HELLO 7\nLINE a,1\n")) << c.what;
        // A clean-up, as another receiver starting on this folder runs it, leaves a file that is
        // being written alone, even in the writer's own process; and the writer keeps its hold.
        EXPECT_EQ(RemoveLeftoverTempFiles(r.data.Path()), 0) << c.what;
        EXPECT_TRUE(r.worker.Feed("LINE b,2\n")) << c.what;
        EXPECT_EQ(RemoveLeftoverTempFiles(r.data.Path()), 0) << c.what;
        RenameBlocker blocker(r.data.Path() + temp);
        if (!blocker.Holding()) {
            GTEST_SKIP() << "nothing here can keep a file from being renamed";
        }
        std::thread release([&] {
            std::this_thread::sleep_for(c.hold);
            blocker.Release();
        });
        const bool stored = r.worker.Feed("BYE\n");
        release.join();
        EXPECT_EQ(stored, !c.kept) << c.what;
        EXPECT_EQ(r.worker.wire, c.kept ? "\x06\x06\x06\x15" : "\x06\x06\x06\x06") << c.what;
        const std::string name = c.kept ? "7/251214-025417.tmp" : "7/251214-025417.csv";
        EXPECT_EQ(r.data.Files(), Lines{name}) << c.what;
        EXPECT_EQ(r.data.Read(name), "a,1\r\nb,2\r\n") << c.what;
        EXPECT_EQ(r.log.Notices().size(), c.kept ? 0u : 1u) << c.what;
        if (c.kept) {
            const Lines log = r.log.Lines();
            EXPECT_EQ(Lines(log.end() - 2, log.end()),
                      (Lines{Com5Log("cannot rename file"),
                             Com5Log("kept the data in " + r.data.Path() + temp)}))
                << c.what;
            EXPECT_EQ(RemoveLeftoverTempFiles(r.data.Path()), 0) << c.what;
            std::vector<FileRecord> listed;
            ScanDataFolder(r.data.Path(), listed);
            EXPECT_TRUE(listed.empty()) << c.what;
            EXPECT_EQ(r.data.Read(name), "a,1\r\nb,2\r\n") << c.what;
            // Read-only, which the scratch folder could not remove.
            std::filesystem::permissions(r.data.Path() + temp, std::filesystem::perms::owner_write,
                                         std::filesystem::perm_options::add);
        }
    }
}

// An instrument that replays its memory sends hundreds of files within one second: each gets a
// name of its own, on past -99, and none is refused.
TEST(Store, HundredsOfTransfersInOneSecondEachGetANameOfTheirOwn) {
    ScratchWorker r;
    std::string replay;
    Lines names = {"7/251214-025417.csv"};
    for (int i = 1; i <= 120; ++i) {
        replay += "HELLO 7\nLINE " + std::to_string(i) + "\nBYE\n";
        if (i > 1) {
            names.push_back("7/251214-025417-" + std::to_string(i) + ".csv");
        }
    }
    EXPECT_TRUE(r.worker.Feed(replay, false));
    std::ranges::sort(names);
    EXPECT_EQ(r.data.Files(), names);
    EXPECT_EQ(r.data.Read("7/251214-025417-120.csv"), "120\r\n");
    EXPECT_EQ(r.log.Notices().size(), 120u);
}

// Links of one serial that start in the same second each get a file of their own, whichever
// finishes first, numbered -2, -3, ... without a gap. The window between one link's failed create
// and another's rename is narrow: many rounds of many links are needed to hit it.
TEST(Store, SameSecondTransfersOnManyLinksNeverLoseOne) {
    constexpr int kLinks = 12;
    constexpr int kRounds = 40;
    Lines names = {"dup/251214-025417.csv"};
    for (int n = 2; n <= kLinks; ++n) {
        names.push_back("dup/251214-025417-" + std::to_string(n) + ".csv");
    }
    std::ranges::sort(names);
    for (int round = 0; round < kRounds; ++round) {
        ScratchWorker r;  // its folder, clock and log; the links are the threads' own
        ScratchDataFolder& data = r.data;
        std::atomic<int> ready{0};
        std::vector<std::thread> links;
        for (int i = 0; i < kLinks; ++i) {
            links.emplace_back([&, i] {
                TestWorker worker(r.log.Context(data.store), "S%u", unsigned(i));
                ++ready;
                while (ready.load() < kLinks) {
                    std::this_thread::yield();
                }
                worker.Feed("HELLO dup\nLINE " + std::to_string(i) + "\nBYE\n", false);
            });
        }
        for (std::thread& link : links) {
            link.join();
        }
        std::set<std::string> contents;
        for (const std::string& file : data.Files()) {
            contents.insert(data.Read(file));
        }
        ASSERT_EQ(data.Files(), names) << "round " << round;
        ASSERT_EQ(contents.size(), std::size_t(kLinks)) << "round " << round;
        ASSERT_EQ(r.log.Notices().size(), std::size_t(kLinks)) << "round " << round;
    }
}

}  // namespace
