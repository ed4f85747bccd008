#include "handoff/FolderTarget.h"

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
Outcome Copy(platform::File& source, platform::File& copy, const FileFacts& file) {
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
    if (copied != file.size || hash.Finish() != file.sha256) {
        return {Verdict::Failed, "the file in the Data folder has changed"};
    }
    return {Verdict::Delivered, ""};
}

}  // namespace

Outcome DeliverToFolder(const std::string& targetDir, const FileFacts& file) {
    if (!UsableName(file.folder) || !UsableName(file.name)) {
        return {Verdict::Failed, "the file's name cannot be used in a folder"};
    }
    // An unmounted share leaves its mount point empty or gone: making it here would deliver into
    // the local disk instead.
    if (!platform::IsDirectory(targetDir)) {
        return {Verdict::TargetDown, platform::PathExists(targetDir) ? "the target is not a folder"
                                                                     : "the folder does not exist"};
    }
    const std::string folder = Join(targetDir, file.folder);
    const std::string finalPath = Join(folder, file.name);
    // The same name for every attempt, so that each clears what a killed one left. The dot keeps
    // it out of most listings, and the suffix says whose it is.
    const std::string partPath = Join(folder, "." + file.name + ".orbtray-part");

    if (!platform::RemoveFile(partPath)) {
        const FileError error = platform::LastFileError();
        if (error.kind != FileErrorKind::Missing) {
            return WriteFailure("cannot remove an earlier attempt's copy", error);
        }
    }
    if (platform::PathExists(finalPath)) {
        return SettleTakenName(folder, finalPath, file);
    }

    platform::File source;
    if (!source.OpenForReading(file.path)) {
        const FileError error = platform::LastFileError();
        if (error.kind == FileErrorKind::Missing) {
            return {Verdict::Failed, "the file is no longer in the Data folder"};
        }
        return {Verdict::TryAgain, "cannot read the file in the Data folder: " + error.text};
    }

    bool madeFolder = false;
    if (!platform::IsDirectory(folder)) {
        madeFolder = platform::MakeDirectory(folder);
        // Another attempt, or another program, may have made it meanwhile.
        if (!madeFolder) {
            const FileError error = platform::LastFileError();
            if (!platform::IsDirectory(folder)) {
                return WriteFailure("cannot make the serial folder", error);
            }
        }
    }

    platform::File copy;
    switch (copy.CreateNew(partPath)) {
        case platform::FileOutcome::Done:
            break;
        case platform::FileOutcome::Taken:
            return {Verdict::TryAgain, "another attempt is writing this file"};
        default:
            return WriteFailure("cannot create the copy", platform::LastFileError());
    }
    const Outcome copied = Copy(source, copy, file);
    source.Close();
    if (copied.verdict != Verdict::Delivered) {
        return Abandon(copy, copied);
    }
    if (!copy.SyncToDisk()) {
        return Abandon(
            copy, WriteFailure("cannot flush the copy to the disk", platform::LastFileError()));
    }
    // What the target's disk, cache or network gave back, not what we meant to write.
    const FileDigest back = HashFile(copy);
    if (!back.read) {
        return Abandon(copy, {Verdict::TryAgain, "cannot read the copy back: " + back.error.text});
    }
    if (back.size != file.size || back.sha256 != file.sha256) {
        return Abandon(copy, {Verdict::TryAgain, "the copy read back differs"});
    }

    switch (copy.MoveTo(finalPath)) {
        case platform::FileOutcome::Done:
            break;
        case platform::FileOutcome::Taken:
            copy.Remove();
            return SettleTakenName(folder, finalPath, file);
        default:
            return Abandon(
                copy, WriteFailure("cannot give the copy its name", platform::LastFileError()));
    }
    copy.Close();
    // As the store does with its own renames: the file itself is on the disk already, and some
    // network file systems cannot flush a folder at all, which must not keep a file from ever
    // counting as delivered.
    (void)platform::SyncDirectory(folder);
    if (madeFolder) {
        (void)platform::SyncDirectory(targetDir);
    }
    return {Verdict::Delivered, ""};
}

}  // namespace handoff
