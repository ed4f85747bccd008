#include <gtest/gtest.h>

#include <memory>

#include "integration/TestPty.h"
#include "platform/Event.h"
#include "platform/SerialPort.h"

namespace {

using platform::PortWait;

// A shutdown must not wait for a busy port to fall quiet, which a whole receiver would show only
// by chance; the rest of the port is checked through the real orbtray (integration/SerialTest).
TEST(PtySerialPort, StopWinsOverWaitingDataAndLeavesItForTheNextWait) {
    const Pty pty(false);
    const std::unique_ptr<platform::SerialPort> port = platform::MakeSerialPort();
    ASSERT_EQ(port->Open(pty.slavePath), platform::PortOpen::Opened);
    ASSERT_NO_FATAL_FAILURE(Put(pty.master, "x"));

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
}

}  // namespace
