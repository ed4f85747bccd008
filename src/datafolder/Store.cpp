#include "datafolder/Store.h"

#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

constexpr char kTempSuffix[] = ".tmp";
constexpr char kFinalSuffix[] = ".csv";
// Complete data that could not become a .csv: neither the file list nor a clean-up looks at it.
constexpr char kKeptSuffix[] = ".kept";
constexpr std::size_t kSuffixLength = sizeof kTempSuffix - 1;
// "YYMMDD-HHMMSS": every file name before its numbering and suffix.
constexpr std::size_t kTimeNameLength = 13;
// Transfers of one serial in one second are numbered without a limit anyone meets; the bound
// only ends the search on a file system that calls every name taken.
constexpr int kMaxSameSecondFiles = 1000000;
// How long a rename that another program holds off is tried again, and how often.
constexpr std::chrono::seconds kRenameRetryTime{2};
constexpr std::chrono::milliseconds kRenameRetryPause{50};
// A temporary file nobody has written to for this long is a leftover, even where the lock of its
// writer cannot be seen (two mounts of one share): no instrument pauses that long in a transfer.
constexpr std::chrono::hours kLeftoverAge{1};

// The directory part of a path, separator included.
std::string DirectoryOf(const std::string& path) {
    return path.substr(0, path.rfind(platform::kPathSeparator) + 1);
}

}  // namespace

bool MakePath(const std::string& path, Disk& disk) {
    for (std::size_t end = path.find(platform::kPathSeparator); end != std::string::npos;
         end = path.find(platform::kPathSeparator, end + 1)) {
        const std::string prefix = path.substr(0, end + 1);
        if (!disk.PathExists(prefix)) {
            // Another link may create the same directory at the same moment: what counts is
            // that it exists afterwards.
            if (!disk.MakeDirectory(prefix) && !disk.IsDirectory(prefix)) {
                return false;
            }
        } else if (!disk.IsDirectory(prefix)) {
            return false;
        }
    }
    return true;
}

std::string Store::NumberedName(int n) const {
    return n == 1 ? base_ : base_ + "-" + std::to_string(n);
}

OpenOutcome Store::OpenDataFile(std::string_view serial) {
    const std::string directory =
        config_.dataFolder + SerialDirectoryName(serial) + platform::kPathSeparator;
    path_ = directory;
    // Refuse before making any directory: a path that does not fit is never cut.
    if (directory.size() + kTimeNameLength + kSuffixLength > kMaxDataPath) {
        return OpenOutcome::FileFailed;
    }
    if (!MakePath(directory, *config_.disk)) {
        return OpenOutcome::DirectoryFailed;
    }
    const platform::CalendarTime now = platform::UtcCalendar(config_.clock->UtcSeconds());
    char name[32];
    std::snprintf(name, sizeof name, "%02u%02u%02u-%02u%02u%02u", unsigned(now.year % 100),
                  unsigned(now.month), unsigned(now.day), unsigned(now.hour), unsigned(now.minute),
                  unsigned(now.second));
    std::unique_ptr<DiskFile> created = ReserveDataFile(directory + name);
    if (!created) {
        return OpenOutcome::FileFailed;
    }
    file_.Attach(std::move(created));
    return OpenOutcome::Opened;
}

std::unique_ptr<DiskFile> Store::ReserveDataFile(const std::string& baseName) {
    base_ = baseName;
    // Transfers of one serial that start in the same second are told apart by "-2", "-3"...,
    // with no end: an instrument that replays its memory may send hundreds in a second.
    for (number_ = 1; number_ <= kMaxSameSecondFiles; ++number_) {
        const std::string name = NumberedName(number_);
        path_ = name + kTempSuffix;
        if (path_.size() > kMaxDataPath) {
            return nullptr;
        }
        if (!FinalNameFree(name)) {
            continue;
        }
        std::unique_ptr<DiskFile> created;
        switch (config_.disk->CreateNew(path_, &created)) {
            case platform::FileOutcome::Taken:
                // A transfer of the same second holds this name (or just finished with it).
                continue;
            case platform::FileOutcome::Busy:  // from moves only
            case platform::FileOutcome::Failed:
                // No permission, disk gone: another name will not do better.
                return nullptr;
            case platform::FileOutcome::Done:
                break;
        }
        // A transfer of this name may have finished between our look and our creation; the
        // files of one second keep the order in which they began.
        if (!FinalNameFree(name)) {
            created->Remove();
            continue;
        }
        return created;
    }
    return nullptr;
}

void Store::NameDataFile(ReceivedFile& sofar) const {
    const std::string directory = DirectoryOf(path_);
    sofar.folder = directory.substr(config_.dataFolder.size(),
                                    directory.size() - config_.dataFolder.size() - 1);
    sofar.name = path_.substr(directory.size());
    sofar.path = path_;
}

bool Store::OpenFirmware() {
    path_ = config_.firmwarePath;
    std::unique_ptr<DiskFile> image;
    if (!path_.empty()) {
        image = config_.disk->OpenForReading(path_);
    }
    if (!image) {
        return false;
    }
    file_.Attach(std::move(image));
    return true;
}

bool Store::FinalNameFree(const std::string& name) const {
    return !config_.disk->PathExists(name + kFinalSuffix) &&
           !config_.disk->PathExists(name + kKeptSuffix);
}

FinishOutcome Store::FinishDataFile(ReceivedFile& made) {
    // The data reaches the disk before the file gets its final name, so a crash leaves either a
    // complete .csv or a .tmp that a later clean-up deletes.
    rewritten_ = false;
    if (!file_.Commit()) {
        DeleteDataFile();
        return FinishOutcome::WriteFailed;
    }
    // Renaming by name would move whatever has the name now. A receiver on another mount of a
    // shared folder, whose clean-up cannot see our lock, or a user who moved the folder, may have
    // taken the file away; the data is still all in the open file.
    if (!file_.StillNamed()) {
        if (!WriteAgain()) {
            file_.Discard();
            return FinishOutcome::Lost;
        }
        rewritten_ = true;
    }
    // Taken before the rename, which may close the file; a rename keeps both.
    made.size = file_.Size();
    made.lastWrite = file_.LastWrite();
    made.received = config_.clock->UtcSeconds();
    const std::string tempPath = path_;
    const std::string directory = DirectoryOf(path_);
    made.folder = directory.substr(config_.dataFolder.size(),
                                   directory.size() - config_.dataFolder.size() - 1);
    // The name the file is about to take: its temporary file's own, unless that was taken.
    ReceivedFile intended = made;
    intended.path = tempPath.substr(0, tempPath.size() - kSuffixLength) + kFinalSuffix;
    intended.name = intended.path.substr(directory.size());
    if (config_.journal != nullptr) {
        config_.journal->Intend(intended);
    }
    const auto giveUp = std::chrono::steady_clock::now() + kRenameRetryTime;
    // The final name was free when the file was created, but something else may have taken it
    // since: the file then moves on to the next free name of its second rather than replace it.
    while (number_ <= kMaxSameSecondFiles) {
        const std::string name = NumberedName(number_);
        // A name whose temporary file exists belongs to a transfer still running.
        if (name + kTempSuffix != tempPath &&
            (config_.disk->PathExists(name + kTempSuffix) || !FinalNameFree(name))) {
            ++number_;
            continue;
        }
        const platform::FileOutcome moved = file_.MoveTo(name + kFinalSuffix);
        if (moved == platform::FileOutcome::Done) {
            path_ = name + kFinalSuffix;
            file_.Discard();
            config_.disk->SyncDirectory(directory);
            made.path = path_;
            made.name = path_.substr(directory.size());
            if (config_.journal != nullptr) {
                config_.journal->Settle(intended, &made);
            }
            return FinishOutcome::Finished;
        }
        if (moved == platform::FileOutcome::Taken) {
            ++number_;
        } else if (moved == platform::FileOutcome::Busy &&
                   std::chrono::steady_clock::now() < giveUp) {
            // A virus scanner or backup reading the new file lets go within moments.
            std::this_thread::sleep_for(kRenameRetryPause);
        } else {
            // No permission, disk gone, or held too long: another name will not do better.
            break;
        }
    }
    path_ = tempPath;
    if (config_.journal != nullptr) {
        config_.journal->Settle(intended, nullptr);
    }
    const FinishOutcome kept = KeepData();
    config_.disk->SyncDirectory(directory);
    return kept;
}

bool Store::WriteAgain() {
    // The folders are made again if they went with the file; the new file gets the next free
    // name of the same second, as if the transfer had begun a moment later.
    if (!MakePath(DirectoryOf(path_), *config_.disk)) {
        return false;
    }
    std::unique_ptr<DiskFile> fresh = ReserveDataFile(base_);
    if (!fresh) {
        return false;
    }
    if (!file_.CopyTo(*fresh)) {
        fresh->Remove();
        return false;
    }
    file_.Attach(std::move(fresh));
    return true;
}

FinishOutcome Store::KeepData() {
    // Complete data is never deleted for want of a name. It goes under a name of its own that
    // neither the file list (.csv only) nor a clean-up (.tmp only) looks at. Only this writer
    // can be using that name, since it is made from the .tmp name it holds, so a plain rename
    // does, on file systems that can do no other.
    const std::string kept = path_.substr(0, path_.size() - kSuffixLength) + kKeptSuffix;
    if (file_.MoveOver(kept) == platform::FileOutcome::Done) {
        path_ = kept;
        file_.Discard();
        return FinishOutcome::RenameFailed;
    }
    // Not even that (a read-only mount, a folder that went away meanwhile): the data stays the
    // .tmp it is, marked read-only, which a clean-up leaves alone where the mark holds; the log
    // names it only if it is still there.
    const bool stillThere = file_.StillNamed();
    file_.KeepReadOnly();
    return stillThere ? FinishOutcome::RenameFailed : FinishOutcome::Lost;
}

namespace {

// Only names this store gives its temporary files: YYMMDD-HHMMSS.tmp, or with -2, -3...
bool IsTempDataName(std::string_view name) {
    const std::size_t suffix = name.size() - kSuffixLength;
    if (name.size() < kTimeNameLength + kSuffixLength ||
        name.compare(suffix, std::string_view::npos, kTempSuffix) != 0) {
        return false;
    }
    for (std::size_t i = 0; i < suffix; ++i) {
        const char c = name[i];
        const bool dash = i == 6 || i == 13;
        if (dash ? c != '-' : (c < '0' || c > '9')) {
            return false;
        }
    }
    return suffix == 13 || suffix > 14;
}

}  // namespace

int RemoveLeftoverTempFiles(const std::string& dataFolder) {
    // Links are never followed: a clean-up that deletes must stay inside the Data folder.
    std::vector<std::string> directories;
    platform::ListDirectory(dataFolder, [&](const platform::DirectoryEntry& entry) {
        if (entry.kind == platform::EntryKind::Directory && !entry.isLink) {
            directories.emplace_back(entry.name);
        }
    });
    int removed = 0;
    std::vector<std::string> leftovers;
    for (const std::string& directory : directories) {
        const std::string serialDirectory = dataFolder + directory + platform::kPathSeparator;
        leftovers.clear();
        platform::ListDirectory(serialDirectory, [&](const platform::DirectoryEntry& entry) {
            if (entry.kind == platform::EntryKind::File && !entry.isLink &&
                IsTempDataName(entry.name)) {
                leftovers.emplace_back(entry.name);
            }
        });
        for (const std::string& name : leftovers) {
            if (platform::RemoveUnlessHeld(serialDirectory + name, kLeftoverAge)) {
                ++removed;
            }
        }
    }
    return removed;
}
