#include <gtest/gtest.h>

#include "fakes/ScratchFolder.h"
#include "platform/FileSystem.h"

namespace {

using platform::FileOutcome;

// The store relies on both calls never replacing a file, and on telling a taken name (try the
// next suffix) from a failure (trying other names will not help).
TEST(FileSystem, CreateAndMoveNeverReplaceAFileAndTellTakenFromFailed) {
    ScratchFolder dir;
    platform::File file;
    ASSERT_EQ(file.CreateNew(dir.Path() + "a.tmp"), FileOutcome::Done);
    const std::string bytes("a\r\n\0\xff", 5);
    EXPECT_TRUE(file.Write(bytes.data(), bytes.size()));
    EXPECT_TRUE(file.SyncToDisk());
    file.Close();
    dir.Write("a.csv", "old");

    platform::File again;
    EXPECT_EQ(again.CreateNew(dir.Path() + "a.csv"), FileOutcome::Taken);
    EXPECT_EQ(again.CreateNew(dir.Path() + "missing/f"), FileOutcome::Failed);
    const auto move = [&](const char* from, const char* to) {
        return platform::MoveFileNoReplace(dir.Path() + from, dir.Path() + to);
    };
    EXPECT_EQ(move("a.tmp", "a.csv"), FileOutcome::Taken);
    EXPECT_EQ(move("a.tmp", "b.csv"), FileOutcome::Done);
    EXPECT_EQ(move("a.tmp", "c.csv"), FileOutcome::Failed);
    EXPECT_TRUE(platform::SyncDirectory(dir.Path()));
    EXPECT_EQ(dir.Files(), (std::vector<std::string>{"a.csv", "b.csv"}));
    EXPECT_EQ(dir.Read("a.csv"), "old");
    EXPECT_EQ(dir.Read("b.csv"), bytes);
}

}  // namespace
