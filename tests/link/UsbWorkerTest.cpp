// The serial worker's ends that neither a pty nor Wine's COM driver can produce on demand: a wait
// that fails with an OS error, and a stop during the pause after a port that did not open. Data,
// silence, loss of the device and a stop are shown by the real orbtray (integration/SerialTest)
// and the Windows worker over a COM port (wine/ComPortTest).

#include <gtest/gtest.h>

#include "fakes/RecordingSinks.h"
#include "link/Listener.h"
#include "link/UsbWorker.h"
#include "platform/Event.h"

namespace {

// Opens if told to; every wait then fails with error 22.
class FailingPort final : public platform::SerialPort {
public:
    explicit FailingPort(bool opens) : opens_(opens) {}
    bool Open(const std::string&) override { return open_ = opens_; }
    bool IsOpen() const override { return open_; }
    platform::PortWait WaitForData(const platform::Event&, int, int* error) override {
        *error = 22;
        return platform::PortWait::Failed;
    }
    std::size_t Read(char*, std::size_t) override { return 0; }
    void Write(const char*, std::size_t) override {}
    void Close() override { open_ = false; }

private:
    bool opens_;
    bool open_ = false;
};

TEST(UsbWorker, EndsWithoutDataAndReportsOnlyWhenNotStopped) {
    const struct {
        const char* what;
        bool opens;
        bool stopped;
        std::string logged;  // between "listening" and "terminated"
        bool reported;       // so that the listener makes a new worker for the port
    } cases[] = {
        {"the wait fails", true, false, "error 22", true},
        // The listener joins every worker when it stops, so a stopped one must not report.
        {"no open, stopped in the pause", false, true, "could not open port", false},
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

}  // namespace
