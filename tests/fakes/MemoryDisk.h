#pragma once

// A file system in memory, for the store's seam: the fuzzer runs without touching the disk, and
// tests make a full disk or a failing rename happen exactly when they want. Safe to share
// between threads. Plain C++ (no test framework), so the fuzzer can use it too.

#include <cstddef>
#include <limits>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "transfer/Disk.h"

class MemoryDisk final : public Disk {
public:
    // Faults. Bytes that may still be written in all; a write past them fails as on a full disk.
    std::size_t writeRoom = std::numeric_limits<std::size_t>::max();
    bool failSync = false;
    bool failMove = false;
    // Created as a plain file by the next move, just before it happens: something else took
    // the final name.
    std::string takeBeforeMove;

    MemoryDisk();

    // Every file's content by path.
    std::map<std::string, std::string> Files() const;
    // Every path ever created, files and directories.
    std::set<std::string> Created() const;

    bool PathExists(const std::string& path) override;
    bool IsDirectory(const std::string& path) override;
    bool MakeDirectory(const std::string& path) override;
    platform::FileOutcome CreateNew(const std::string& path,
                                    std::unique_ptr<DiskFile>* file) override;
    std::unique_ptr<DiskFile> OpenForReading(const std::string& path) override;
    platform::FileOutcome MoveNoReplace(const std::string& from, const std::string& to) override;
    bool RemoveFile(const std::string& path) override;
    bool SyncDirectory(const std::string&) override { return true; }

    // Puts a file in place, as if something outside the receiver had written it.
    void Put(const std::string& path, const std::string& bytes);

private:
    class OpenFile;
    bool ParentExists(const std::string& path) const;

    mutable std::mutex mutex_;
    std::map<std::string, std::string> files_;
    std::set<std::string> directories_;
    std::set<std::string> created_;
};
