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

struct UsbCase {
    const char* what;
    std::vector<PortStep> script;
    int runs;                        // Run steps taken before Close
    std::vector<bool> results;       // what each Run returned
    std::vector<std::string> log;    // without the "Connection COM5 " prefix
    std::string written;             // bytes sent to the instrument
    std::vector<std::string> files;  // left in the Data folder
    bool reported;
};

TEST(UsbWorker, RunStepOutcomes) {
    const std::string burst =
        "HELLO 9\r\nLINE " + std::string(1500, 'b') + "\r\nLINE end\r\nBYE\r\n";
    const std::vector<UsbCase> cases = {
        {"a whole transfer, every line acknowledged",
         {{PortWait::Data, "HELLO 12\r\nLINE 1,2\r\n"}, {PortWait::Data, "BYE\r\n"}},
         2,
         {true, true},
         {"serial number is 12", "transfered 1 lines", "transfer complete", "terminated"},
         "\x06\x06\x06",
         {"12/251214-025417.csv"},
         false},
        {"a burst longer than one read",
         {{PortWait::Data, burst}},
         1,
         {true},
         {"serial number is 9", "transfered 2 lines", "transfer complete", "terminated"},
         "\x06\x06\x06\x06",
         {"9/251214-025417.csv"},
         false},
        {"a protocol failure keeps the port open",
         {{PortWait::Data, "HELLO 1\r\nhello\r\n"}, {PortWait::Data, "HELLO 2\r\nBYE\r\n"}},
         2,
         {true, true},
         {"serial number is 1", "invalid command", "transfer aborted", "serial number is 2",
          "transfered 0 lines", "transfer complete", "terminated"},
         "\x06\x15\x06\x06",
         {"2/251214-025417.csv"},
         false},
        {"silence during a transfer aborts it; the port is used again",
         {{PortWait::Data, "HELLO 3\r\nLINE x\r\nLI"},
          {PortWait::Timeout, ""},
          {PortWait::Data, "NE y\r\nLINE z\r\n"},
          {PortWait::Data, "HELLO 4\r\nBYE\r\n"}},
         4,
         {true, true, true, true},
         // The half line before the silence is gone: its rest is no command.
         {"serial number is 3", "timeout", "transfer aborted", "invalid command",
          "serial number is 4", "transfered 0 lines", "transfer complete", "terminated"},
         "\x06\x06\x15\x06\x06",
         {"4/251214-025417.csv"},
         false},
        {"silence while idle is nothing",
         {{PortWait::Timeout, ""}},
         1,
         {true},
         {"terminated"},
         "",
         {},
         false},
        {"unplugged while waiting",
         {{PortWait::Data, "HELLO 5\r\nLINE x\r\n"}, {PortWait::StartFailed, ""}},
         2,
         {true, false},
         {"serial number is 5", "hardware removed", "terminated", "transfer aborted"},
         "\x06\x06",
         {},
         true},
        {"the wait fails",
         {{PortWait::Failed, "", 22}},
         1,
         {false},
         {"error 22", "terminated"},
         "",
         {},
         true},
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
        for (int i = 0; i < c.runs; ++i) {
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
        const auto notices = notifier.Notices();
        ASSERT_GE(notices.size(), 2u) << c.what;
        EXPECT_EQ(notices.front(), (RecordedNotice{"Device Connected", "COM5", ""})) << c.what;
        EXPECT_EQ(notices.back(), (RecordedNotice{"Device Disconnected", "COM5", ""})) << c.what;
    }
}

TEST(UsbWorker, StopEndsTheTransferInOrderWithoutReporting) {
    ScratchDataFolder data;
    RecordingLog log;
    RecordingNotifier notifier;
    RecordingListener listener(data.store);
    platform::Event stop;
    auto port = std::make_unique<FakeSerialPort>(
        true, std::vector<PortStep>{{PortWait::Data, "HELLO 8\r\nLINE x\r\n"}});
    CUsbWorker worker(&listener, &stop, data.store, {5, "COM5", "\\\\.\\COM5"}, std::move(port));
    worker.Open();
    EXPECT_TRUE(worker.Run());
    stop.Set();
    EXPECT_FALSE(worker.Run());
    worker.Close();
    const auto lines = log.Lines();
    EXPECT_EQ(std::vector<std::string>(lines.end() - 3, lines.end()),
              (std::vector<std::string>{"Connection COM5 closed on shutdown\n",
                                        "Connection COM5 terminated\n",
                                        "Connection COM5 transfer aborted\n"}));
    EXPECT_TRUE(data.Files().empty());
    EXPECT_TRUE(listener.Reported().empty());
}

TEST(UsbWorker, APortThatDoesNotOpenIsRetriedByANewWorker) {
    RecordingLog log;
    RecordingNotifier notifier;
    const StoreConfig store;
    RecordingListener listener(store);
    platform::Event stop;
    // Stopped during the pause: ends without a report.
    {
        stop.Set();
        CUsbWorker worker(&listener, &stop, store, {7, "COM7", "\\\\.\\COM7"},
                          std::make_unique<FakeSerialPort>(false, std::vector<PortStep>{}));
        worker.Open();
        EXPECT_FALSE(worker.Run());
        worker.Close();
        EXPECT_TRUE(listener.Reported().empty());
    }
    // Left alone: after the pause it reports, so the listener can reap it and try again.
    stop.Reset();
    CUsbWorker worker(&listener, &stop, store, {7, "COM7", "\\\\.\\COM7"},
                      std::make_unique<FakeSerialPort>(false, std::vector<PortStep>{}));
    worker.Open();
    EXPECT_FALSE(worker.Run());
    worker.Close();
    EXPECT_EQ(listener.Reported(), std::vector<std::int32_t>{7});
    const std::vector<std::string> once = {"Connection COM7 listening\n",
                                           "Connection COM7 could not open port\n",
                                           "Connection COM7 terminated\n"};
    std::vector<std::string> twice = once;
    twice.insert(twice.end(), once.begin(), once.end());
    EXPECT_EQ(log.Lines(), twice);
    EXPECT_TRUE(notifier.Notices().empty());
}

}  // namespace
