#include <gtest/gtest.h>

#include "fakes/RecordingSinks.h"
#include "fakes/ScratchFolder.h"
#include "transfer/Store.h"

namespace {

constexpr std::int64_t kDec14 = 1765680857;  // 2025-12-14 02:54:17 UTC
const std::string kSep(1, platform::kPathSeparator);

std::string Log(const std::string& message) {
    return "Connection COM5 " + message + "\n";
}

TEST(Store, NamesFilesAfterTheUtcTimeOfTheHello) {
    const struct {
        std::int64_t utc;
        const char* name;
    } cases[] = {
        {kDec14, "251214-025417"},    {4102444800, "000101-000000"},  // 2100
        {946684799, "991231-235959"}, {1709251199, "240229-235959"}, {1704151800, "240101-233000"},
    };
    for (const auto& c : cases) {
        ScratchDataFolder data;
        RecordingNotifier notifier;
        FixedClock clock(c.utc);
        TestWorker worker;
        worker.SetClock(clock);
        EXPECT_TRUE(worker.Feed("HELLO 12345\n"));
        EXPECT_EQ(data.Files(), std::vector<std::string>{"12345/" + std::string(c.name) + ".tmp"});
        EXPECT_TRUE(worker.Feed("BYE\n"));
        EXPECT_EQ(data.Files(), std::vector<std::string>{"12345/" + std::string(c.name) + ".csv"});
        ASSERT_EQ(notifier.Notices().size(), 1u);
        EXPECT_EQ(notifier.Notices()[0].path, data.Path() + "12345" + kSep + c.name + ".csv");
        EXPECT_EQ(notifier.Notices()[0].text, "Device 12345 sent 0 readings.");
    }
}

TEST(Store, HostileSerialsStayInsideTheDataFolder) {
    const struct {
        const char* serial;
        const char* directory;
    } cases[] = {
        {"..", "%2E%2E"},
        {"..\\..\\x", "..%5C..%5Cx"},
        {"C:\\x", "C%3A%5Cx"},
        {"a/b", "a%2Fb"},
        {"CON", "%43ON"},
        {"nul.txt", "%6Eul.txt"},
        {"abc.", "abc%2E"},
        {" abc", "%20abc"},
        {"../../../tmp/x", "..%2F..%2F..%2Ftmp%2Fx"},
        {"/etc/passwd", "%2Fetc%2Fpasswd"},
    };
    for (const auto& c : cases) {
        ScratchFolder outer;
        g_dataFolder = outer.Path() + "Data" + kSep;
        RecordingLog log;
        RecordingNotifier notifier;
        FixedClock clock(kDec14);
        TestWorker worker;
        worker.SetClock(clock);
        EXPECT_TRUE(worker.Feed(std::string("HELLO ") + c.serial + "\nLINE 1\nBYE\n")) << c.serial;
        const std::string file = std::string("Data/") + c.directory + "/251214-025417.csv";
        EXPECT_EQ(outer.Files(), std::vector<std::string>{file}) << c.serial;
        EXPECT_EQ(outer.Directories(),
                  (std::vector<std::string>{"Data", std::string("Data/") + c.directory}))
            << c.serial;
        // The user and the log see the serial as the instrument sent it.
        EXPECT_EQ(log.Lines().at(0), Log(std::string("serial number is ") + c.serial));
        EXPECT_EQ(notifier.Notices().at(0).text,
                  std::string("Device ") + c.serial + " sent 1 readings.");
        g_dataFolder.clear();
    }
}

TEST(Store, TransfersInTheSameSecondNeverShareAFile) {
    ScratchDataFolder data;
    RecordingNotifier notifier;
    FixedClock clock(kDec14);
    TestWorker first("COM%u", 1), second("COM%u", 2), third("S%u", 3);
    for (TestWorker* w : {&first, &second, &third}) {
        w->SetClock(clock);
    }
    // Two links at once...
    EXPECT_TRUE(first.Feed("HELLO 7\nLINE first\n"));
    EXPECT_TRUE(second.Feed("HELLO 7\nLINE second\n"));
    EXPECT_TRUE(second.Feed("BYE\n"));
    EXPECT_TRUE(first.Feed("BYE\n"));
    // ...and one more on a link after both have finished.
    EXPECT_TRUE(third.Feed("HELLO 7\nLINE third\nBYE\n", false));

    EXPECT_EQ(data.Files(),
              (std::vector<std::string>{"7/251214-025417-2.csv", "7/251214-025417-3.csv",
                                        "7/251214-025417.csv"}));
    EXPECT_EQ(data.Read("7/251214-025417.csv"), "first\r\n");
    EXPECT_EQ(data.Read("7/251214-025417-2.csv"), "second\r\n");
    EXPECT_EQ(data.Read("7/251214-025417-3.csv"), "third\r\n");
}

// Large files are flushed to the disk while they still arrive, and lines of every length cross
// the write buffer's edge. Abandoned ones are deleted even with a flush still running.
TEST(Store, LargeFilesArriveByteExactAndAbandonedOnesLeaveNothing) {
    ScratchDataFolder data;
    RecordingNotifier notifier;
    FixedClock clock(kDec14);
    TestWorker finished("S%u", 1), abandoned("S%u", 2);
    finished.SetClock(clock);
    abandoned.SetClock(clock);
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
    EXPECT_EQ(data.Files(), std::vector<std::string>{"big/251214-025417.csv"});
    EXPECT_TRUE(data.Read("big/251214-025417.csv") == stored);
    EXPECT_EQ(notifier.Notices().at(0).text,
              "Device big sent " + std::to_string(lines) + " readings.");
}

TEST(Store, RefusesAHelloItCannotStore) {
    RecordingLog log;
    FixedClock clock(kDec14);
    {
        // A plain file where the serial directory belongs.
        ScratchDataFolder data;
        data.Write("12345", "not a directory");
        TestWorker worker;
        worker.SetClock(clock);
        EXPECT_FALSE(worker.Feed("HELLO 12345\n"));
        EXPECT_EQ(worker.wire, "\x15");
        EXPECT_EQ(data.Files(), std::vector<std::string>{"12345"});
        EXPECT_EQ(log.Lines().back(), Log("cannot make directory"));
    }
    {
        // A serial so long the file name would not fit: refused, and nothing is made.
        ScratchDataFolder data;
        const std::string serial(kMaxDataPath - g_dataFolder.size() - 17, 's');
        TestWorker worker;
        worker.SetClock(clock);
        EXPECT_FALSE(worker.Feed("HELLO " + serial + "\n"));
        EXPECT_EQ(log.Lines().back(), Log("cannot open file"));
        EXPECT_TRUE(data.Directories().empty());
        // One character less fits exactly 255.
        EXPECT_TRUE(worker.Feed("HELLO " + serial.substr(1) + "\nBYE\n"));
        ASSERT_EQ(data.Files().size(), 1u);
        EXPECT_EQ(g_dataFolder.size() + data.Files()[0].size(), kMaxDataPath);
    }
}

TEST(Store, CreatesEveryMissingLevelOfTheDataFolder) {
    ScratchFolder outer;
    g_dataFolder = outer.Path() + "a" + kSep + "b" + kSep + "Data" + kSep;
    FixedClock clock(kDec14);
    TestWorker worker;
    worker.SetClock(clock);
    EXPECT_TRUE(worker.Feed("HELLO 1\nLINE x\nBYE\n"));
    EXPECT_EQ(outer.Files(), std::vector<std::string>{"a/b/Data/1/251214-025417.csv"});
    g_dataFolder.clear();
}

TEST(MakePath, CreatesOnlyDirectoriesThatEndInASeparator) {
    ScratchFolder scratch;
    EXPECT_TRUE(MakePath(scratch.Path() + "x" + kSep + "y" + kSep + "file.txt"));
    EXPECT_EQ(scratch.Directories(), (std::vector<std::string>{"x", "x/y"}));
    EXPECT_TRUE(MakePath(scratch.Path() + "x" + kSep));  // already there

    scratch.Write("plain", "");
    EXPECT_FALSE(MakePath(scratch.Path() + "plain" + kSep + "z" + kSep));
    EXPECT_EQ(scratch.Directories(), (std::vector<std::string>{"x", "x/y"}));
}

TEST(RemoveLeftoverTempFiles, DeletesOnlyTheStoresTemporaryFiles) {
    ScratchFolder data;
    const std::vector<std::string> kept = {"1/251214-025417.csv",   "1/notes.tmp",
                                           "1/251214-02541.tmp",    "1/2512140-25417.tmp",
                                           "2/x/251214-025417.tmp", "251214-025417.tmp"};
    for (const auto& name : kept) {
        data.Write(name, "keep");
    }
    for (const auto& name :
         {"1/251214-025417-2.tmp", "1/251214-025417.tmp", "2/000101-000000-99.tmp"}) {
        data.Write(name, "partial");
    }
    EXPECT_EQ(RemoveLeftoverTempFiles(data.Path()), 3);
    auto expected = kept;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(data.Files(), expected);
}

}  // namespace
