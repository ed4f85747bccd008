#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "fakes/ScratchFolder.h"
#include "platform/FileSystem.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>

#include "platform/posix/OpenBeneath.h"
#endif

namespace {

using platform::FileOutcome;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::unique_ptr<platform::File> Created(const std::string& path, const std::string& bytes) {
    auto file = std::make_unique<platform::File>();
    EXPECT_EQ(file->CreateNew(path), FileOutcome::Done) << path;
    EXPECT_TRUE(file->Write(bytes.data(), bytes.size()));
    return file;
}

std::string ReadAllAt(platform::File& file, std::uint64_t offset) {
    std::string bytes;
    char buffer[3];
    for (long got; (got = file.ReadAt(offset + bytes.size(), buffer, sizeof buffer)) > 0;) {
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
    return bytes;
}

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

// A leftover goes only when nobody holds it, it is not kept data, and it is old enough; a file
// renamed by its writer stays held under its new name.
TEST(FileSystem, RemoveUnlessHeldSparesHeldKeptAndFreshFiles) {
    struct Case {
        const char* what;
        // Makes the file "f" in the folder (or not); returns its writer, if it still holds it.
        std::function<std::unique_ptr<platform::File>(const ScratchFolder&)> make;
        std::chrono::seconds unchangedFor;
        bool removed;
    };
    const auto unheld = [](const ScratchFolder& dir) {
        dir.Write("f", "data");
        return std::unique_ptr<platform::File>();
    };
    const Case cases[] = {
        {"held by its writer",
         [](const ScratchFolder& d) { return Created(d.Path() + "f", "data"); }, 0s, false},
        {"renamed by its writer, held under the new name",
         [](const ScratchFolder& d) {
             auto file = Created(d.Path() + "f.tmp", "data");
             EXPECT_EQ(file->MoveTo(d.Path() + "f"), FileOutcome::Done);
             EXPECT_FALSE(platform::PathExists(d.Path() + "f.tmp"));
             return file;
         },
         0s, false},
        {"marked read-only by its writer",
         [](const ScratchFolder& d) {
             EXPECT_TRUE(Created(d.Path() + "f", "data")->MarkReadOnly());
             return std::unique_ptr<platform::File>();
         },
         0s, false},
        {"unheld, written within the hour", unheld, std::chrono::hours(1), false},
        {"unheld, no age asked", unheld, 0s, true},
        {"missing", [](const ScratchFolder&) { return std::unique_ptr<platform::File>(); }, 0s,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScratchFolder dir;
        auto writer = c.make(dir);
        const bool existed = platform::PathExists(dir.Path() + "f");
        EXPECT_EQ(platform::RemoveUnlessHeld(dir.Path() + "f", c.unchangedFor), c.removed);
        EXPECT_EQ(platform::PathExists(dir.Path() + "f"), existed && !c.removed);
        if (writer) {
            EXPECT_TRUE(writer->StillNamed());
            writer->Close();
            EXPECT_EQ(dir.Read("f"), "data");
        }
        // Kept data must not stop the folder from going.
        std::error_code ignored;
        fs::permissions(dir.Path() + "f", fs::perms::owner_write, fs::perm_options::add, ignored);
    }
}

// What the store does at BYE: refuses a taken name, renames, replaces its own kept name, and reads
// the data back from the open file, all without moving where the next write goes.
TEST(FileSystem, AnOpenFileIsRenamedReplacesItsKeptNameAndIsReadAtAnyOffset) {
    ScratchFolder dir;
    const std::string bytes("a\r\n\0\xff", 5);
    auto file = Created(dir.Path() + "a.tmp", bytes);
    dir.Write("a.csv", "other");
    dir.Write("a.kept", "stale");
    EXPECT_EQ(file->MoveTo(dir.Path() + "a.csv"), FileOutcome::Taken);
    EXPECT_TRUE(file->StillNamed());

    const struct {
        std::uint64_t offset;
        std::string bytes;
    } reads[] = {{0, bytes}, {2, bytes.substr(2)}, {5, ""}, {1u << 20, ""}};
    for (const auto& read : reads) {
        EXPECT_EQ(ReadAllAt(*file, read.offset), read.bytes) << read.offset;
    }
    EXPECT_TRUE(file->Write("tail", 4));
    EXPECT_EQ(ReadAllAt(*file, 0), bytes + "tail");

    EXPECT_EQ(file->MoveOver(dir.Path() + "a.kept"), FileOutcome::Done);
    EXPECT_TRUE(file->StillNamed());
    EXPECT_TRUE(file->Write("!", 1));
    file->Close();
    EXPECT_EQ(dir.Files(), (std::vector<std::string>{"a.csv", "a.kept"}));
    EXPECT_EQ(dir.Read("a.csv"), "other");
    EXPECT_EQ(dir.Read("a.kept"), bytes + "tail!");
}

// Whether the name still leads to the open file, whatever another party managed to do to it
// (Windows refuses them all while the writer holds the file; POSIX lets them happen).
TEST(FileSystem, StillNamedSaysWhetherAnotherPartyTookTheNameAway) {
    const struct {
        const char* what;
        std::function<void(const std::string&, std::error_code&)> act;
    } parties[] = {
        {"removes the file",
         [](const std::string& d, std::error_code& e) { fs::remove(d + "sub/f", e); }},
        {"renames the file",
         [](const std::string& d, std::error_code& e) { fs::rename(d + "sub/f", d + "sub/g", e); }},
        {"renames its folder",
         [](const std::string& d, std::error_code& e) { fs::rename(d + "sub", d + "moved", e); }},
    };
    for (const auto& party : parties) {
        SCOPED_TRACE(party.what);
        ScratchFolder dir;
        ASSERT_TRUE(platform::MakeDirectory(dir.Path() + "sub"));
        const std::string path = dir.Path() + "sub" + platform::kPathSeparator + "f";
        auto file = Created(path, "data");
        EXPECT_TRUE(file->StillNamed());
        std::error_code refused;
        party.act(dir.Path(), refused);
        EXPECT_EQ(file->StillNamed(), static_cast<bool>(refused));
        EXPECT_EQ(ReadAllAt(*file, 0), "data");
    }
}

TEST(FileSystem, ProbeFolderWritesWhereItCanAndLeavesNothingBehind) {
    ScratchFolder dir;
    dir.Write("file", "");
    const std::string sep(1, platform::kPathSeparator);
    const struct {
        std::string directory;
        bool writable;
    } folders[] = {
        {dir.Path(), true},
        {dir.Path() + "missing" + sep, false},
        {dir.Path() + "file" + sep, false},
    };
    for (const auto& folder : folders) {
        const platform::FolderAbilities abilities = platform::ProbeFolder(folder.directory);
        EXPECT_EQ(abilities.writeError.empty(), folder.writable)
            << folder.directory << ": " << abilities.writeError;
    }
    EXPECT_EQ(dir.Files(), std::vector<std::string>{"file"});
}

// A second receiver starting on the same folder removes every leftover it may, again and again,
// while a writer creates, fills and renames its files: not one finished file may be lost.
TEST(FileSystem, CleanUpRacingTheRenameNeverTakesAFile) {
    ScratchFolder dir;
    constexpr int kRounds = 500;
    const auto name = [&](int round, const char* suffix) {
        return dir.Path() + std::to_string(round) + suffix;
    };
    std::atomic<int> round{0};
    std::atomic<bool> done{false};
    std::atomic<int> removed{0};
    std::thread cleanUp([&] {
        while (!done.load()) {
            const int r = round.load();
            for (const char* suffix : {".tmp", ".csv"}) {
                if (platform::RemoveUnlessHeld(name(r, suffix), 0s)) {
                    ++removed;
                }
            }
        }
    });
    // Held open to the end, as the store holds a file until its rename is through.
    std::vector<std::unique_ptr<platform::File>> files;
    int moved = 0;
    for (int r = 0; r < kRounds; ++r) {
        round.store(r);
        auto file = std::make_unique<platform::File>();
        if (file->CreateNew(name(r, ".tmp")) != FileOutcome::Done) {
            continue;
        }
        const std::string bytes = "round " + std::to_string(r);
        if (file->Write(bytes.data(), bytes.size()) &&
            file->MoveTo(name(r, ".csv")) == FileOutcome::Done) {
            ++moved;
        }
        files.push_back(std::move(file));
    }
    done.store(true);
    cleanUp.join();
    files.clear();
    EXPECT_EQ(removed.load(), 0);
    EXPECT_EQ(moved, kRounds);
    int intact = 0;
    for (int r = 0; r < kRounds; ++r) {
        intact += dir.Read(std::to_string(r) + ".csv") == "round " + std::to_string(r);
    }
    EXPECT_EQ(intact, kRounds);
}

// The ways a file beneath a root is opened and read back: the file's bytes, or nullopt when
// refused. POSIX also tries the walk kept for kernels and sandboxes without openat2.
using OpenedBytes = std::optional<std::string>;
using BeneathOpener =
    std::function<OpenedBytes(const std::string&, std::string_view, std::string_view)>;

std::vector<std::pair<const char*, BeneathOpener>> BeneathOpeners() {
    std::vector<std::pair<const char*, BeneathOpener>> ways = {
        {"File::OpenBeneath",
         [](const std::string& root, std::string_view dir, std::string_view name) -> OpenedBytes {
             platform::File file;
             if (!file.OpenBeneath(root, {dir, name})) {
                 return std::nullopt;
             }
             const std::string bytes = ReadAllAt(file, 0);
             EXPECT_EQ(file.Size(), bytes.size());
             return bytes;
         }}};
#ifndef _WIN32
    ways.emplace_back("walk",
                      [](const std::string& root, std::string_view dir, std::string_view name) {
                          const int fd = platform::posix::OpenFileBeneath(
                              root, {dir, name}, platform::posix::BeneathLookup::Walk);
                          if (fd < 0) {
                              return OpenedBytes();
                          }
                          std::string bytes;
                          char buffer[64];
                          for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) > 0;) {
                              bytes.append(buffer, static_cast<std::size_t>(got));
                          }
                          ::close(fd);
                          return OpenedBytes(bytes);
                      });
#endif
    return ways;
}

// A served file is opened below the Data folder only, and only when it is its own plain file:
// nothing reached through a link or "..", no second name of a file elsewhere, no pipe that would
// hold the page up. The listing's check agrees with the open.
TEST(FileSystem, OpenBeneathTakesOnlyAPlainFileInsideTheRoot) {
    ScratchFolder top;
    const std::string root = top.Path() + "data" + platform::kPathSeparator;
    top.Write("data/12345/a.csv", "inside");
    top.Write("outside/secret.csv", "outside");
    top.Write("secret.csv", "outside");
    const std::string secret = top.Path() + "outside/secret.csv";
    std::error_code error;
    const struct {
        const char* what;
        std::function<void()> make;  // leaves nothing when the OS cannot make it
        std::string_view dir, name;
        bool opens;
    } cases[] = {
        {"a plain file", [] {}, "12345", "a.csv", true},
        {"a link to a file outside",
         [&] { fs::create_symlink(secret, root + "12345/link.csv", error); }, "12345", "link.csv",
         false},
        {"a folder link to outside",
         [&] { fs::create_directory_symlink(top.Path() + "outside", root + "away", error); },
         "away", "secret.csv", false},
        {"a hard link to a file outside",
         [&] { fs::create_hard_link(secret, root + "12345/hard.csv", error); }, "12345", "hard.csv",
         false},
#ifndef _WIN32
        // Opened without waiting for a writer that never comes, then refused.
        {"a pipe", [&] { ::mkfifo((root + "12345/pipe.csv").c_str(), 0600); }, "12345", "pipe.csv",
         false},
#endif
        {"a folder", [] {}, "12345", "..", false},
        {"the parent", [] {}, "..", "secret.csv", false},
        {"a path in one name", [] {}, "12345", "../../secret.csv", false},
        {"a path in the folder's name", [] {}, "12345/..", "a.csv", false},
        {"no folder", [] {}, "", "a.csv", false},
        {"the folder itself", [] {}, ".", "12345", false},
        {"missing", [] {}, "12345", "b.csv", false},
    };
    const auto ways = BeneathOpeners();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        error.clear();
        c.make();
        if (error) {
            std::printf("skipped \"%s\": %s\n", c.what, error.message().c_str());
            continue;
        }
        for (const auto& [way, open] : ways) {
            EXPECT_EQ(open(root, c.dir, c.name), c.opens ? OpenedBytes("inside") : std::nullopt)
                << way;
        }
        EXPECT_EQ(platform::PlainFileBeneath(root, {c.dir, c.name}), c.opens);
    }
}

// A folder swapped for a link to elsewhere, again and again, while the file below it is opened:
// no open may ever read the file the link leads to.
TEST(FileSystem, OpenBeneathNeverFollowsAFolderSwappedForALink) {
    for (const auto& [way, open] : BeneathOpeners()) {
        SCOPED_TRACE(way);
        ScratchFolder top;
        const std::string root = top.Path() + "data" + platform::kPathSeparator;
        top.Write("data/s/a.csv", "inside");
        top.Write("outside/a.csv", "outside");
        std::error_code error;
        fs::create_directory_symlink(top.Path() + "outside", root + "link", error);
        if (error) {
            GTEST_SKIP() << "no links here: " << error.message();
        }
        std::atomic<bool> done{false};
        std::atomic<int> swaps{0};
        std::thread swapper([&] {
            std::error_code ignored;
            while (!done.load()) {
                fs::rename(root + "s", root + "real", ignored);
                fs::rename(root + "link", root + "s", ignored);
                fs::rename(root + "s", root + "link", ignored);
                fs::rename(root + "real", root + "s", ignored);
                ++swaps;
            }
        });
        int inside = 0, outside = 0, refused = 0;
        const auto until = std::chrono::steady_clock::now() + 1s;
        while (std::chrono::steady_clock::now() < until || swaps.load() < 100) {
            const OpenedBytes bytes = open(root, "s", "a.csv");
            ++(!bytes ? refused : *bytes == "inside" ? inside : outside);
        }
        done.store(true);
        swapper.join();
        EXPECT_EQ(outside, 0);
        EXPECT_GT(inside + refused, 0);
    }
}

}  // namespace
