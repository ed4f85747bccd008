// The Windows serial code against Wine's own SetupAPI and COM port driver. run-com-tests.sh
// prepares the Wine side and runs this program; on its own it has nothing to talk to.
//
// The fake devices it registers, all under HKLM\System\CurrentControlSet\Enum:
//   USB\VID_10C4&PID_EA60\0001  Ports class  "Silicon Labs CP210x USB to UART Bridge (COM5)"
//   USB\VID_10C4&PID_EA60\0002  Ports class  "Silicon Labs CP210x USB to UART Bridge"
//   USB\VID_10C4&PID_EA60\0003  USB class    "Silicon Labs CP210x USB to UART Bridge (COM9)"
//   USB\VID_10C4&PID_EA60\0004  Ports class  no friendly name
//   ACPI\PNP0501\1              Ports class  "Communications Port (COM1)"
// COM5 is a pty whose far end instrument.sh plays.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fakes/RecordingSinks.h"
#include "fakes/ScratchFolder.h"
#include "link/Listener.h"
#include "link/UsbWorker.h"
#include "platform/Event.h"
#include "platform/FileSystem.h"
#include "platform/PortEnumeration.h"
#include "platform/SerialPort.h"

namespace {

constexpr std::int64_t kDec14 = 1765680857;  // 2025-12-14 02:54:17 UTC

// A path the driver script hands over, already in Windows form.
std::string ScriptPath(const char* variable) {
    const char* value = std::getenv(variable);
    return value == nullptr ? std::string() : std::string(value);
}

bool Eventually(const std::function<bool()>& done,
                std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return done();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
    for (const auto& each : lines) {
        if (each == line) {
            return true;
        }
    }
    return false;
}

bool HasNotice(const RecordingNotifier& notifier, const std::string& title) {
    for (const auto& notice : notifier.Notices()) {
        if (notice.title == title) {
            return true;
        }
    }
    return false;
}

// The log so far, for failure messages.
std::string LogSoFar(const RecordingLog& log) {
    const std::vector<std::string> lines = log.Lines();
    std::string text = "log:\n";
    for (const auto& line : lines) {
        text += "  " + line;
    }
    // Wine gives up a wait on a pty at once unless the modem lines can be read.
    if (Contains(lines, "Connection COM5 error 995\n")) {
        text += "(a cancelled wait: was tiocmget_shim.so preloaded into Wine?)\n";
    }
    return text;
}

bool ReadWholeFile(const std::string& path, std::string* bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

TEST(WineComPorts, TheScanListsTheNumberedCp210xPortAndNothingElse) {
    const std::vector<platform::PortInfo> ports = platform::PortScanner().Present();
    ASSERT_EQ(ports.size(), 1u) << "are the fake devices registered (run-com-tests.sh)?";
    EXPECT_EQ(ports[0].number, 5);
    EXPECT_EQ(ports[0].name, "COM5");
    EXPECT_EQ(ports[0].path, "\\\\.\\COM5");
}

// Everything the worker's thread touches. It lives on the heap so that a worker that never ends
// can be reported and left to the process's exit, rather than destroyed under a running thread.
struct WorkerRig {
    ScratchDataFolder data;
    RecordingLog log;
    RecordingNotifier notifier;
    FixedClock clock{kDec14};
    RecordingListener listener{data.store};
    platform::Event stop;
    CUsbWorker worker{
        &listener, &stop, data.store, {5, "COM5", "\\\\.\\COM5"}, platform::MakeSerialPort()};
    std::atomic<bool> ended{false};
    std::thread thread;

    // As the listener runs a worker.
    void Start() {
        data.store.clock = &clock;
        thread = std::thread([this] {
            worker.Open();
            while (worker.Run()) {
            }
            worker.Close();
            ended = true;
        });
    }
};

// Asks the worker to stop and joins it. A worker still running after the limit is given up:
// the rig is released to the process's exit, and the answer is false.
bool StopWorker(std::unique_ptr<WorkerRig>& rig) {
    rig->stop.Set();
    if (!Eventually([&] { return rig->ended.load(); }, std::chrono::seconds(10))) {
        rig->thread.detach();
        static_cast<void>(rig.release());
        return false;
    }
    rig->thread.join();
    return true;
}

// A real worker on its own thread, through Wine's serial driver to a native process at the
// other end of a pty: waits that time out and waits that see characters arrive, reads of only
// what is queued, the overlapped writes of the answers, and a stop during a wait.
TEST(WineComPorts, AWorkerReceivesAWholeTransferAndStops) {
    const std::string ready = ScriptPath("ORBTRAY_COM_READY");
    const std::string record = ScriptPath("ORBTRAY_COM_RECORD");
    ASSERT_FALSE(ready.empty() || record.empty()) << "run through tests/wine/run-com-tests.sh";

    auto rig = std::make_unique<WorkerRig>();
    rig->Start();
    // Whatever fails below, the worker is stopped before the test ends.
    struct StopOnExit {
        std::unique_ptr<WorkerRig>& rig;
        ~StopOnExit() {
            if (rig && rig->thread.joinable() && !StopWorker(rig)) {
                ADD_FAILURE() << "the worker did not end after the stop request";
            }
        }
    } stopOnExit{rig};

    ASSERT_TRUE(Eventually([&] {
        return HasNotice(rig->notifier, "Device Connected") ||
               Contains(rig->log.Lines(), "Connection COM5 could not open port\n");
    }));
    ASSERT_TRUE(HasNotice(rig->notifier, "Device Connected")) << "COM5 did not open";
    // A port waits idle between transfers, its wait timing out and starting again every five
    // seconds; the transfer must arrive through a wait started after such a time-out.
    std::this_thread::sleep_for(std::chrono::seconds(6));
    ASSERT_FALSE(rig->ended.load()) << "the worker gave up its idle port; " << LogSoFar(rig->log);
    // Only now may the instrument start: the port is open and its settings are applied.
    std::ofstream(ready, std::ios::binary).put('\n');

    std::string answers;
    ASSERT_TRUE(Eventually([&] { return ReadWholeFile(record, &answers); }))
        << "the instrument did not finish its transfer; " << LogSoFar(rig->log);
    ASSERT_TRUE(Eventually([&] {
        return Contains(rig->log.Lines(), "Connection COM5 transfer complete\n");
    })) << LogSoFar(rig->log);
    // The worker is waiting on the idle port now: the stop has to end that wait.
    ASSERT_TRUE(StopWorker(rig)) << "the worker did not end after the stop request";

    // One ACK for each of the five lines, and not a byte more.
    EXPECT_EQ(answers, std::string(5, '\x06'));
    EXPECT_EQ(rig->data.Files(), (std::vector<std::string>{"77/251214-025417.csv"}));
    EXPECT_EQ(rig->data.Read("77/251214-025417.csv"), "1,2\r\n3,4\r\n5,6\r\n");
    EXPECT_EQ(rig->log.Lines(), (std::vector<std::string>{
                                    "Connection COM5 listening\n",
                                    "Connection COM5 serial number is 77\n",
                                    "Connection COM5 transfered 3 lines\n",
                                    "Connection COM5 transfer complete\n",
                                    "Connection COM5 closed on shutdown\n",
                                    "Connection COM5 terminated\n",
                                }));
    const std::string stored =
        rig->data.Path() + "77" + platform::kPathSeparator + "251214-025417.csv";
    EXPECT_EQ(rig->notifier.Notices(),
              (std::vector<RecordedNotice>{{"Device Connected", "COM5", ""},
                                           {"File Received", "Device 77 sent 3 readings.", stored},
                                           {"Device Disconnected", "COM5", ""}}));
    // Stopped from outside, the worker leaves the listener nothing to reap.
    EXPECT_TRUE(rig->listener.Reported().empty());
}

}  // namespace
