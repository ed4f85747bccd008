#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/Event.h"
#include "platform/SerialPort.h"

namespace {

using platform::PortWait;

constexpr int kPatienceMs = 2000;

// The port's own waits, the loss of the device and exclusive opening, which a whole receiver
// shows only by chance. A pseudo-terminal pair stands in for an instrument: the test drives the
// master side, the port under test opens the slave by its path as it would open /dev/ttyUSB0.
// Raw bytes both ways are checked through the real orbtray (integration/SerialTest.cpp).
class PtySerialPortTest : public ::testing::Test {
protected:
    void SetUp() override { OpenPair(); }
    void TearDown() override {
        port_->Close();
        CloseMaster();
    }

    void OpenPair() {
        int slave = -1;
        char name[256] = {};
        ASSERT_EQ(::openpty(&master_, &slave, name, nullptr, nullptr), 0);
        // Only the port under test holds the slave, as only OrbTray holds a real port.
        ::close(slave);
        slavePath_ = name;
        ASSERT_TRUE(port_->Open(slavePath_));
    }

    void CloseMaster() {
        if (master_ >= 0) {
            ::close(master_);
            master_ = -1;
        }
    }

    void MasterWrite(const std::string& bytes) {
        ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // Waits and reads from `port` until `expected` bytes are in or it stops reporting data.
    std::string PortRead(platform::SerialPort& port, std::size_t expected, std::size_t piece) {
        std::string received;
        std::unique_ptr<char[]> buffer(new char[piece]);
        int error = 0;
        while (received.size() < expected) {
            const PortWait wait = port.WaitForData(stop_, kPatienceMs, &error);
            EXPECT_EQ(wait, PortWait::Data) << "after " << received.size() << " bytes";
            if (wait != PortWait::Data) {
                break;
            }
            const std::size_t n = port.Read(buffer.get(), piece);
            EXPECT_LE(n, piece);
            received.append(buffer.get(), n);
        }
        return received;
    }

    int master_ = -1;
    std::string slavePath_;
    platform::Event stop_;
    std::unique_ptr<platform::SerialPort> port_ = platform::MakeSerialPort();
};

TEST_F(PtySerialPortTest, StopWinsOverWaitingData) {
    int error = 0;
    MasterWrite("x");
    ASSERT_EQ(port_->WaitForData(stop_, kPatienceMs, &error), PortWait::Data);
    stop_.Set();
    EXPECT_EQ(port_->WaitForData(stop_, kPatienceMs, &error), PortWait::Stop);
    stop_.Reset();
    // The data was left for the next wait, not consumed by the stop.
    EXPECT_EQ(PortRead(*port_, 1, 16), "x");
}

TEST_F(PtySerialPortTest, ReportsTheDeviceGoneOnceTheOtherSideCloses) {
    for (const char* bytes : {"", "unread tail"}) {
        SCOPED_TRACE(std::string("left behind: \"") + bytes + '"');
        if (!port_->IsOpen()) {
            ASSERT_NO_FATAL_FAILURE(OpenPair());
        }
        MasterWrite(bytes);
        CloseMaster();
        // Queued bytes may still be handed out first, but the loss must be reported within a
        // few waits rather than the port claiming data forever.
        PortWait wait = PortWait::Data;
        int error = 0;
        for (int attempt = 0; attempt < 3 && wait == PortWait::Data; ++attempt) {
            wait = port_->WaitForData(stop_, kPatienceMs, &error);
            char buffer[64];
            if (wait == PortWait::Data) {
                port_->Read(buffer, sizeof buffer);
            }
        }
        EXPECT_EQ(wait, PortWait::StartFailed);
        EXPECT_EQ(port_->WaitForData(stop_, kPatienceMs, &error), PortWait::StartFailed);
        port_->Close();
    }
}

// Two workers must never share a port: the second open fails and leaves the holder working.
TEST_F(PtySerialPortTest, IsHeldExclusivelyWhileOpen) {
    std::unique_ptr<platform::SerialPort> second = platform::MakeSerialPort();
    EXPECT_FALSE(second->Open(slavePath_));
    EXPECT_FALSE(second->IsOpen());
    EXPECT_FALSE(second->Open("/dev/orbtray-no-such-port"));
    MasterWrite("still mine");
    EXPECT_EQ(PortRead(*port_, 10, 64), "still mine");

    port_->Close();
    EXPECT_FALSE(port_->IsOpen());
    ASSERT_TRUE(second->Open(slavePath_));
    MasterWrite("now yours");
    EXPECT_EQ(PortRead(*second, 9, 64), "now yours");
}

}  // namespace
