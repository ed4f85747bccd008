#pragma once

// The file operations the store needs, as one seam. The receiver uses the real file system
// (SystemDisk); tests and the fuzzer put an in-memory one in its place, to make faults such as
// a full disk or a failing rename happen on demand, and to run without touching the disk.
// Implementations are used from many worker threads at once.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/FileSystem.h"

// One open file. Destroying it closes it, waiting for a background flush still running.
class DiskFile {
public:
    virtual ~DiskFile() = default;
    // Writes all bytes or reports failure.
    [[nodiscard]] virtual bool Write(const void* data, std::size_t size) = 0;
    // Bytes read, 0 at the end of the file, -1 on failure.
    virtual long Read(void* buffer, std::size_t size) = 0;
    // Waits until what was written is on the disk; false if any of it may have been lost.
    [[nodiscard]] virtual bool SyncToDisk() = 0;
    // Starts a flush without waiting for it, so that a later SyncToDisk has little left to do.
    virtual void StartWriteBack() = 0;
    // Gives the file another name; never replaces `to`: Taken leaves both names as they were.
    // Busy is a failure that may pass (another program has the file open). Nothing is written
    // after it: the file may be closed by it (platform::File::MoveTo).
    [[nodiscard]] virtual platform::FileOutcome MoveTo(const std::string& to) = 0;
    // Renames the file to a name only its writer can be using, replacing whatever has it.
    [[nodiscard]] virtual platform::FileOutcome MoveOver(const std::string& to) = 0;
    // Whether the file's name still leads to this open file.
    virtual bool StillNamed() = 0;
    // Reads from `offset` of a file created for writing: bytes read, 0 at the end, -1 on failure.
    virtual long ReadAt(std::uint64_t offset, void* buffer, std::size_t size) = 0;
    // The size and last-write time (DirectoryEntry's units) the file has now.
    virtual std::uint64_t Size() = 0;
    virtual std::uint64_t LastWrite() = 0;
    // Deletes the file and closes it.
    virtual bool Remove() = 0;
    // Makes the file read-only and closes it: a clean-up leaves it alone where the mark holds.
    virtual bool MarkReadOnly() = 0;
};

class Disk {
public:
    virtual ~Disk() = default;
    virtual bool PathExists(const std::string& path) = 0;
    virtual bool IsDirectory(const std::string& path) = 0;
    virtual bool MakeDirectory(const std::string& path) = 0;
    // Creates `path` exclusively, held by the new file for as long as it is open; Taken when
    // anything of that name exists already.
    [[nodiscard]] virtual platform::FileOutcome CreateNew(const std::string& path,
                                                          std::unique_ptr<DiskFile>* file) = 0;
    // Null when the file cannot be opened.
    virtual std::unique_ptr<DiskFile> OpenForReading(const std::string& path) = 0;
    // Makes a rename inside `directory` durable.
    virtual bool SyncDirectory(const std::string& directory) = 0;
};

// The real file system, through platform/.
Disk& SystemDisk();
