#include <gtest/gtest.h>

#include "fakes/RecordingSinks.h"

namespace {

constexpr char ACK = 0x06;
constexpr char NAK = 0x15;
using Lines = std::vector<std::string>;

std::string Log(const std::string& message) {
    return "Connection COM5 " + message + "\n";
}

struct SessionTest : ::testing::Test, ScratchWorker {};

// Whatever the link does to the chunking, a conversation must end the same way. The lines carry
// every kind of byte a line drops or keeps, so that no split can cut the filtering short.
TEST_F(SessionTest, ALineSplitAnywhereBehavesAsOneChunk) {
    const std::string conversation =
        "HELLO 123\r\nLINE\r\nLINE \r\nLINE  x\r\nLINE a~\x80\xff\x7f\t\x01,b\r\r\nLINE "
        "}!\r\nBYE\r\n";
    const std::string stored =
        "LINE\r\n\r\n x\r\na,b\r\n}!\r\n";  // "LINE" alone is its own argument
    std::vector<Lines> splits = {{conversation}};
    for (std::size_t at = 1; at < conversation.size(); ++at) {
        splits.push_back({conversation.substr(0, at), conversation.substr(at)});
    }
    splits.emplace_back();
    for (const char c : conversation) {
        splits.back().emplace_back(1, c);
    }

    for (const bool serialLink : {true, false}) {
        for (const auto& chunks : splits) {
            ScratchWorker r;
            for (const auto& chunk : chunks) {
                EXPECT_TRUE(r.worker.Feed(chunk, serialLink));
            }
            SCOPED_TRACE("chunks " + std::to_string(chunks.size()) + ", first " +
                         std::to_string(chunks[0].size()) + ", serial " +
                         std::to_string(serialLink));
            EXPECT_EQ(r.log.Lines(), (Lines{Log("serial number is 123"), Log("transfered 5 lines"),
                                            Log("transfer complete")}));
            // The session answers alike on both links; the TCP worker's hooks drop the bytes.
            EXPECT_EQ(r.worker.wire, std::string(7, ACK));
            EXPECT_EQ(r.data.Files(), (Lines{"123/251214-025417.csv"}));
            EXPECT_EQ(r.data.Read("123/251214-025417.csv"), stored);
            EXPECT_EQ(
                r.notifier.Notices(),
                (std::vector<RecordedNotice>{
                    {"File Received", "Device 123 sent 5 readings.",
                     r.data.Path() + "123" + platform::kPathSeparator + "251214-025417.csv"}}));
        }
    }
}

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
        {"LINE when idle", "", "LINE 1\n", true, "unexpected command", N, Idle},
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
        EXPECT_EQ(Lines(lines.begin() + long(logBefore), lines.end()), Lines{Log(c.log)}) << c.what;
        EXPECT_EQ(r.worker.wire.substr(wireBefore), c.wire) << c.what;
        EXPECT_EQ(r.worker.State(), c.after) << c.what;
        // A refusal never costs the transfer in progress its file.
        if (c.after == Receiving) {
            EXPECT_EQ(r.data.Files(), (Lines{"1/251214-025417.tmp"})) << c.what;
        }
    }
}

TEST_F(SessionTest, TheLineBoundIsExactly4096Bytes) {
    const std::string payload(kMaxLineLength - 5, 'd');  // "LINE " + payload fills the bound
    EXPECT_TRUE(worker.Feed("HELLO 1\nLINE " + payload + "\nBYE\n"));
    EXPECT_EQ(data.Read("1/251214-025417.csv"), payload + "\r\n");
}

TEST_F(SessionTest, HelloOnASerialLinkAbandonsTheOpenTransfer) {
    EXPECT_TRUE(worker.Feed("HELLO 1\nLINE old\n"));
    clock.Set(clock.UtcSeconds() + 1);
    EXPECT_TRUE(worker.Feed("HELLO 1\nLINE new\nBYE\n"));
    EXPECT_EQ(data.Files(), (Lines{"1/251214-025418.csv"}));
    EXPECT_EQ(data.Read("1/251214-025418.csv"), "new\r\n");
    EXPECT_EQ(log.Lines(),
              (Lines{Log("serial number is 1"), Log("transfer aborted"), Log("serial number is 1"),
                     Log("transfered 1 lines"), Log("transfer complete")}));
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
    EXPECT_EQ(log.Lines(),
              (Lines{Log("firmware update"), Log("unexpected command"), Log("transfer aborted")}));

    EXPECT_TRUE(worker.Feed("BOOT\n"));
    worker.wire.clear();
    EXPECT_TRUE(worker.Feed("HELLO 5\n"));
    EXPECT_EQ(worker.wire, std::string{ACK});
    EXPECT_EQ(worker.State(), TxState::Receiving);
    // The image is only read: not moved, not deleted, and no file is announced.
    EXPECT_EQ(firmware.Read("fw.hex"), image);
    EXPECT_TRUE(notifier.Notices().empty());
}

}  // namespace
