#include <gtest/gtest.h>

#include <filesystem>

#include "fakes/ScratchFolder.h"
#include "platform/FileSystem.h"

namespace {

TEST(FileSystem, MoveNeverReplacesAnExistingFile) {
    ScratchFolder dir;
    dir.Write("a.tmp", "new");
    dir.Write("a.csv", "old");
    EXPECT_EQ(platform::MoveFileNoReplace(dir.Path() + "a.tmp", dir.Path() + "a.csv"),
              platform::FileOutcome::Taken);
    EXPECT_EQ(dir.Read("a.tmp"), "new");
    EXPECT_EQ(dir.Read("a.csv"), "old");

    EXPECT_EQ(platform::MoveFileNoReplace(dir.Path() + "a.tmp", dir.Path() + "b.csv"),
              platform::FileOutcome::Done);
    // A missing source is a failure, not a taken name: trying other names will not help.
    EXPECT_EQ(platform::MoveFileNoReplace(dir.Path() + "a.tmp", dir.Path() + "c.csv"),
              platform::FileOutcome::Failed);
    EXPECT_EQ(dir.Files(), (std::vector<std::string>{"a.csv", "b.csv"}));
    EXPECT_EQ(dir.Read("b.csv"), "new");
    EXPECT_TRUE(platform::SyncDirectory(dir.Path()));
}

TEST(FileSystem, CreateNewIsExclusiveAndWritesExactBytes) {
    ScratchFolder dir;
    const std::string path = dir.Path() + "f";
    platform::File file;
    ASSERT_EQ(file.CreateNew(path), platform::FileOutcome::Done);
    const std::string bytes("a\r\n\0\xff", 5);
    EXPECT_TRUE(file.Write(bytes.data(), bytes.size()));
    EXPECT_TRUE(file.SyncToDisk());
    file.Close();
    EXPECT_EQ(dir.Read("f"), bytes);

    platform::File again;
    EXPECT_EQ(again.CreateNew(path), platform::FileOutcome::Taken);
    EXPECT_EQ(again.CreateNew(dir.Path() + "missing/f"), platform::FileOutcome::Failed);
    EXPECT_EQ(dir.Read("f"), bytes);

    ASSERT_TRUE(again.OpenForReading(path));
    char buffer[16];
    EXPECT_EQ(again.Read(buffer, sizeof buffer), 5);
    EXPECT_EQ(again.Read(buffer, sizeof buffer), 0);
    EXPECT_FALSE(platform::File().OpenForReading(dir.Path() + "missing"));
}

TEST(FileSystem, DirectoriesAndListing) {
    ScratchFolder dir;
    EXPECT_TRUE(platform::MakeDirectory(dir.Path() + "d"));
    EXPECT_FALSE(platform::MakeDirectory(dir.Path() + "d"));
    dir.Write("f", "x");
    EXPECT_TRUE(platform::IsDirectory(dir.Path() + "d"));
    EXPECT_FALSE(platform::IsDirectory(dir.Path() + "f"));
    EXPECT_TRUE(platform::PathExists(dir.Path() + "f"));
    EXPECT_EQ(platform::ListDirectory(dir.Path(), platform::EntryKind::Directory),
              std::vector<std::string>{"d"});
    EXPECT_EQ(platform::ListDirectory(dir.Path(), platform::EntryKind::File),
              std::vector<std::string>{"f"});
    EXPECT_TRUE(platform::ListDirectory(dir.Path() + "none", platform::EntryKind::File).empty());
    EXPECT_TRUE(platform::RemoveFile(dir.Path() + "f"));
    EXPECT_FALSE(platform::PathExists(dir.Path() + "f"));
}

TEST(FileSystem, ALinkWithoutItsTargetExistsOnlyAsAName) {
    if (platform::kPathSeparator == '\\') {
        GTEST_SKIP() << "Windows names its ports directly, never through links";
    }
    ScratchFolder dir;
    dir.Write("target", "x");
    std::error_code error;
    std::filesystem::create_symlink(dir.Path() + "target", dir.Path() + "link", error);
    if (error) {
        GTEST_SKIP() << "no symbolic links here: " << error.message();
    }
    EXPECT_TRUE(platform::TargetExists(dir.Path() + "link"));
    EXPECT_TRUE(platform::RemoveFile(dir.Path() + "target"));
    EXPECT_TRUE(platform::PathExists(dir.Path() + "link"));
    EXPECT_FALSE(platform::TargetExists(dir.Path() + "link"));
}

}  // namespace
