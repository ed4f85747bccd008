#include <gtest/gtest.h>

#include "fakes/RecordingSinks.h"

namespace {

TEST(ConnectionName, FollowsTheLinkKindAndNumber) {
    EXPECT_STREQ(TestWorker(StoreConfig{}, "COM%u", 12).ConnectionName(), "COM12");
    EXPECT_STREQ(TestWorker(StoreConfig{}, "S%u", 316).ConnectionName(), "S316");
    EXPECT_STREQ(TestWorker(StoreConfig{}, "S%u", 4294967295u).ConnectionName(), "S4294967295");
}

TEST(ConnectionLog, HandsOverExactlyTheFormattedLine) {
    RecordingLog log;
    ConnectionLog("Connection %s listening\n", "COM5");
    ConnectionLog("Connection %s aborted with error %d\n", "S12", 10054);
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{"Connection COM5 listening\n",
                                                     "Connection S12 aborted with error 10054\n"}));
}

TEST(ConnectionLog, CutsOverLongLinesAndKeepsTheLineFeed) {
    RecordingLog log;
    const std::string serial(400, 'x');
    ConnectionLog("Connection %s serial number is %s\n", "COM5", serial.c_str());
    const std::string exact(259 - 11 - 1, 'y');  // "Connection ", the text, the line feed
    ConnectionLog("Connection %s\n", exact.c_str());

    const auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].size(), 259u);
    EXPECT_EQ(lines[0].rfind("Connection COM5 serial number is xxx", 0), 0u);
    EXPECT_EQ(lines[0].back(), '\n');
    EXPECT_EQ(lines[0].find('\n'), 258u);
    // A line that fits exactly is left alone.
    EXPECT_EQ(lines[1], "Connection " + exact + "\n");
    EXPECT_EQ(lines[1].size(), 259u);
}

TEST(Notify, DeliversTitleTextAndPath) {
    RecordingNotifier notifier;
    NotifyUserFile("File Received", "/data/123/251214-025417.csv", "Device %s sent %d readings.",
                   "123", 7);
    NotifyUser("Device Connected", "%s", "COM5");
    EXPECT_EQ(notifier.Notices(),
              (std::vector<RecordedNotice>{
                  {"File Received", "Device 123 sent 7 readings.", "/data/123/251214-025417.csv"},
                  {"Device Connected", "COM5", ""}}));
}

TEST(Notify, CutsAnOverLongTextToItsBuffer) {
    RecordingNotifier notifier;
    const std::string serial(300, 's');
    NotifyUserFile("File Received", "p", "Device %s sent %d readings.", serial.c_str(), 1);
    ASSERT_EQ(notifier.Notices().size(), 1u);
    EXPECT_EQ(notifier.Notices()[0].text, "Device " + std::string(255 - 7, 's'));
}

TEST(Notify, WithoutASinkReturnsAtOnce) {
    // Shut-down case: no receiver left. Nothing may block or crash.
    NotifyUser("Device Disconnected", "%s", "COM5");
    RecordingNotifier notifier;
    EXPECT_TRUE(notifier.Notices().empty());
}

}  // namespace
