// The serial worker's ends that neither a pty nor Wine's COM driver can produce on demand: a wait
// that fails with an OS error, a stop during the pause after a port that did not open, and a
// port the user may not open (root, as the tests run in CI, may open any). Data,
// silence, loss of the device and a stop are shown by the real orbtray (integration/SerialTest)
// and the Windows worker over a COM port (wine/ComPortTest).

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <mutex>

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
class FailingPort : public platform::SerialPort {
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

protected:
    PortOpen outcome_;
    bool open_ = false;
};

TEST(UsbWorker, EndsWithoutDataAndReportsOnlyWhenNotStopped) {
    const struct {
        const char* what;
        PortOpen opens;
        bool stopped;
        std::vector<std::string> logged;  // after "Connection COM7 "
        bool reported;                    // so that the listener makes a new worker for the port
    } cases[] = {
        {"the wait fails", PortOpen::Opened, false, {"listening", "error 22", "terminated"}, true},
        // The listener joins every worker when it stops, so a stopped one must not report. A
        // port that never opened was never listened on, nor is it terminated.
        {"no open, stopped in the pause", PortOpen::Failed, true, {"could not open port"}, false},
    };
    for (const auto& c : cases) {
        RecordingEvents log;
        const StoreConfig store;
        RecordingListener listener(log.Context(store));
        platform::Event stop;
        if (c.stopped) {
            stop.Set();
        }
        CUsbWorker worker(&listener, &stop, log.Context(store), {7, "COM7", "\\\\.\\COM7"},
                          std::make_unique<FailingPort>(c.opens));
        worker.Open();
        EXPECT_FALSE(worker.Run()) << c.what;
        worker.Close();
        std::vector<std::string> expected;
        for (const std::string& line : c.logged) {
            expected.push_back("Connection COM7 " + line + "\n");
        }
        EXPECT_EQ(log.Lines(), expected) << c.what;
        EXPECT_EQ(listener.Reported(),
                  c.reported ? std::vector<std::int32_t>{7} : std::vector<std::int32_t>{})
            << c.what;
    }
}

// Opens as the port's script says, one entry per try, then as its last entry for ever; counts
// the tries by path. An open port's wait fails, so that the link ends and the port is tried
// again.
struct PortScripts {
    std::mutex mutex;
    std::map<std::string, std::vector<PortOpen>> script;
    std::map<std::string, std::size_t> tries;

    std::size_t Tries(const std::string& path) {
        std::lock_guard<std::mutex> lock(mutex);
        return tries[path];
    }
};

class ScriptedPort final : public FailingPort {
public:
    explicit ScriptedPort(PortScripts& scripts)
        : FailingPort(PortOpen::Failed), scripts_(scripts) {}
    PortOpen Open(const std::string& path) override {
        {
            std::lock_guard<std::mutex> lock(scripts_.mutex);
            const std::vector<PortOpen>& script = scripts_.script[path];
            const std::size_t at = scripts_.tries[path]++;
            outcome_ = script[std::min(at, script.size() - 1)];
        }
        return FailingPort::Open(path);
    }

private:
    PortScripts& scripts_;
};

// A port that cannot be opened (missing or forbidden; held by another program: the real orbtray's
// serial test) is retried by worker after worker, but the log says so once when it starts
// failing, not at every retry; once served it is news again. A port that comes and goes is told
// again at each plug-in: port A is plugged in anew each round, while port B stays and shows, by its
// tries, that the listener has scanned since A went.
TEST(UsbListener, APortThatCannotBeOpenedIsToldOnceUntilServedOrPluggedInAgain) {
    const ScratchFolder devices;
    if (platform::DescribePort(devices.Path() + "ttyA").number == 0) {
        GTEST_SKIP() << "this platform serves COM ports only";
    }
    constexpr std::size_t kFailures = 30;
    const struct {
        PortOpen outcome;
        const char* told;
    } cases[] = {
        {PortOpen::Failed, "could not open port"},
        {PortOpen::Denied,
         "cannot open port: permission denied; add your user to the group dialout"},
    };
    for (const auto& c : cases) {
        const std::string pathA = devices.Path() + "ttyA";
        const std::string pathB = devices.Path() + "ttyB";
        RecordingEvents log;
        const StoreConfig store;
        PortScripts scripts;
        // B fails, is served once, and fails again for ever.
        scripts.script[pathA] = {c.outcome};
        scripts.script[pathB] = std::vector<PortOpen>(kFailures, c.outcome);
        scripts.script[pathB].push_back(PortOpen::Opened);
        scripts.script[pathB].push_back(c.outcome);
        UsbOptions options;
        options.scan = false;
        options.extraPorts = {pathA, pathB};
        options.scanPeriodMs = 2;
        options.retryPauseMs = 1;
        options.makePort = [&](const platform::PortPlaces&) {
            return std::make_unique<ScriptedPort>(scripts);
        };
        CUsbListener listener(log.Context(store), options);
        // Both there before the first scan, which would otherwise find A missing.
        devices.Write("ttyA", "");
        devices.Write("ttyB", "");
        ASSERT_TRUE(listener.Start());
        constexpr std::size_t kPlugIns = 5;
        for (std::size_t plugIn = 1; plugIn <= kPlugIns; ++plugIn) {
            devices.Write("ttyA", "");
            const std::size_t tries = scripts.Tries(pathA);
            ASSERT_TRUE(WaitUntil([&] { return scripts.Tries(pathA) >= tries + 3; }));
            ASSERT_TRUE(platform::RemoveFile(pathA));
            // The second of B's tries begun after this was made by a scan that no longer saw A.
            const std::size_t scans = scripts.Tries(pathB);
            ASSERT_TRUE(WaitUntil([&] { return scripts.Tries(pathB) >= scans + 2; }));
        }
        ASSERT_TRUE(WaitUntil([&] { return scripts.Tries(pathB) >= 2 * kFailures; }));
        listener.Stop();
        const std::string told = std::string(c.told) + "\n";
        // A named port that goes is waited for, and said so once each time it goes.
        std::vector<std::string> expectedA;
        for (std::size_t plugIn = 0; plugIn < kPlugIns; ++plugIn) {
            expectedA.insert(expectedA.end(), {told, "waiting for " + pathA + "\n"});
        }
        EXPECT_EQ(LinesOf(log.Lines(), "ttyA"), expectedA) << c.told;
        EXPECT_EQ(
            LinesOf(log.Lines(), "ttyB"),
            (std::vector<std::string>{told, "listening\n", "error 22\n", "terminated\n", told}))
            << c.told;
        EXPECT_GE(scripts.Tries(pathA), 3 * kPlugIns);
    }
}

}  // namespace
