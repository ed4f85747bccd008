#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "fakes/RecordingSinks.h"
#include "link/LogCeiling.h"
#include "link/LogLimiter.h"

namespace {

// Texts longer than their buffers are cut, never overrun; a cut log line keeps its line feed so
// the next one still starts a line of its own.
TEST(Reporting, OverLongLinesAndNoticesAreCutToTheirBuffers) {
    // At shut-down there is no receiver left: nothing may block or crash.
    NotifyUser("Device Disconnected", "%s", "COM5");

    RecordingLog log;
    RecordingNotifier notifier;
    const std::string serial(400, 'x');
    ConnectionLog("Connection %s serial number is %s\n", "COM5", serial.c_str());
    const std::string exact(259 - 11 - 1, 'y');  // "Connection ", the text, the line feed
    ConnectionLog("Connection %s\n", exact.c_str());
    NotifyUserFile("File Received", "p", "Device %s sent %d readings.", serial.c_str(), 1);

    const std::string cut = "Connection COM5 serial number is " + serial;
    EXPECT_EQ(log.Lines(),
              (std::vector<std::string>{cut.substr(0, 258) + "\n", "Connection " + exact + "\n"}));
    EXPECT_EQ(
        notifier.Notices(),
        (std::vector<RecordedNotice>{{"File Received", "Device " + serial.substr(0, 248), "p"}}));
}

// A source that repeats itself is written 20 times a second; the rest is counted and summed up
// when its second is over or the source goes away, never dropped unsaid.
TEST(Reporting, RepeatedLinesAreSummedUpOnceASecondAndAtTheEnd) {
    using namespace std::chrono_literals;
    RecordingLog log;
    LogLimiter::Clock::time_point now{};
    const auto clock = [&] { return now; };
    LogCeiling ceiling("others", clock);
    {
        LogLimiter limiter("COM5", clock, &ceiling);
        const auto say = [&](int times) {
            for (int i = 0; i < times; ++i) limiter.Log("Connection %s invalid command\n", "COM5");
        };
        const struct {
            std::chrono::milliseconds at;
            int lines;
            bool final;
            std::size_t written;  // lines of the log after this step
            const char* last;
        } steps[] = {
            {0ms, 25, false, 20, "Connection COM5 invalid command\n"},
            {999ms, 3, false, 20, "Connection COM5 invalid command\n"},  // same second
            {1000ms, 0, false, 21, "Connection COM5 8 more messages suppressed\n"},
            {1200ms, 22, false, 41, "Connection COM5 invalid command\n"},
            {1300ms, 0, false, 41, "Connection COM5 invalid command\n"},  // not yet due
            {3000ms, 1, false, 43, "Connection COM5 invalid command\n"},  // sum first
            {3100ms, 30, true, 63, "Connection COM5 11 more messages suppressed\n"},
        };
        for (const auto& step : steps) {
            now = LogLimiter::Clock::time_point{} + step.at;
            say(step.lines);
            limiter.Flush(step.final);
            const std::vector<std::string> lines = log.Lines();
            ASSERT_EQ(lines.size(), step.written) << step.at.count();
            EXPECT_EQ(lines.back(), step.last) << step.at.count();
        }
        EXPECT_EQ(log.Lines()[41], "Connection COM5 2 more messages suppressed\n");
    }
    EXPECT_EQ(log.Lines().size(), 63u);
}

}  // namespace
