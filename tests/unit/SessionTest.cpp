#include <gtest/gtest.h>

#include "fakes/RecordingSinks.h"
#include "fakes/ScratchFolder.h"
#include "transfer/Store.h"

namespace {

constexpr char ACK = 0x06;
constexpr char NAK = 0x15;
constexpr std::int64_t kDec14 = 1765680857;  // 2025-12-14 02:54:17 UTC
const std::string kSep(1, platform::kPathSeparator);

class SessionTest : public ::testing::Test {
protected:
    SessionTest() { data.store.clock = &clock; }

    std::string Log(const std::string& message) { return "Connection COM5 " + message + "\n"; }

    FixedClock clock{kDec14};
    ScratchDataFolder data;
    RecordingLog log;
    RecordingNotifier notifier;
    TestWorker worker{data.store};
};

// Whatever the link does to the chunking, a conversation must end the same way.
TEST_F(SessionTest, ALineSplitAnywhereBehavesAsOneChunk) {
    const std::string conversation = "HELLO 123\r\nLINE a,b\r\nBYE\r\n";
    std::vector<std::vector<std::string>> splits = {{conversation}};
    for (std::size_t at = 1; at < conversation.size(); ++at) {
        splits.push_back({conversation.substr(0, at), conversation.substr(at)});
    }
    std::vector<std::string> byteByByte;
    for (const char c : conversation) {
        byteByByte.emplace_back(1, c);
    }
    splits.push_back(byteByByte);

    for (const bool serialLink : {true, false}) {
        for (const auto& chunks : splits) {
            ScratchDataFolder folder;
            folder.store.clock = &clock;
            RecordingLog chunkLog;
            RecordingNotifier chunkNotifier;
            TestWorker w(folder.store);
            for (const auto& chunk : chunks) {
                EXPECT_TRUE(w.Feed(chunk, serialLink));
            }
            const std::string trace = "chunks=" + std::to_string(chunks.size()) +
                                      " first=" + std::to_string(chunks[0].size()) +
                                      " serial=" + std::to_string(serialLink);
            EXPECT_EQ(chunkLog.Lines(), (std::vector<std::string>{Log("serial number is 123"),
                                                                  Log("transfered 1 lines"),
                                                                  Log("transfer complete")}))
                << trace;
            // The session answers alike on both links; the TCP worker's hooks drop the bytes.
            EXPECT_EQ(w.wire, std::string(3, ACK)) << trace;
            EXPECT_EQ(folder.Files(), (std::vector<std::string>{"123/251214-025417.csv"})) << trace;
            EXPECT_EQ(folder.Read("123/251214-025417.csv"), "a,b\r\n") << trace;
            EXPECT_EQ(
                chunkNotifier.Notices(),
                (std::vector<RecordedNotice>{{"File Received", "Device 123 sent 1 readings.",
                                              folder.Path() + "123" + kSep + "251214-025417.csv"}}))
                << trace;
        }
    }
}

struct RefusalCase {
    const char* what;
    const char* setup;  // fed first, on the same link
    std::string input;
    bool serialLink;
    std::vector<std::string> log;  // lines written by `input`, after the setup's
    std::string wire;              // bytes sent because of `input`
    TxState after;
};

TEST_F(SessionTest, RefusesWhatTheStateDoesNotAllow) {
    const std::string longLine(kMaxLineLength + 1, 'x');
    const std::vector<RefusalCase> cases = {
        {"lower case", "", "hello 1\n", true, {"invalid command"}, {NAK}, TxState::Idle},
        {"empty line", "", "\r\n", true, {"invalid command"}, {NAK}, TxState::Idle},
        {"leading blank", "", " HELLO 1\n", true, {"invalid command"}, {NAK}, TxState::Idle},
        {"extra characters", "", "HELLO2 1\n", true, {"invalid command"}, {NAK}, TxState::Idle},
        {"LINE when idle", "", "LINE 1\n", true, {"unexpected command"}, {NAK}, TxState::Idle},
        {"BYE when idle", "", "BYE\n", true, {"unexpected command"}, {NAK}, TxState::Idle},
        {"ACK when idle", "", {ACK}, true, {"unexpected ACK"}, "", TxState::Idle},
        {"NAK when idle", "", {NAK}, true, {"unexpected NAK"}, "", TxState::Idle},
        {"ACK inside a line",
         "HELLO 1\n",
         std::string("LIN") + ACK + "E x\n",
         true,
         {"unexpected ACK"},
         "",
         TxState::Receiving},
        {"NAK while receiving",
         "HELLO 1\n",
         {NAK},
         true,
         {"unexpected NAK"},
         "",
         TxState::Receiving},
        {"HELLO while receiving on TCP",
         "HELLO 1\n",
         "HELLO 2\n",
         false,
         {"unexpected hello"},
         {NAK},
         TxState::Receiving},
        {"BOOT while receiving on TCP",
         "HELLO 1\n",
         "BOOT\n",
         false,
         {"unexpected boot"},
         {NAK},
         TxState::Receiving},
        {"BOOT without firmware",
         "",
         "BOOT\n",
         true,
         {"cannot open firmware"},
         {NAK},
         TxState::Idle},
        {"over-long line",
         "HELLO 1\n",
         longLine,
         true,
         {"line too long"},
         {NAK},
         TxState::Receiving},
    };
    for (const auto& c : cases) {
        ScratchDataFolder folder;
        folder.store.clock = &clock;
        RecordingLog caseLog;
        TestWorker w(folder.store);
        EXPECT_TRUE(w.Feed(c.setup, c.serialLink)) << c.what;
        const std::size_t logBefore = caseLog.Lines().size();
        const std::size_t wireBefore = w.wire.size();

        EXPECT_FALSE(w.Feed(c.input, c.serialLink)) << c.what;

        const auto lines = caseLog.Lines();
        std::vector<std::string> written(lines.begin() + long(logBefore), lines.end());
        std::vector<std::string> expected;
        for (const auto& message : c.log) {
            expected.push_back(Log(message));
        }
        EXPECT_EQ(written, expected) << c.what;
        EXPECT_EQ(w.wire.substr(wireBefore), c.wire) << c.what;
        EXPECT_EQ(w.State(), c.after) << c.what;
        // A refusal never costs the transfer in progress its file.
        if (c.after == TxState::Receiving) {
            EXPECT_EQ(folder.Files(), (std::vector<std::string>{"1/251214-025417.tmp"})) << c.what;
        }
    }
}

TEST_F(SessionTest, TheLineBoundIsExactly4096Bytes) {
    const std::string payload(kMaxLineLength - 5, 'd');  // "LINE " + payload fills the bound
    EXPECT_TRUE(worker.Feed("HELLO 1\nLINE " + payload + "\nBYE\n"));
    EXPECT_EQ(data.Read("1/251214-025417.csv"), payload + "\r\n");
}

TEST_F(SessionTest, DataLinesKeepOnlyPrintableBytes) {
    const struct {
        std::string sent;
        std::string stored;
    } cases[] = {
        {"LINE", "LINE"},  // no blank: the command is its own argument
        {"LINE ", ""},
        {"LINE  x", " x"},
        {"LINE a~b", "ab"},
        {"LINE a\x80\xff\x7f"
         "b",
         "ab"},
        {"LINE a\tb\x01\r", "ab"},
        {"LINE x y  z", "x y  z"},
        {"LINE }!", "}!"},
    };
    std::string sent = "HELLO 9\n";
    std::string stored;
    for (const auto& c : cases) {
        sent += c.sent + "\n";
        stored += c.stored + "\r\n";
    }
    EXPECT_TRUE(worker.Feed(sent + "BYE\n"));
    EXPECT_EQ(data.Read("9/251214-025417.csv"), stored);
    EXPECT_EQ(notifier.Notices().at(0).text, "Device 9 sent 8 readings.");
}

TEST_F(SessionTest, BytesAfterByeAreDropped) {
    EXPECT_TRUE(worker.Feed("HELLO 1\nLINE x\nBYE\nHELLO 2\nLINE y\n"));
    EXPECT_EQ(data.Files(), (std::vector<std::string>{"1/251214-025417.csv"}));
    EXPECT_EQ(worker.State(), TxState::Idle);
    EXPECT_EQ(worker.wire, std::string(3, ACK));
}

TEST_F(SessionTest, HelloOnASerialLinkAbandonsTheOpenTransfer) {
    EXPECT_TRUE(worker.Feed("HELLO 1\nLINE old\n"));
    clock.Set(kDec14 + 1);
    EXPECT_TRUE(worker.Feed("HELLO 1\nLINE new\nBYE\n"));
    EXPECT_EQ(data.Files(), (std::vector<std::string>{"1/251214-025418.csv"}));
    EXPECT_EQ(data.Read("1/251214-025418.csv"), "new\r\n");
    EXPECT_EQ(log.Lines(),
              (std::vector<std::string>{Log("serial number is 1"), Log("transfer aborted"),
                                        Log("serial number is 1"), Log("transfered 1 lines"),
                                        Log("transfer complete")}));
}

TEST_F(SessionTest, CloseAbortsAnOpenTransferAndLeavesNoFile) {
    EXPECT_TRUE(worker.Feed("HELLO 77\nLINE 1\nLINE 2\nLINE 3\n"));
    worker.Close();
    EXPECT_EQ(data.Files(), std::vector<std::string>{});
    EXPECT_EQ(data.Directories(), (std::vector<std::string>{"77"}));
    EXPECT_EQ(log.Lines().back(), Log("transfer aborted"));
    worker.Close();  // nothing open any more: no second "aborted"
    EXPECT_EQ(log.Lines().back(), Log("terminated"));
    EXPECT_TRUE(notifier.Notices().empty());
}

// A firmware image, as the instrument receives it piece by piece.
class FirmwareUpdate : public SessionTest {
protected:
    FirmwareUpdate() {
        firmware.Write("fw.hex", image);
        data.store.firmwarePath = firmware.Path() + "fw.hex";
    }
    ScratchFolder firmware;
    const std::string longLine = std::string(300, 'L') + "\r\n";
    const std::string image = ":10000000AA\r\n" + longLine + "\n:00000001FF";
};

TEST_F(FirmwareUpdate, SendsOnePiecePerAckAndNothingAfterTheLast) {
    EXPECT_TRUE(worker.Feed("BOOT now\n"));
    EXPECT_EQ(worker.wire, std::string{ACK} + ":040000A0000000005C\r\n");
    const std::vector<std::string> pieces = {":10000000AA\r\n", longLine.substr(0, 255),
                                             longLine.substr(255), "\n", ":00000001FF"};
    for (const auto& piece : pieces) {
        worker.wire.clear();
        EXPECT_TRUE(worker.Feed({ACK}));
        EXPECT_EQ(worker.wire, piece);
    }
    worker.wire.clear();
    EXPECT_TRUE(worker.Feed({ACK}));
    EXPECT_EQ(worker.wire, "");
    EXPECT_EQ(worker.State(), TxState::Idle);
    EXPECT_EQ(log.Lines(),
              (std::vector<std::string>{Log("firmware update"), Log("transfered 6 lines"),
                                        Log("transfer complete")}));
    // The image is only read: not moved, not deleted, and no file is announced.
    EXPECT_EQ(firmware.Read("fw.hex"), image);
    EXPECT_TRUE(notifier.Notices().empty());
    EXPECT_TRUE(data.Files().empty());
}

TEST_F(FirmwareUpdate, AcksInOneChunkReleaseOnePieceEach) {
    EXPECT_TRUE(worker.Feed(std::string("BOOT\n") + ACK + ACK));
    EXPECT_EQ(worker.wire, std::string{ACK} + ":040000A0000000005C\r\n" + ":10000000AA\r\n" +
                               longLine.substr(0, 255));
}

TEST_F(FirmwareUpdate, NakAbortsWithoutRetry) {
    EXPECT_TRUE(worker.Feed(std::string("BOOT\n") + ACK));
    worker.wire.clear();
    EXPECT_FALSE(worker.Feed({NAK, ACK}));
    EXPECT_EQ(worker.wire, "");
    EXPECT_EQ(worker.State(), TxState::Idle);
    EXPECT_EQ(log.Lines().back(), Log("transfer aborted"));
    EXPECT_EQ(firmware.Read("fw.hex"), image);
}

TEST_F(FirmwareUpdate, LineDuringUpdateIsRefusedAndHelloOnSerialStartsOver) {
    EXPECT_TRUE(worker.Feed("BOOT\n"));
    EXPECT_FALSE(worker.Feed("LINE x\n"));
    EXPECT_EQ(worker.State(), TxState::Updating);
    worker.wire.clear();
    EXPECT_TRUE(worker.Feed("HELLO 5\n"));
    EXPECT_EQ(worker.wire, std::string{ACK});
    EXPECT_EQ(worker.State(), TxState::Receiving);
    EXPECT_EQ(firmware.Read("fw.hex"), image);
}

TEST_F(SessionTest, HexRecordsCarryTheTwosComplementChecksum) {
    const struct {
        std::vector<std::uint8_t> bytes;
        const char* text;
    } cases[] = {
        {{0x04, 0x00, 0x00, 0xA0, 0x00, 0x00, 0x00, 0x00}, ":040000A0000000005C\r\n"},
        {{0x00, 0x00, 0x00, 0x01}, ":00000001FF\r\n"},
        {{}, ":00\r\n"},
        {{0x02, 0x00, 0x00, 0x04, 0xFF, 0xFF}, ":02000004FFFFFC\r\n"},
        {{0x80, 0x80}, ":808000\r\n"},
    };
    for (const auto& c : cases) {
        worker.wire.clear();
        worker.SendHexRecord(c.bytes);
        EXPECT_EQ(worker.wire, c.text);
    }
}

}  // namespace
