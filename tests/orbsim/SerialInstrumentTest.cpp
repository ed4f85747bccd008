#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "Conversation.h"
#include "ScriptedPort.h"
#include "SerialInstrument.h"

namespace {

const std::string kA = "\x06";  // ACK
const std::string kN = "\x15";  // NAK
const std::string kRecord(orbsim::kBootStartRecord);

TEST(SerialSend, WaitsForEachAnswerAndStopsAtTheFirstBadOne) {
    const struct {
        const char* name;
        std::vector<Reply> replies;  // to HELLO, line 1, 2, 3, BYE
        std::string error;
        std::size_t writes;
    } cases[] = {
        {"all acknowledged", {{kA}, {kA}, {kA}, {kA}, {kA}}, "", 5},
        {"NAK after HELLO", {{kN}}, "NAK after HELLO (HELLO 42)", 1},
        {"NAK after line 2", {{kA}, {kA}, {kN}}, "NAK after line 2 (LINE b,2)", 3},
        {"silent after line 3", {{kA}, {kA}, {kA}}, "no answer within 750 ms after line 3", 4},
        {"silent after BYE", {{kA}, {kA}, {kA}, {kA}}, "no answer within 750 ms after BYE", 5},
        {"some other byte", {{kA}, {"A"}}, "unexpected answer 0x41 after line 1 (LINE a,1)", 2},
        {"two answers to one line",
         {{kA}, {kA}, {kA + kA}},
         "unexpected answer 0x06 0x06 after line 2 (LINE b,2)",
         3},
    };
    const std::vector<std::string_view> lines = orbsim::SplitLines("a,1\nb,2\nc,3\n");
    const std::vector<std::string> expectedWrites = {"HELLO 42\r\n", "LINE a,1\r\n", "LINE b,2\r\n",
                                                     "LINE c,3\r\n", "BYE\r\n"};
    for (const auto& c : cases) {
        ScriptedPort port(c.replies);
        std::string error;
        const bool sent = orbsim::SendTransferOverSerial(port, "42", lines, 750, &error);
        EXPECT_EQ(sent, c.error.empty()) << c.name;
        EXPECT_EQ(error, c.error) << c.name;
        const std::vector<std::string> expected(expectedWrites.begin(),
                                                expectedWrites.begin() + c.writes);
        EXPECT_EQ(port.writes, expected) << c.name;
        EXPECT_EQ(port.overtaken, 0) << c.name;
        EXPECT_EQ(port.waits.back(), 750) << c.name;
    }
}

TEST(SerialBoot, KeepsExactlyThePiecesTheReceiverSends) {
    const std::string full(orbsim::kMaxPieceBytes, 'x');
    const struct {
        const char* name;
        std::vector<Reply> replies;  // to BOOT, then to each ACK
        std::string image;
        std::size_t pieces;
        int gapWaits;  // pieces that could only be ended by silence
    } cases[] = {
        // The last piece has no line feed, so only silence can end it.
        {"three pieces, one of them split",
         {{kA, kRecord}, {"line1\r\n"}, {"ab", "c\n"}, {"last"}},
         "line1\r\nabc\nlast",
         3,
         2},
        {"a full piece is not waited on", {{kA + kRecord}, {full}, {"y\n"}}, full + "y\n", 2, 0},
        {"empty image", {{kA, kRecord}}, "", 0, 0},
    };
    for (const auto& c : cases) {
        ScriptedPort port(c.replies);
        orbsim::FirmwareImage image;
        std::string error;
        ASSERT_TRUE(orbsim::ReceiveFirmware(port, {300, 500, 50}, &image, &error))
            << c.name << ": " << error;
        EXPECT_EQ(image.bytes, c.image) << c.name;
        EXPECT_EQ(image.pieces, c.pieces) << c.name;
        std::vector<std::string> expected = {"BOOT\r\n"};
        expected.resize(c.pieces + 2, kA);
        EXPECT_EQ(port.writes, expected) << c.name;
        EXPECT_EQ(port.overtaken, 0) << c.name;
        // A piece ended by a line feed or by its size is acknowledged at once; a gap is only
        // waited out for the others, and the quiet time only at the end of the image.
        EXPECT_EQ(std::count(port.waits.begin(), port.waits.end(), 50), c.gapWaits) << c.name;
        EXPECT_EQ(port.waits.back(), 500) << c.name;
    }
}

TEST(SerialBoot, RefusalsSilenceAndProtocolBreaksAreErrors) {
    const struct {
        const char* name;
        std::vector<Reply> replies;
        std::string error;
    } cases[] = {
        {"refused", {{kN}}, "the receiver has no firmware to send (NAK after BOOT)"},
        {"silent", {}, "no answer to BOOT within 300 ms"},
        {"other answer", {{"?"}}, "unexpected answer 0x3F to BOOT"},
        {"no start record", {{kA}}, "no start record within 300 ms after the ACK to BOOT"},
        {"start record cut short", {{kA, ":0400"}}, "incomplete start record \":0400\""},
        {"wrong start record",
         {{kA, ":040000A0000000005D\r\n"}},
         "bad start record \":040000A0000000005D\\r\\n\" (expected "
         "\":040000A0000000005C\\r\\n\")"},
        {"start record without line end",
         {{kA, ":040000A0000000005C\r!"}},
         "bad start record \":040000A0000000005C\\r!\" (expected \":040000A0000000005C\\r\\n\")"},
        {"piece before the first ACK",
         {{kA, kRecord + "x"}},
         "the start record was followed by 0x78 before any ACK"},
        {"two lines for one ACK",
         {{kA, kRecord}, {"a\n"}, {"b\n\x01"}},
         "more than one piece after ACK 2: 3 bytes \"b\\n\\x01\""},
        {"piece over the maximum",
         {{kA, kRecord}, {std::string(256, 'z')}},
         "more than one piece after ACK 1: 256 bytes \"" + std::string(60, 'z') + "...\""},
    };
    for (const auto& c : cases) {
        ScriptedPort port(c.replies);
        orbsim::FirmwareImage image;
        std::string error;
        EXPECT_FALSE(orbsim::ReceiveFirmware(port, {300, 500, 50}, &image, &error)) << c.name;
        EXPECT_EQ(error, c.error) << c.name;
    }
}

}  // namespace
