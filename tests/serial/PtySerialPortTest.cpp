#include <pty.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>

#include "platform/Event.h"
#include "platform/SerialPort.h"

namespace {

using platform::PortWait;

// A shutdown must not wait for a busy port to fall quiet, which a whole receiver would show only
// by chance; the rest of the port is checked through the real orbtray (integration/SerialTest).
// The test holds the master side of a pty; the port opens the slave by its path.
TEST(PtySerialPort, StopWinsOverWaitingDataAndLeavesItForTheNextWait) {
    int master = -1;
    int slave = -1;
    char name[256] = {};
    ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    ::close(slave);
    const std::unique_ptr<platform::SerialPort> port = platform::MakeSerialPort();
    ASSERT_EQ(port->Open(name), platform::PortOpen::Opened);
    ASSERT_EQ(::write(master, "x", 1), 1);

    platform::Event stop;
    int error = 0;
    ASSERT_EQ(port->WaitForData(stop, 2000, &error), PortWait::Data);
    stop.Set();
    EXPECT_EQ(port->WaitForData(stop, 2000, &error), PortWait::Stop);
    stop.Reset();
    char byte = 0;
    EXPECT_EQ(port->WaitForData(stop, 2000, &error), PortWait::Data);
    EXPECT_EQ(port->Read(&byte, 1), 1u);
    EXPECT_EQ(byte, 'x');
    port->Close();
    ::close(master);
}

}  // namespace
