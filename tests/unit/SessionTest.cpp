#include <gtest/gtest.h>

#include "fakes/RecordingSinks.h"

namespace {

constexpr char ACK = 0x06;
constexpr char NAK = 0x15;
using Lines = std::vector<std::string>;

struct SessionTest : ::testing::Test, ScratchWorker {};

TEST_F(SessionTest, RefusesWhatTheStateDoesNotAllow) {
    using enum TxState;
    const std::string N{NAK};
    const struct {
        const char* what;
        const char* setup;  // fed first, on the same link
        std::string input;
        bool serialLink;
        const char* log;   // the line written because of `input`
        std::string wire;  // bytes sent because of `input`
        TxState after;
    } cases[] = {
        {"lower case", "", "hello 1\n", true, "invalid command", N, Idle},
        {"empty line", "", "\r\n", true, "invalid command", N, Idle},
        {"leading blank", "", " HELLO 1\n", true, "invalid command", N, Idle},
        {"extra characters", "", "HELLO2 1\n", true, "invalid command", N, Idle},
        {"BYE when idle", "", "BYE\n", true, "unexpected command", N, Idle},
        {"ACK when idle", "", {ACK}, true, "unexpected ACK", "", Idle},
        {"NAK when idle", "", {NAK}, true, "unexpected NAK", "", Idle},
        {"ACK in a line", "HELLO 1\n", "LIN\006E x\n", true, "unexpected ACK", "", Receiving},
        {"NAK while receiving", "HELLO 1\n", {NAK}, true, "unexpected NAK", "", Receiving},
        {"HELLO again on TCP", "HELLO 1\n", "HELLO 2\n", false, "unexpected hello", N, Receiving},
        {"BOOT during a file on TCP", "HELLO 1\n", "BOOT\n", false, "unexpected boot", N,
         Receiving},
        {"BOOT without firmware", "", "BOOT\n", true, "cannot open firmware", N, Idle},
        {"over-long line", "HELLO 1\n", std::string(kMaxLineLength + 1, 'x'), true, "line too long",
         N, Receiving},
    };
    for (const auto& c : cases) {
        ScratchWorker r;
        EXPECT_TRUE(r.worker.Feed(c.setup, c.serialLink)) << c.what;
        const std::size_t logBefore = r.log.Lines().size();
        const std::size_t wireBefore = r.worker.wire.size();

        EXPECT_FALSE(r.worker.Feed(c.input, c.serialLink)) << c.what;

        const Lines lines = r.log.Lines();
        EXPECT_EQ(Lines(lines.begin() + long(logBefore), lines.end()), Lines{Com5Log(c.log)})
            << c.what;
        EXPECT_EQ(r.worker.wire.substr(wireBefore), c.wire) << c.what;
        EXPECT_EQ(r.worker.State(), c.after) << c.what;
        // A refusal never costs the transfer in progress its file.
        if (c.after == Receiving) {
            EXPECT_EQ(r.data.Files(), (Lines{"1/251214-025417.tmp"})) << c.what;
        }
    }
}

// Each ACK releases one piece; the whole sequence, and its end, is checked through the real
// orbtray (integration/SerialTest.cpp). Here: what may interrupt an update.
TEST_F(SessionTest, FirmwareLinesAreRefusedANakAbortsAndHelloOnSerialStartsOver) {
    const std::string longLine = std::string(300, 'L') + "\r\n";
    const std::string image = ":10000000AA\r\n" + longLine;
    ScratchFolder firmware;
    firmware.Write("fw.hex", image);
    data.store.firmwarePath = firmware.Path() + "fw.hex";
    EXPECT_TRUE(worker.Feed(std::string("BOOT now\n") + ACK + ACK));
    EXPECT_EQ(worker.wire, std::string{ACK} + ":040000A0000000005C\r\n:10000000AA\r\n" +
                               longLine.substr(0, 255));
    EXPECT_FALSE(worker.Feed("LINE x\n"));
    EXPECT_EQ(worker.State(), TxState::Updating);
    worker.wire.clear();
    // No retry: the refused piece is not sent again, nor anything after it.
    EXPECT_FALSE(worker.Feed({NAK, ACK}));
    EXPECT_EQ(worker.wire, "");
    EXPECT_EQ(worker.State(), TxState::Idle);
    EXPECT_EQ(log.Lines(), (Lines{Com5Log("firmware update"), Com5Log("unexpected command"),
                                  Com5Log("transfer aborted")}));

    EXPECT_TRUE(worker.Feed("BOOT\n"));
    worker.wire.clear();
    EXPECT_TRUE(worker.Feed("HELLO 5\n"));
    EXPECT_EQ(worker.wire, std::string{ACK});
    EXPECT_EQ(worker.State(), TxState::Receiving);
    // The image is only read: not moved, not deleted, and no file is announced.
    EXPECT_EQ(firmware.Read("fw.hex"), image);
    EXPECT_TRUE(log.Notices().empty());
}

}  // namespace
