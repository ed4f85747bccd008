// The Windows serial code against Wine's own SetupAPI and COM port driver. run-com-tests.sh
// prepares the Wine side (fake devices in the registry, of which only COM5 is a numbered CP210x
// port, and COM5 as a pty whose far end instrument.sh plays) and runs this program; on its own
// it has nothing to talk to.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "fakes/Loopback.h"
#include "fakes/RecordingSinks.h"
#include "fakes/ScratchFolder.h"
#include "link/UsbListener.h"
#include "link/UsbWorker.h"
#include "platform/Event.h"
#include "platform/FileSystem.h"
#include "platform/PortEnumeration.h"
#include "platform/SerialPort.h"

namespace {

using namespace std::chrono_literals;

bool Logged(const RecordingEvents& log, const std::string& line) {
    const std::vector<std::string> lines = log.Lines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// The log so far, for failure messages.
std::string LogSoFar(const RecordingEvents& log) {
    // Wine gives up a wait on a pty at once unless the modem lines can be read.
    const bool cancelled = Logged(log, "Connection COM5 error 995\n");
    return "log: " + ::testing::PrintToString(log.Lines()) +
           (cancelled ? "\n(a cancelled wait: was tiocmget_shim.so preloaded into Wine?)" : "");
}

// A port named in the setting IgnorePorts ("COM3;COM7", any letter case) is never opened, though
// the scan finds it every time. First, so that the instrument's port is still untouched if it
// fails.
TEST(WineComPorts, APortInTheIgnoreListIsNeverOpened) {
    const StoreConfig store;
    RecordingEvents log;
    RecordingEvents& notifier = log;
    UsbOptions options;
    options.ignorePorts = SplitPortList(" com3 ;;COM5; ");
    EXPECT_EQ(options.ignorePorts, (std::vector<std::string>{"com3", "COM5"}));
    // The scan does see the port: nothing below may pass for want of one.
    ASSERT_EQ(platform::PortScanner().Present().size(), 1u) << "are the fake devices registered?";
    options.scanPeriodMs = 20;
    CUsbListener listener(log.Context(store), options);
    ASSERT_TRUE(listener.Start());
    std::this_thread::sleep_for(1s);
    listener.Stop();
    EXPECT_EQ(log.Lines(), std::vector<std::string>{});
    EXPECT_EQ(notifier.Notices(), std::vector<RecordedNotice>{});
}

// The scan lists the numbered CP210x port and nothing else; a real worker on it, on its own thread,
// through Wine's serial driver to a native process at the other end of a pty: waits that time out
// and waits that see characters arrive, reads of only what is queued, the overlapped writes of the
// answers, and a stop during a wait.
TEST(WineComPorts, AWorkerOnTheScannedPortReceivesAWholeTransferAndStops) {
    const char* ready = std::getenv("ORBTRAY_COM_READY");
    const char* record = std::getenv("ORBTRAY_COM_RECORD");
    ASSERT_TRUE(ready != nullptr && record != nullptr) << "run through tests/wine/run-com-tests.sh";
    const std::vector<platform::PortInfo> ports = platform::PortScanner().Present();
    ASSERT_EQ(ports.size(), 1u) << "are the fake devices registered?";
    EXPECT_EQ(ports[0].number, 5);
    EXPECT_EQ(ports[0].name, "COM5");
    EXPECT_EQ(ports[0].path, "\\\\.\\COM5");

    ScratchDataFolder data;
    RecordingEvents log;
    RecordingEvents& notifier = log;
    FixedClock clock(1765680857);  // 2025-12-14 02:54:17 UTC
    data.store.clock = &clock;
    RecordingListener listener(log.Context(data.store));
    platform::Event stop;
    CUsbWorker worker(&listener, &stop, log.Context(data.store), ports[0],
                      platform::MakeSerialPort());
    std::atomic<bool> ended{false};
    // As the listener runs a worker; whatever fails below, it is stopped before the test ends.
    struct Runner {
        platform::Event& stop;
        std::atomic<bool>& ended;
        std::thread thread;
        bool Stop() {
            stop.Set();
            return WaitUntil([&] { return ended.load(); }, 10s);
        }
        ~Runner() {
            if (!Stop()) {
                // It cannot be destroyed under its running thread: end the process instead.
                std::printf("the worker did not end after the stop request\n");
                std::fflush(stdout);
                std::_Exit(1);
            }
            thread.join();
        }
    } runner{stop, ended, std::thread([&] {
                 worker.Open();
                 while (worker.Run()) {
                 }
                 worker.Close();
                 ended = true;
             })};

    // A port that does not open ends the worker.
    ASSERT_TRUE(WaitUntil([&] { return !notifier.Notices().empty() || ended.load(); }, 30s));
    ASSERT_FALSE(notifier.Notices().empty()) << "COM5 did not open; " << LogSoFar(log);
    // A port waits idle between transfers, its wait timing out and starting again every five
    // seconds; the transfer must arrive through a wait started after such a time-out.
    std::this_thread::sleep_for(6s);
    ASSERT_FALSE(ended.load()) << "the worker gave up its idle port; " << LogSoFar(log);
    // Only now may the instrument start: the port is open and its settings are applied.
    std::ofstream(ready, std::ios::binary).put('\n');

    std::ifstream answers;
    ASSERT_TRUE(
        WaitUntil([&] { return answers.open(record, std::ios::binary), answers.is_open(); }, 30s))
        << "the instrument did not finish its transfer; " << LogSoFar(log);
    ASSERT_TRUE(WaitUntil([&] { return Logged(log, "Connection COM5 transfer complete\n"); }, 30s))
        << LogSoFar(log);
    // The worker is waiting on the idle port now: the stop has to end that wait.
    ASSERT_TRUE(runner.Stop()) << "the worker did not end after the stop request";

    // One ACK for each of the five lines, and not a byte more.
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(answers), {}), std::string(5, '\x06'));
    EXPECT_EQ(data.Files(), (std::vector<std::string>{"77/251214-025417.csv"}));
    EXPECT_EQ(data.Read("77/251214-025417.csv"), "1,2\r\n3,4\r\n5,6\r\n");
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{
                               "Connection COM5 listening\n",
                               "Connection COM5 serial number is 77\n",
                               "Connection COM5 transfered 3 lines\n",
                               "Connection COM5 transfer complete\n",
                               "Connection COM5 closed on shutdown\n",
                               "Connection COM5 terminated\n",
                           }));
    const std::string stored = data.Path() + "77" + platform::kPathSeparator + "251214-025417.csv";
    EXPECT_EQ(notifier.Notices(),
              (std::vector<RecordedNotice>{{"Device Connected", "COM5", ""},
                                           {"File Received", "Device 77 sent 3 readings.", stored},
                                           {"Device Disconnected", "COM5", ""}}));
    // Stopped from outside, the worker leaves the listener nothing to reap.
    EXPECT_TRUE(listener.Reported().empty());
}

}  // namespace
