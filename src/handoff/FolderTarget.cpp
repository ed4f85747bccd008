#include "handoff/FolderTarget.h"

#include <optional>
#include <string_view>
#include <vector>

#include "handoff/Sha256.h"
#include "platform/FileSystem.h"

namespace handoff {
namespace {

using platform::FileError;
using platform::FileErrorKind;

// Large enough that a typical file (some 100 KB) goes in one read and one write.
constexpr std::size_t kCopyBlock = 256 * 1024;

// One name of one level: nothing that could lead out of the target or into a stream of a file.
bool UsableName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\\:\0", 4)) == std::string_view::npos;
}

std::string Join(const std::string& directory, const std::string& name) {
    if (!directory.empty() &&
        (directory.back() == platform::kPathSeparator || directory.back() == '/')) {
        return directory + name;
    }
    return directory + platform::kPathSeparator + name;
}

// A full disk, refused permissions, a read-only or vanished folder do not pass by being tried
// again at once, and hold for every file of the target; anything else, such as an I/O error
// on a flaky network, may.
Outcome WriteFailure(const char* what, const FileError& error) {
    return {error.kind == FileErrorKind::Other ? Verdict::TryAgain : Verdict::TargetDown,
            std::string(what) + ": " + error.text};
}

// The file that has the final name already: a delivery of ours that was not recorded (the
// program ended between rename and record) has the same bytes; anything else is another file,
// which is never touched.
Outcome SettleTakenName(const std::string& folder, const std::string& finalPath,
                        const FileFacts& file) {
    const FileDigest there = HashFile(finalPath);
    if (!there.read) {
        return {Verdict::TryAgain, "cannot read the file of that name there: " + there.error.text};
    }
    if (there.size != file.size || there.sha256 != file.sha256) {
        return {Verdict::Failed, "a different file of that name is there already"};
    }
    // The attempt that renamed it may have ended before the folder was flushed.
    (void)platform::SyncDirectory(folder);
    return {Verdict::Delivered, ""};
}

// Removes the copy, keeping `outcome`'s reason, which was taken before.
Outcome Abandon(platform::File& copy, Outcome outcome) {
    copy.Remove();
    return outcome;
}

// Copies `source` into `copy`, hashing on the way so that the Data folder's file is read once.
Outcome Copy(platform::File& source, platform::File& copy, const FileFacts& file,
             std::string& digest) {
    std::vector<unsigned char> block(kCopyBlock);
    Sha256 hash;
    std::uint64_t copied = 0;
    for (;;) {
        const long n = source.Read(block.data(), block.size());
        if (n < 0) {
            return {Verdict::TryAgain,
                    "cannot read the file in the Data folder: " + platform::LastFileError().text};
        }
        if (n == 0) {
            break;
        }
        if (!copy.Write(block.data(), static_cast<std::size_t>(n))) {
            return WriteFailure("cannot write the copy", platform::LastFileError());
        }
        hash.Update(block.data(), static_cast<std::size_t>(n));
        copied += static_cast<std::uint64_t>(n);
    }
    digest = hash.Finish();
    // Without a digest from before, the one taken on the way is what the copy must match.
    if (copied != file.size || (!file.sha256.empty() && digest != file.sha256)) {
        return {Verdict::Failed, "the file in the Data folder has changed"};
    }
    return {Verdict::Delivered, ""};
}

// One file of a batch: decided early (a failure, or a name already there), or copied and
// waiting for the flush.
struct Attempt {
    std::string folder;
    std::string finalPath;
    std::string partPath;
    std::string sha256;  // of what was copied
    platform::File copy;
    std::optional<Outcome> outcome;
};

// Everything up to the flush: the copy written under its temporary name.
std::optional<Outcome> Prepare(const std::string& targetDir, const FileFacts& file,
                               Attempt& attempt) {
    if (!UsableName(file.folder) || !UsableName(file.name)) {
        return Outcome{Verdict::Failed, "the file's name cannot be used in a folder"};
    }
    attempt.folder = Join(targetDir, file.folder);
    attempt.finalPath = Join(attempt.folder, file.name);
    // The same name for every attempt, so that each clears what a killed one left. The dot keeps
    // it out of most listings, and the suffix says whose it is.
    attempt.partPath = Join(attempt.folder, "." + file.name + ".orbtray-part");

    if (!platform::RemoveFile(attempt.partPath)) {
        const FileError error = platform::LastFileError();
        if (error.kind != FileErrorKind::Missing) {
            return WriteFailure("cannot remove an earlier attempt's copy", error);
        }
    }
    if (platform::PathExists(attempt.finalPath)) {
        FileFacts known = file;
        if (known.sha256.empty()) {
            known.sha256 = HashFile(file.path).sha256;
        }
        return SettleTakenName(attempt.folder, attempt.finalPath, known);
    }

    platform::File source;
    if (!source.OpenForReading(file.path)) {
        const FileError error = platform::LastFileError();
        if (error.kind == FileErrorKind::Missing) {
            return Outcome{Verdict::Failed, "the file is no longer in the Data folder"};
        }
        return Outcome{Verdict::TryAgain, "cannot read the file in the Data folder: " + error.text};
    }

    if (!platform::IsDirectory(attempt.folder)) {
        // Another attempt, or another program, may make it meanwhile. The flush after the rename
        // makes it durable with the name in it.
        if (!platform::MakeDirectory(attempt.folder)) {
            const FileError error = platform::LastFileError();
            if (!platform::IsDirectory(attempt.folder)) {
                return WriteFailure("cannot make the serial folder", error);
            }
        }
    }

    switch (attempt.copy.CreateNew(attempt.partPath)) {
        case platform::FileOutcome::Done:
            break;
        case platform::FileOutcome::Taken:
            return Outcome{Verdict::TryAgain, "another attempt is writing this file"};
        default:
            return WriteFailure("cannot create the copy", platform::LastFileError());
    }
    const Outcome copied = Copy(source, attempt.copy, file, attempt.sha256);
    if (copied.verdict != Verdict::Delivered) {
        return Abandon(attempt.copy, copied);
    }
    return std::nullopt;
}

// After the flush: the copy read back and checked, then named.
std::optional<Outcome> Finish(const FileFacts& file, Attempt& attempt) {
    // What the target's disk, cache or network gave back, not what we meant to write.
    const FileDigest back = HashFile(attempt.copy);
    if (!back.read) {
        return Abandon(attempt.copy,
                       {Verdict::TryAgain, "cannot read the copy back: " + back.error.text});
    }
    if (back.size != file.size || back.sha256 != attempt.sha256) {
        return Abandon(attempt.copy, {Verdict::TryAgain, "the copy read back differs"});
    }
    switch (attempt.copy.MoveTo(attempt.finalPath)) {
        case platform::FileOutcome::Done:
            return std::nullopt;
        case platform::FileOutcome::Taken: {
            attempt.copy.Remove();
            FileFacts known = file;
            known.sha256 = attempt.sha256;
            return SettleTakenName(attempt.folder, attempt.finalPath, known);
        }
        default:
            return Abandon(attempt.copy, WriteFailure("cannot give the copy its name",
                                                      platform::LastFileError()));
    }
}

}  // namespace

std::vector<Outcome> DeliverToFolder(const std::string& targetDir,
                                     const std::vector<FileFacts>& files) {
    // An unmounted share leaves its mount point empty or gone: making it here would deliver into
    // the local disk instead.
    if (!platform::IsDirectory(targetDir)) {
        return std::vector<Outcome>(
            files.size(),
            {Verdict::TargetDown, platform::PathExists(targetDir) ? "the target is not a folder"
                                                                  : "the folder does not exist"});
    }
    std::vector<Attempt> attempts(files.size());
    std::vector<platform::File*> copies;
    for (std::size_t i = 0; i < files.size(); ++i) {
        attempts[i].outcome = Prepare(targetDir, files[i], attempts[i]);
        if (!attempts[i].outcome) {
            copies.push_back(&attempts[i].copy);
        }
    }
    // One flush for the whole batch, as `cp` and one `sync` would do: a flush per file costs a
    // disk's commit each.
    if (!platform::SyncTogether(copies)) {
        const FileError error = platform::LastFileError();
        for (Attempt& attempt : attempts) {
            if (!attempt.outcome) {
                attempt.outcome =
                    Abandon(attempt.copy, WriteFailure("cannot flush the copy to the disk", error));
            }
        }
    }
    copies.clear();
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (!attempts[i].outcome) {
            attempts[i].outcome = Finish(files[i], attempts[i]);
            if (!attempts[i].outcome) {
                copies.push_back(&attempts[i].copy);
            }
        }
    }
    // The names, and any serial folder made, reach the disk in one more flush. As the store does
    // with its own renames, a failure here does not undo the delivery: the copies are on the disk,
    // and some network file systems cannot flush a folder at all.
    (void)platform::SyncTogether(copies);
    std::vector<Outcome> outcomes;
    for (Attempt& attempt : attempts) {
        attempt.copy.Close();
        outcomes.push_back(attempt.outcome.value_or(Outcome{Verdict::Delivered, ""}));
    }
    return outcomes;
}

Outcome DeliverToFolder(const std::string& targetDir, const FileFacts& file) {
    return DeliverToFolder(targetDir, std::vector<FileFacts>{file}).front();
}

}  // namespace handoff
