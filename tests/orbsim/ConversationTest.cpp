#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "Conversation.h"

namespace {

using orbsim::EncodeTransfer;
using orbsim::SplitIntoChunks;
using orbsim::SplitLines;

struct FileCase {
    const char* name;
    std::string_view contents;
    std::string_view expected;  // the whole transfer as serial "123"
};

TEST(Conversation, EncodesFilesAsOneTransfer) {
    const FileCase cases[] = {
        {"empty file", "", "HELLO 123\r\nBYE\r\n"},
        {"LF", "a,1\nb,2\n", "HELLO 123\r\nLINE a,1\r\nLINE b,2\r\nBYE\r\n"},
        {"CR LF", "a,1\r\nb,2\r\n", "HELLO 123\r\nLINE a,1\r\nLINE b,2\r\nBYE\r\n"},
        {"no final newline", "a\nb", "HELLO 123\r\nLINE a\r\nLINE b\r\nBYE\r\n"},
        {"empty lines keep the blank", "\n\r\nx\n",
         "HELLO 123\r\nLINE \r\nLINE \r\nLINE x\r\nBYE\r\n"},
        {"only the last CR goes", "a\r\r\n", "HELLO 123\r\nLINE a\r\r\nBYE\r\n"},
        {"inner CR and other bytes stay", "a\rb\t~\n", "HELLO 123\r\nLINE a\rb\t~\r\nBYE\r\n"},
        {"lone CR at the end", "a\r", "HELLO 123\r\nLINE a\r\nBYE\r\n"},
    };
    for (const FileCase& c : cases) {
        EXPECT_EQ(EncodeTransfer("123", SplitLines(c.contents)), c.expected) << c.name;
    }
}

TEST(Conversation, LineCountIsWhatTheReceiverStores) {
    EXPECT_EQ(SplitLines("").size(), 0u);
    EXPECT_EQ(SplitLines("\n").size(), 1u);
    EXPECT_EQ(SplitLines("a\n\nb").size(), 3u);
    EXPECT_EQ(SplitLines("a\r\nb\r\n").size(), 2u);
}

TEST(Conversation, ChunksCoverTheBytesInOrderWithinTheLimit) {
    const std::string bytes = EncodeTransfer("SN", SplitLines("ab\ncd\n"));
    ASSERT_EQ(bytes.size(), 33u);
    const struct {
        std::size_t limit;
        std::size_t chunks;
        std::size_t lastSize;
    } cases[] = {{0, 1, 33}, {1, 33, 1},  {7, 5, 5},  {16, 3, 1},
                 {32, 2, 1}, {33, 1, 33}, {64, 1, 33}};
    for (const auto& c : cases) {
        const std::vector<std::string_view> chunks = SplitIntoChunks(bytes, c.limit);
        ASSERT_EQ(chunks.size(), c.chunks) << "limit " << c.limit;
        EXPECT_EQ(chunks.back().size(), c.lastSize) << "limit " << c.limit;
        std::string joined;
        for (const std::string_view chunk : chunks) {
            EXPECT_LE(chunk.size(), c.limit == 0 ? bytes.size() : c.limit);
            joined += chunk;
        }
        EXPECT_EQ(joined, bytes) << "limit " << c.limit;
    }
    EXPECT_TRUE(SplitIntoChunks("", 4).empty());
}

TEST(Conversation, RecognisesOnlyWellFormedDiscoveryReplies) {
    EXPECT_EQ(orbsim::kDiscoveryRequest, "OBX-REQ-00");
    EXPECT_TRUE(orbsim::IsDiscoveryReply("OBX-REP-00:1704114000"));
    EXPECT_TRUE(orbsim::IsDiscoveryReply("OBX-REP-00:0"));
    for (const std::string_view bad : {"OBX-REP-00:", "OBX-REP-00:17x", "OBX-REP-00:-1",
                                       "OBX-REQ-00", "obx-rep-00:1", "OBX-REP-00:1\n"}) {
        EXPECT_FALSE(orbsim::IsDiscoveryReply(bad)) << bad;
    }
}

}  // namespace
