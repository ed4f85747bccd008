#pragma once

// A file system in memory, for the store's seam: the fuzzer runs without touching the disk, and
// tests make a full disk or a failing rename happen exactly when they want. One thread at a
// time. Plain C++ (no test framework), so the fuzzer can use it too.

#include <cstddef>
#include <limits>
#include <map>
#include <set>
#include <string>

#include "datafolder/Disk.h"

// Faults, set alone or all at once from a table.
struct DiskFaults {
    // Bytes that may still be written in all; a write past them fails as on a full disk.
    std::size_t writeRoom = std::numeric_limits<std::size_t>::max();
    bool failSync = false;
    // How many of the next moves fail for good, and how many after them fail as a file held by
    // another program does (Busy), before moves work again.
    int failMoves = 0;
    int busyMoves = 0;
    // Created as an empty file just before the next move: something else took the final name.
    std::string takeBeforeMove{};
    // Taken away (TakeAway) when a file is next flushed to the disk, as another receiver's
    // clean-up or a user might do just before BYE.
    std::string takeAwayOnSync{};
};

class MemoryDisk final : public Disk, public DiskFaults {
public:
    MemoryDisk() { directories_.insert(std::string(1, platform::kPathSeparator)); }

    // Every file's content by path, and every path ever created (files and directories).
    const std::map<std::string, std::string>& Files() const { return files_; }
    const std::set<std::string>& Created() const { return created_; }
    // Files marked read-only.
    const std::set<std::string>& ReadOnly() const { return readOnly_; }
    // Puts a file in place, as if something outside the receiver had written it.
    void Put(const std::string& path, const std::string& bytes) {
        files_[path] = bytes;
        identities_[path] = ++lastIdentity_;
    }
    // Deletes a file, or every file below a directory, that a writer may still have open, as
    // another program would: the writer keeps its data, but its name is gone.
    void TakeAway(const std::string& prefix);

    bool PathExists(const std::string& path) override {
        return files_.contains(path) || directories_.contains(path);
    }
    bool IsDirectory(const std::string& path) override { return directories_.contains(path); }
    bool MakeDirectory(const std::string& path) override;
    platform::FileOutcome CreateNew(const std::string& path,
                                    std::unique_ptr<DiskFile>* file) override;
    std::unique_ptr<DiskFile> OpenForReading(const std::string& path) override;
    bool SyncDirectory(const std::string&) override { return true; }

private:
    class OpenFile;
    bool ParentExists(const std::string& path) const;
    // A name is taken by a file, or by a directory of the same name.
    bool Taken(const std::string& path) const {
        return files_.contains(path) || directories_.contains(path + platform::kPathSeparator);
    }

    std::map<std::string, std::string> files_;
    std::set<std::string> directories_;
    std::set<std::string> created_;
    std::set<std::string> readOnly_;
    // Which file a name leads to: a file taken away and created again is another file.
    std::map<std::string, unsigned> identities_;
    unsigned lastIdentity_ = 0;
};
