// The serial worker's ends that neither a pty nor Wine's COM driver can produce on demand: a wait
// that fails with an OS error, a stop during the pause after a port that did not open, and a
// port the user may not open (root, as the tests run in CI, may open any). Data,
// silence, loss of the device and a stop are shown by the real orbtray (integration/SerialTest)
// and the Windows worker over a COM port (wine/ComPortTest).

#include <gtest/gtest.h>

#include <algorithm>

#include "fakes/Loopback.h"
#include "fakes/RecordingSinks.h"
#include "link/Listener.h"
#include "link/UsbListener.h"
#include "link/UsbWorker.h"
#include "platform/Event.h"
#include "platform/FileSystem.h"

namespace {

using platform::PortOpen;

// Opens as told; every wait then fails with error 22. A refusal names the group "dialout".
class FailingPort final : public platform::SerialPort {
public:
    explicit FailingPort(PortOpen outcome) : outcome_(outcome) {}
    PortOpen Open(const std::string&) override {
        open_ = outcome_ == PortOpen::Opened;
        return outcome_;
    }
    std::string DeniedGroup() const override { return "dialout"; }
    bool IsOpen() const override { return open_; }
    platform::PortWait WaitForData(const platform::Event&, int, int* error) override {
        *error = 22;
        return platform::PortWait::Failed;
    }
    std::size_t Read(char*, std::size_t) override { return 0; }
    platform::PortWrite Write(const char*, std::size_t, const platform::Event&, int*) override {
        return platform::PortWrite::Done;
    }
    void Close() override { open_ = false; }

private:
    PortOpen outcome_;
    bool open_ = false;
};

TEST(UsbWorker, EndsWithoutDataAndReportsOnlyWhenNotStopped) {
    const struct {
        const char* what;
        PortOpen opens;
        bool stopped;
        std::string logged;  // between "listening" and "terminated"
        bool reported;       // so that the listener makes a new worker for the port
    } cases[] = {
        {"the wait fails", PortOpen::Opened, false, "error 22", true},
        // The listener joins every worker when it stops, so a stopped one must not report.
        {"no open, stopped in the pause", PortOpen::Failed, true, "could not open port", false},
        {"no permission", PortOpen::Denied, true,
         "cannot open port: permission denied; add your user to the group dialout", false},
    };
    for (const auto& c : cases) {
        RecordingLog log;
        const StoreConfig store;
        RecordingListener listener(store);
        platform::Event stop;
        if (c.stopped) {
            stop.Set();
        }
        CUsbWorker worker(&listener, &stop, store, {7, "COM7", "\\\\.\\COM7"},
                          std::make_unique<FailingPort>(c.opens));
        worker.Open();
        EXPECT_FALSE(worker.Run()) << c.what;
        worker.Close();
        EXPECT_EQ(log.Lines(), (std::vector<std::string>{"Connection COM7 listening\n",
                                                         "Connection COM7 " + c.logged + "\n",
                                                         "Connection COM7 terminated\n"}))
            << c.what;
        EXPECT_EQ(listener.Reported(),
                  c.reported ? std::vector<std::int32_t>{7} : std::vector<std::int32_t>{})
            << c.what;
    }
}

std::size_t CountOf(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<std::size_t>(std::ranges::count(lines, line));
}

// A port the user may not open is retried like any other, but the remedy is told once per
// plug-in: again after the port has gone and come back, never at every retry. Port A comes and
// goes; port B stays, and its retries show when the listener has scanned since A went.
TEST(UsbListener, ExplainsAPermissionRefusalOncePerPlugIn) {
    const ScratchFolder devices;
    const std::string pathA = devices.Path() + "ttyA";
    const std::string pathB = devices.Path() + "ttyB";
    if (platform::DescribePort(pathA).number == 0) {
        GTEST_SKIP() << "this platform serves COM ports only";
    }
    RecordingLog log;
    const StoreConfig store;
    UsbOptions options;
    options.scan = false;
    options.extraPorts = {pathA, pathB};
    options.scanPeriodMs = 2;
    options.retryPauseMs = 1;
    options.makePort = [](const platform::PortPlaces&) {
        return std::make_unique<FailingPort>(PortOpen::Denied);
    };
    CUsbListener listener(store, options);
    const std::string hint =
        "cannot open port: permission denied; add your user to the group dialout\n";
    const auto count = [&](const std::string& port, const std::string& what) {
        return CountOf(log.Lines(), "Connection " + port + " " + what);
    };
    devices.Write("ttyB", "");
    ASSERT_TRUE(listener.Start());
    constexpr std::size_t kPlugIns = 20;
    for (std::size_t plugIn = 1; plugIn <= kPlugIns; ++plugIn) {
        devices.Write("ttyA", "");
        const std::size_t tries = count("ttyA", "listening\n");
        ASSERT_TRUE(WaitUntil([&] { return count("ttyA", "listening\n") >= tries + 3; }));
        ASSERT_TRUE(platform::RemoveFile(pathA));
        // The second of B's workers begun after this was made by a scan that no longer saw A.
        const std::size_t scans = count("ttyB", "listening\n");
        ASSERT_TRUE(WaitUntil([&] { return count("ttyB", "listening\n") >= scans + 2; }));
        EXPECT_EQ(count("ttyA", hint), plugIn);
    }
    listener.Stop();
    EXPECT_EQ(count("ttyB", hint), 1u);
    // Every other refusal is the usual line; the retries did go on.
    for (const char* port : {"ttyA", "ttyB"}) {
        EXPECT_EQ(count(port, hint) + count(port, "could not open port\n"),
                  count(port, "listening\n"))
            << port;
        EXPECT_GT(count(port, "could not open port\n"), kPlugIns) << port;
    }
}

}  // namespace
