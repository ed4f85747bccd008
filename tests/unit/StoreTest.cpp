#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <limits>
#include <map>
#include <set>
#include <thread>

#include "fakes/MemoryDisk.h"
#include "fakes/RecordingSinks.h"
#include "fakes/ScratchFolder.h"
#include "transfer/Store.h"

namespace {

constexpr std::int64_t kDec14 = 1765680857;  // 2025-12-14 02:54:17 UTC
const std::string kSep(1, platform::kPathSeparator);
using Lines = std::vector<std::string>;

std::string Log(const std::string& message) {
    return "Connection COM5 " + message + "\n";
}

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
        ASSERT_EQ(r.notifier.Notices().size(), 1u);
        EXPECT_EQ(r.notifier.Notices()[0].path, r.data.Path() + "12345" + kSep + c.name + ".csv");
        EXPECT_EQ(r.notifier.Notices()[0].text, "Device 12345 sent 0 readings.");
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
        {".", "%2E"},
        {"..\\..\\x", "..%5C..%5Cx"},
        {"C:\\x", "C%3A%5Cx"},
        {"a/b", "a%2Fb"},
        {"/etc/passwd", "%2Fetc%2Fpasswd"},
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
        ScratchFolder outer;
        FixedClock clock(kDec14);
        const StoreConfig store{outer.Path() + "a" + kSep + "Data" + kSep, "", &clock};
        RecordingLog log;
        RecordingNotifier notifier;
        TestWorker worker(store);
        EXPECT_TRUE(worker.Feed(std::string("HELLO ") + c.serial + "\nLINE 1\nBYE\n")) << c.serial;
        const std::string directory = std::string("a/Data/") + c.directory;
        EXPECT_EQ(outer.Files(), Lines{directory + "/251214-025417.csv"}) << c.serial;
        EXPECT_EQ(outer.Directories(), (Lines{"a", "a/Data", directory})) << c.serial;
        // The user and the log see the serial as the instrument sent it.
        EXPECT_EQ(log.Lines().at(0), Log(std::string("serial number is ") + c.serial));
        EXPECT_EQ(notifier.Notices().at(0).text,
                  std::string("Device ") + c.serial + " sent 1 readings.");
        // The file list shows the serial again, decoded from the directory name.
        EXPECT_EQ(SerialFromDirectoryName(c.directory), c.serial);
    }
    // Names the store never gives are some other folder's own: shown as they are.
    for (const char* name : {"%", "50%2", "%zz", "%2e", "%41", "%2E%2E%2E"}) {
        EXPECT_EQ(SerialFromDirectoryName(name), name);
    }
}

// Large files are flushed to the disk while they still arrive, and lines of every length cross
// the write buffer's edge. Abandoned ones are deleted even with a flush still running.
TEST(Store, LargeFilesArriveByteExactAndAbandonedOnesLeaveNothing) {
    ScratchWorker r;
    TestWorker& finished = r.worker;
    TestWorker abandoned(r.data.store, "S%u", 2);
    EXPECT_TRUE(finished.Feed("HELLO big\n", false));
    EXPECT_TRUE(abandoned.Feed("HELLO big\n", false));
    std::string stored;
    unsigned lines = 0;
    while (stored.size() < 9u * 1024 * 1024) {
        const std::string text(lines * 613 % (kMaxLineLength - 5),
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
    EXPECT_EQ(r.notifier.Notices().at(0).text,
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
        EXPECT_EQ(r.log.Lines().back(), Log("cannot make directory"));
    }
    {
        // A serial so long the file name would not fit: refused, and nothing is made.
        ScratchWorker r;
        const std::string serial(kMaxDataPath - r.data.store.dataFolder.size() - 17, 's');
        EXPECT_FALSE(r.worker.Feed("HELLO " + serial + "\n"));
        EXPECT_EQ(r.log.Lines().back(), Log("cannot open file"));
        EXPECT_TRUE(r.data.Directories().empty());
        // One character less fits exactly 255.
        EXPECT_TRUE(r.worker.Feed("HELLO " + serial.substr(1) + "\nBYE\n"));
        ASSERT_EQ(r.data.Files().size(), 1u);
        EXPECT_EQ(r.data.store.dataFolder.size() + r.data.Files()[0].size(), kMaxDataPath);
    }
}

// A file the disk could not take in whole, or could not name, is never called complete: the
// instrument is refused (a serial one keeps its data on NAK), nothing is announced and nothing
// is left behind. A final name taken meanwhile only moves the file on to the next free name.
TEST(Store, AFileThatCannotBeStoredWholeIsRefusedAndLeavesNothing) {
    const std::string folder = kSep + "data" + kSep;
    const std::string name = folder + "7" + kSep + "251214-025417";
    const std::string small = "HELLO 7\nLINE 12345\nBYE\n";
    // More than the 64 KiB write buffer, so that a LINE itself meets the full disk.
    std::string big = "HELLO 7\n";
    for (int i = 0; i < 30; ++i) {
        big += "LINE " + std::string(3000, 'b') + "\n";
    }
    struct Fault {
        std::size_t writeRoom = std::numeric_limits<std::size_t>::max();
        bool failSync = false;
        bool failMove = false;
        bool takeFinalName = false;
    };
    const struct {
        const char* what;
        Fault fault;
        const std::string& sent;
        const char* logged;  // the line before the link's own "terminated"
    } cases[] = {
        {"disk full while lines arrive", {.writeRoom = 1000}, big, "cannot write file"},
        {"disk full at BYE", {.writeRoom = 3}, small, "cannot write file"},
        {"flush to the disk fails", {.failSync = true}, small, "cannot write file"},
        {"rename fails", {.failMove = true}, small, "cannot rename file"},
        {"final name taken meanwhile", {.takeFinalName = true}, small, "transfer complete"},
    };
    for (const auto& c : cases) {
        for (const bool serialLink : {true, false}) {
            MemoryDisk disk;
            disk.writeRoom = c.fault.writeRoom;
            disk.failSync = c.fault.failSync;
            disk.failMove = c.fault.failMove;
            disk.takeBeforeMove = c.fault.takeFinalName ? name + ".csv" : "";
            FixedClock clock(kDec14);
            const StoreConfig store{folder, "", &clock, &disk};
            RecordingLog log;
            RecordingNotifier notifier;
            TestWorker worker(store);
            const bool stored = c.fault.takeFinalName;
            EXPECT_EQ(worker.Feed(c.sent, serialLink), stored) << c.what;
            worker.Close();
            EXPECT_EQ(log.Lines().at(log.Lines().size() - 2), Log(c.logged)) << c.what;
            EXPECT_EQ(worker.wire.back(), stored ? '\x06' : '\x15') << c.what;
            const std::map<std::string, std::string> left =
                stored ? decltype(left){{name + ".csv", ""}, {name + "-2.csv", "12345\r\n"}}
                       : decltype(left){};
            EXPECT_EQ(disk.Files(), left) << c.what;
            EXPECT_EQ(notifier.Notices().size(), stored ? 1u : 0u) << c.what;
            if (stored) {
                EXPECT_EQ(notifier.Notices()[0].path, name + "-2.csv") << c.what;
            }
        }
    }
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
        ScratchDataFolder data;
        FixedClock clock(kDec14);
        data.store.clock = &clock;
        RecordingLog log;
        RecordingNotifier notifier;
        std::atomic<int> ready{0};
        std::vector<std::thread> links;
        for (int i = 0; i < kLinks; ++i) {
            links.emplace_back([&, i] {
                TestWorker worker(data.store, "S%u", unsigned(i));
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
        ASSERT_EQ(notifier.Notices().size(), std::size_t(kLinks)) << "round " << round;
    }
}

}  // namespace
