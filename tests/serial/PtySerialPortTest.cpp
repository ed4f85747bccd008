#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "platform/Event.h"
#include "platform/SerialPort.h"

namespace {

using platform::PortWait;

constexpr int kPatienceMs = 2000;

// Every byte value, so that any line discipline left cooked (echo, CR/LF mapping, XON/XOFF,
// signal characters) shows up as a lost or changed byte.
std::string AllByteValues() {
    std::string bytes;
    for (int value = 0; value < 256; ++value) {
        bytes += static_cast<char>(value);
    }
    return bytes;
}

// A pseudo-terminal pair standing in for an instrument: the test drives the master side, the
// port under test opens the slave by its path as it would open /dev/ttyUSB0.
class PtySerialPortTest : public ::testing::Test {
protected:
    void SetUp() override { OpenPair(); }

    // A new pair, with the port under test open on its slave.
    void OpenPair() {
        int slave = -1;
        char name[256] = {};
        ASSERT_EQ(::openpty(&master_, &slave, name, nullptr, nullptr), 0);
        // Only the port under test holds the slave, as only OrbTray holds a real port.
        ::close(slave);
        slavePath_ = name;
        ASSERT_TRUE(port_->Open(slavePath_));
        ASSERT_TRUE(port_->IsOpen());
    }

    void TearDown() override {
        port_->Close();
        CloseMaster();
    }

    void MasterWrite(const std::string& bytes) {
        ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // What arrives at the master within the time limit, until `expected` bytes are in.
    std::string MasterRead(std::size_t expected) {
        std::string received;
        while (received.size() < expected) {
            pollfd entry{master_, POLLIN, 0};
            if (::poll(&entry, 1, kPatienceMs) != 1) {
                break;
            }
            char buffer[512];
            const ssize_t n = ::read(master_, buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            received.append(buffer, static_cast<std::size_t>(n));
        }
        return received;
    }

    // Waits and reads until `expected` bytes are in or the port stops reporting data.
    std::string PortReadAll(std::size_t expected, std::size_t pieceSize) {
        std::string received;
        std::unique_ptr<char[]> buffer(new char[pieceSize]);
        while (received.size() < expected) {
            int error = 0;
            const PortWait wait = port_->WaitForData(stop_, kPatienceMs, &error);
            EXPECT_EQ(wait, PortWait::Data) << "after " << received.size() << " bytes";
            if (wait != PortWait::Data) {
                break;
            }
            const std::size_t n = port_->Read(buffer.get(), pieceSize);
            EXPECT_LE(n, pieceSize);
            received.append(buffer.get(), n);
        }
        return received;
    }

    void CloseMaster() {
        if (master_ >= 0) {
            ::close(master_);
            master_ = -1;
        }
    }

    int master_ = -1;
    std::string slavePath_;
    platform::Event stop_;
    std::unique_ptr<platform::SerialPort> port_ = platform::MakeSerialPort();
};

TEST_F(PtySerialPortTest, TimesOutWhenNothingArrives) {
    const auto start = std::chrono::steady_clock::now();
    int error = 0;
    EXPECT_EQ(port_->WaitForData(stop_, 100, &error), PortWait::Timeout);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(90));
    char buffer[16];
    EXPECT_EQ(port_->Read(buffer, sizeof buffer), 0u);
}

TEST_F(PtySerialPortTest, ReadsExactlyTheBytesSentInPiecesNoLargerThanAsked) {
    std::string burst;
    for (int i = 0; i < 3000; ++i) {
        burst += static_cast<char>(i * 7 % 251);
    }
    const struct {
        const char* what;
        std::string bytes;
        std::size_t pieceSize;
    } cases[] = {
        {"every byte value", AllByteValues() + "\r\n", 1024},
        {"a burst larger than the buffer", burst, 1024},
        {"one byte per read", "ACK\x06\r\n", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        MasterWrite(c.bytes);
        EXPECT_EQ(PortReadAll(c.bytes.size(), c.pieceSize), c.bytes);
        // Nothing more than was sent.
        int error = 0;
        EXPECT_EQ(port_->WaitForData(stop_, 50, &error), PortWait::Timeout);
    }
}

TEST_F(PtySerialPortTest, WritesArriveUnchanged) {
    const std::string bytes = AllByteValues() + "\r\n\x06\x15";
    port_->Write(bytes.data(), bytes.size());
    EXPECT_EQ(MasterRead(bytes.size()), bytes);
    // The port does not echo what the instrument sends back to it.
    MasterWrite("x\r\n");
    EXPECT_EQ(PortReadAll(3, 16), "x\r\n");
    pollfd entry{master_, POLLIN, 0};
    EXPECT_EQ(::poll(&entry, 1, 50), 0);
}

TEST_F(PtySerialPortTest, StopWinsOverWaitingData) {
    int error = 0;
    stop_.Set();
    EXPECT_EQ(port_->WaitForData(stop_, kPatienceMs, &error), PortWait::Stop);
    stop_.Reset();

    MasterWrite("x");
    ASSERT_EQ(port_->WaitForData(stop_, kPatienceMs, &error), PortWait::Data);
    stop_.Set();
    EXPECT_EQ(port_->WaitForData(stop_, kPatienceMs, &error), PortWait::Stop);
    stop_.Reset();
    // The data was left for the next wait, not consumed by the stop.
    EXPECT_EQ(PortReadAll(1, 16), "x");
}

TEST_F(PtySerialPortTest, ReportsTheDeviceGoneOnceTheOtherSideCloses) {
    const char* leftBehind[] = {"", "unread tail"};
    for (const char* bytes : leftBehind) {
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

TEST_F(PtySerialPortTest, IsHeldExclusivelyWhileOpen) {
    std::unique_ptr<platform::SerialPort> second = platform::MakeSerialPort();
    EXPECT_FALSE(second->Open(slavePath_));
    EXPECT_FALSE(second->IsOpen());

    // The refused open leaves the holder working.
    MasterWrite("still mine");
    EXPECT_EQ(PortReadAll(10, 64), "still mine");

    port_->Close();
    EXPECT_FALSE(port_->IsOpen());
    ASSERT_TRUE(second->Open(slavePath_));
    MasterWrite("now yours");
    std::string received;
    char buffer[64];
    int error = 0;
    while (received.size() < 9 &&
           second->WaitForData(stop_, kPatienceMs, &error) == PortWait::Data) {
        received.append(buffer, second->Read(buffer, sizeof buffer));
    }
    EXPECT_EQ(received, "now yours");
}

TEST(SerialPort, DoesNotOpenAMissingDevice) {
    std::unique_ptr<platform::SerialPort> port = platform::MakeSerialPort();
    EXPECT_FALSE(port->Open("/dev/orbtray-no-such-port"));
    EXPECT_FALSE(port->IsOpen());
}

}  // namespace
