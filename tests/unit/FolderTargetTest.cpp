#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "fakes/ScratchFolder.h"
#include "handoff/FolderTarget.h"
#include "handoff/Sha256.h"
#include "platform/FileSystem.h"

namespace {

using handoff::Verdict;
using Lines = std::vector<std::string>;
namespace fs = std::filesystem;

const std::string kSep(1, platform::kPathSeparator);
const std::string kName = "261207-140544.csv";
const std::string kFinal = "12345/" + kName;
const std::string kPart = "12345/." + kName + ".orbtray-part";

// Larger than one block of the copy and of the read-back, and not a multiple of either.
std::string Readings(char mark) {
    std::string bytes;
    for (int i = 0; bytes.size() < 300000; ++i) {
        bytes += std::to_string(i) + "," + mark + std::to_string(i * 7 % 1000) + "\r\n";
    }
    return bytes;
}

const std::string kOurs = Readings('x');
const std::string kTheirs = Readings('y');

// Puts `bytes` into `data` as a file of serial 12345 and says what a target gets to know of it.
handoff::FileFacts Received(const ScratchFolder& data, const std::string& name,
                            const std::string& bytes) {
    data.Write("12345/" + name, bytes);
    handoff::Sha256 hash;
    hash.Update(bytes);
    return {data.Path() + "12345" + kSep + name,
            "12345",
            "12345",
            name,
            bytes.size(),
            hash.Finish(),
            1796652344};
}

// A received file in a Data folder, and a target folder to deliver it to.
struct Scene {
    ScratchFolder data;
    ScratchFolder target;
    std::string targetDir = target.Path();
    handoff::FileFacts facts;

    Scene() : facts(Received(data, kName, kOurs)) {}
    ~Scene() {
        // Writable again, so that the scratch folder can go.
        for (const std::string& folder : {target.Path(), target.Path() + "12345"}) {
            std::error_code ignored;
            fs::permissions(folder, fs::perms::owner_all, fs::perm_options::add, ignored);
        }
    }
    // Makes `relative` unwritable; false where that does not keep this user out (root, or
    // Windows, which keeps no such bits for folders).
    bool Unwritable(const std::string& relative) const {
        const std::string folder = target.Path() + relative;
        fs::create_directories(folder);
        fs::permissions(folder,
                        fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                        fs::perm_options::remove);
        return !platform::ProbeFolder(folder).writeError.empty();
    }
};

// A received file goes to <target>/<serial folder>/<name>, checked and complete or not at all.
// Whatever the outcome, the Data folder's file is as it was, a file of someone else's is never
// changed, and no temporary copy stays behind.
TEST(FolderTarget, DeliversACheckedCopyOrSaysWhyNot) {
    const struct {
        const char* what;
        // Puts the scene in the state the case is about; false to skip the case.
        std::function<bool(Scene&)> arrange;
        Verdict verdict;
        // The reason, or its start where it ends in ": " and the OS says the rest.
        std::string reason;
        Lines files;          // every file below the target afterwards
        const char* content;  // the delivered file's bytes afterwards, if any
    } cases[] = {
        {"into a serial folder that is there",
         [](Scene& s) { return fs::create_directory(s.target.Path() + "12345"); },
         Verdict::Delivered,
         "",
         {kFinal},
         kOurs.c_str()},
        {"over a killed attempt's copy",
         [](Scene& s) {
             s.target.Write(kPart, "half a");
             return true;
         },
         Verdict::Delivered,
         "",
         {kFinal},
         kOurs.c_str()},
        {"when the same file is there, even once gone from the Data folder",
         [](Scene& s) {
             s.target.Write(kFinal, kOurs);
             s.target.Write(kPart, "half a");
             return fs::remove(s.facts.path);
         },
         Verdict::Delivered,
         "",
         {kFinal},
         kOurs.c_str()},
        {"when its start is there",
         [](Scene& s) {
             s.target.Write(kFinal, kOurs.substr(0, kOurs.size() - 1));
             return true;
         },
         Verdict::Failed,
         "a different file of that name is there already",
         {kFinal},
         nullptr},
        {"when the file is gone from the Data folder",
         [](Scene& s) { return fs::remove(s.facts.path); },
         Verdict::Failed,
         "the file is no longer in the Data folder",
         {},
         nullptr},
        {"when the file in the Data folder has other bytes now",
         [](Scene& s) {
             s.data.Write(kFinal, kTheirs.substr(0, kOurs.size()));
             return true;
         },
         Verdict::Failed,
         "the file in the Data folder has changed",
         {},
         nullptr},
        {"when its serial folder's name would lead out of the target",
         [](Scene& s) {
             s.facts.folder = "..";
             return true;
         },
         Verdict::Failed,
         "the file's name cannot be used in a folder",
         {},
         nullptr},
        {"into a target that is a file",
         [](Scene& s) {
             s.target.Write("share", "");
             s.targetDir = s.target.Path() + "share";
             return true;
         },
         Verdict::TargetDown,
         "the target is not a folder",
         {"share"},
         nullptr},
        {"into a target that cannot be written",
         [](Scene& s) { return s.Unwritable(""); },
         Verdict::TargetDown,
         "cannot make the serial folder: ",
         {},
         nullptr},
        {"into a serial folder that cannot be written",
         [](Scene& s) { return s.Unwritable("12345"); },
         Verdict::TargetDown,
         "cannot create the copy: ",
         {},
         nullptr},
    };
    for (const auto& c : cases) {
        Scene s;
        if (!c.arrange(s)) {
            std::cout << "[  SKIPPED ] " << c.what << ": this user writes anyway\n";
            continue;
        }
        const Lines dataFiles = s.data.Files();
        const std::string source = s.data.Read(kFinal);

        const handoff::Outcome outcome = handoff::DeliverToFolder(s.targetDir, s.facts);

        EXPECT_EQ(outcome.verdict, c.verdict) << c.what << ": " << outcome.reason;
        if (c.reason.ends_with(": ")) {
            EXPECT_EQ(outcome.reason.substr(0, c.reason.size()), c.reason) << c.what;
            EXPECT_GT(outcome.reason.size(), c.reason.size()) << c.what;
        } else {
            EXPECT_EQ(outcome.reason, c.reason) << c.what;
        }
        EXPECT_EQ(s.target.Files(), c.files) << c.what;
        if (c.content != nullptr) {
            EXPECT_TRUE(s.target.Read(kFinal) == c.content) << c.what;
        }
        if (c.files.empty()) {
            // Nothing made either, but for a serial folder that was about to take the copy.
            const Lines folders = s.target.Directories();
            EXPECT_TRUE(folders.empty() || folders == Lines{"12345"}) << c.what;
        }
        EXPECT_EQ(s.data.Files(), dataFiles) << c.what;
        EXPECT_TRUE(s.data.Read(kFinal) == source) << c.what;
    }
}

// Several files of one serial, delivered at once, all arrive, whichever of them makes the serial
// folder.
TEST(FolderTarget, DeliversFilesOfOneSerialOnSeveralThreadsAtOnce) {
    for (int round = 0; round < 20; ++round) {
        ScratchFolder data;
        ScratchFolder target;
        std::vector<handoff::FileFacts> files;
        Lines names;
        for (int i = 0; i < 4; ++i) {
            const std::string name = "261207-14054" + std::to_string(i) + ".csv";
            files.push_back(Received(data, name, kOurs.substr(0, 1000 * (i + 1))));
            names.push_back("12345/" + name);
        }
        std::vector<handoff::Outcome> outcomes(files.size());
        std::vector<std::thread> threads;
        for (std::size_t i = 0; i < files.size(); ++i) {
            threads.emplace_back(
                [&, i] { outcomes[i] = handoff::DeliverToFolder(target.Path(), files[i]); });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        for (const handoff::Outcome& outcome : outcomes) {
            EXPECT_EQ(outcome.verdict, Verdict::Delivered) << round << ": " << outcome.reason;
        }
        EXPECT_EQ(target.Files(), names) << round;
    }
}

}  // namespace
