// The serial worker's Run step over a scripted port: every outcome of the wait, what goes to the
// log, to the user and back to the instrument.

#include <gtest/gtest.h>

#include "fakes/FakeSerialPort.h"
#include "fakes/RecordingSinks.h"
#include "fakes/ScratchFolder.h"
#include "link/Listener.h"
#include "link/UsbWorker.h"
#include "platform/Event.h"

namespace {

using platform::PortWait;

TEST(UsbWorker, RunStepOutcomes) {
    const std::string burst =
        "HELLO 9\r\nLINE " + std::string(1500, 'b') + "\r\nLINE end\r\nBYE\r\n";
    const struct {
        const char* what;
        std::vector<PortStep> script;    // one Run step each, then Close
        std::vector<bool> results;       // what each Run returned
        std::vector<std::string> log;    // without the "Connection COM5 " prefix
        std::string written;             // bytes sent to the instrument
        std::vector<std::string> files;  // left in the Data folder
        bool reported;
    } cases[] = {
        {"a burst longer than one read",
         {{PortWait::Data, burst}},
         {true},
         {"serial number is 9", "transfered 2 lines", "transfer complete", "terminated"},
         "\x06\x06\x06\x06",
         {"9/251214-025417.csv"},
         false},
        // Silence while idle is nothing; in a transfer it aborts it, and the half line before it
        // is gone (its rest is no command); the port is used again.
        {"silence",
         {{PortWait::Timeout, ""},
          {PortWait::Data, "HELLO 3\r\nLINE x\r\nLI"},
          {PortWait::Timeout, ""},
          {PortWait::Data, "NE y\r\nLINE z\r\n"},
          {PortWait::Data, "HELLO 4\r\nBYE\r\n"}},
         {true, true, true, true, true},
         {"serial number is 3", "timeout", "transfer aborted", "invalid command",
          "serial number is 4", "transfered 0 lines", "transfer complete", "terminated"},
         "\x06\x06\x15\x06\x06",
         {"4/251214-025417.csv"},
         false},
        {"unplugged while waiting",
         {{PortWait::Data, "HELLO 5\r\nLINE x\r\n"}, {PortWait::StartFailed, ""}},
         {true, false},
         {"serial number is 5", "hardware removed", "terminated", "transfer aborted"},
         "\x06\x06",
         {},
         true},
        {"the wait fails",
         {{PortWait::Failed, "", 22}},
         {false},
         {"error 22", "terminated"},
         "",
         {},
         true},
        // The listener joins every worker when it stops, so a stopped one does not report.
        {"stopped in a transfer",
         {{PortWait::Data, "HELLO 8\r\nLINE x\r\n"}, {PortWait::Stop, ""}},
         {true, false},
         {"serial number is 8", "closed on shutdown", "terminated", "transfer aborted"},
         "\x06\x06",
         {},
         false},
    };
    for (const auto& c : cases) {
        ScratchDataFolder data;
        RecordingLog log;
        RecordingNotifier notifier;
        FixedClock clock(1765680857);
        data.store.clock = &clock;
        RecordingListener listener(data.store);
        platform::Event stop;
        auto port = std::make_unique<FakeSerialPort>(true, c.script);
        FakeSerialPort* fake = port.get();
        CUsbWorker worker(&listener, &stop, data.store, {5, "COM5", "\\\\.\\COM5"},
                          std::move(port));
        worker.Open();
        std::vector<bool> results;
        for (std::size_t i = 0; i < c.script.size(); ++i) {
            results.push_back(worker.Run());
        }
        worker.Close();

        std::vector<std::string> expected = {"Connection COM5 listening\n"};
        for (const auto& line : c.log) {
            expected.push_back("Connection COM5 " + line + "\n");
        }
        EXPECT_EQ(log.Lines(), expected) << c.what;
        EXPECT_EQ(results, c.results) << c.what;
        EXPECT_EQ(fake->written, c.written) << c.what;
        EXPECT_EQ(fake->openedPath, "\\\\.\\COM5") << c.what;
        EXPECT_EQ(data.Files(), c.files) << c.what;
        for (const std::size_t size : fake->readSizes) {
            EXPECT_LE(size, 1024u) << c.what;
        }
        EXPECT_EQ(listener.Reported(),
                  c.reported ? std::vector<std::int32_t>{5} : std::vector<std::int32_t>{})
            << c.what;
        ASSERT_GE(notifier.Notices().size(), 2u) << c.what;
        EXPECT_EQ(notifier.Notices().front(), (RecordedNotice{"Device Connected", "COM5", ""}))
            << c.what;
        EXPECT_EQ(notifier.Notices().back(), (RecordedNotice{"Device Disconnected", "COM5", ""}))
            << c.what;
    }
}

// A port that does not open (held elsewhere) is retried by a new worker: the worker reports
// itself finished after a pause, unless the receiver is stopped during it.
TEST(UsbWorker, APortThatDoesNotOpenIsRetriedByANewWorker) {
    RecordingLog log;
    RecordingNotifier notifier;
    const StoreConfig store;
    RecordingListener listener(store);
    platform::Event stop;
    for (const bool stopped : {true, false}) {
        if (stopped) {
            stop.Set();
        } else {
            stop.Reset();
        }
        CUsbWorker worker(&listener, &stop, store, {7, "COM7", "\\\\.\\COM7"},
                          std::make_unique<FakeSerialPort>(false, std::vector<PortStep>{}));
        worker.Open();
        EXPECT_FALSE(worker.Run());
        worker.Close();
        EXPECT_EQ(listener.Reported(),
                  stopped ? std::vector<std::int32_t>{} : std::vector<std::int32_t>{7});
    }
    const std::vector<std::string> once = {"Connection COM7 listening\n",
                                           "Connection COM7 could not open port\n",
                                           "Connection COM7 terminated\n"};
    std::vector<std::string> twice = once;
    twice.insert(twice.end(), once.begin(), once.end());
    EXPECT_EQ(log.Lines(), twice);
    EXPECT_TRUE(notifier.Notices().empty());
}

}  // namespace
