#include <gtest/gtest.h>

#include "fakes/RecordingSinks.h"

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

}  // namespace
