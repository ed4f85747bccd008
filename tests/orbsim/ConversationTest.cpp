#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "Conversation.h"

namespace {

using orbsim::EncodeTransfer;
using orbsim::SplitLines;

TEST(Conversation, EncodesFilesAsOneTransfer) {
    const struct {
        const char* name;
        std::string_view contents;
        std::string_view expected;  // the whole transfer as serial "123"
    } cases[] = {
        // LF, CR LF, a missing last line end and blank lines are shown through orbtray
        // (integration/SerialTest); these are the cases it does not see.
        {"empty file", "", "HELLO 123\r\nBYE\r\n"},
        {"blank CR LF line", "\r\nx\n", "HELLO 123\r\nLINE \r\nLINE x\r\nBYE\r\n"},
        {"only the last CR goes", "a\r\r\n", "HELLO 123\r\nLINE a\r\r\nBYE\r\n"},
        {"inner CR and other bytes stay", "a\rb\t~\n", "HELLO 123\r\nLINE a\rb\t~\r\nBYE\r\n"},
        {"lone CR at the end", "a\r", "HELLO 123\r\nLINE a\r\nBYE\r\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EncodeTransfer("123", SplitLines(c.contents)), c.expected) << c.name;
    }
}

TEST(Conversation, RecognisesOnlyWellFormedDiscoveryReplies) {
    EXPECT_TRUE(orbsim::IsDiscoveryReply("OBX-REP-00:1704114000"));
    EXPECT_TRUE(orbsim::IsDiscoveryReply("OBX-REP-00:0"));
    for (const std::string_view bad : {"OBX-REP-00:", "OBX-REP-00:17x", "OBX-REP-00:-1",
                                       "OBX-REQ-00", "obx-rep-00:1", "OBX-REP-00:1\n"}) {
        EXPECT_FALSE(orbsim::IsDiscoveryReply(bad)) << bad;
    }
}

}  // namespace
