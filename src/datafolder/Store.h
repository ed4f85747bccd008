#pragma once

// The received-file store. Layout of the Data folder:
// <Data folder><serial directory><sep>YYMMDD-HHMMSS[-N].tmp while a file is received, .csv once
// the instrument has ended it, .kept (or a read-only .tmp) for complete data that could not be
// given its .csv name. Same-second names go on -2, -3... without end. A Store belongs to one link
// and is used by its thread only; links share nothing but the directories, which other receivers
// may share too: every name goes to one writer, and a live file is held by it (platform::File).

#include <cstdint>
#include <string>
#include <string_view>

#include "datafolder/Disk.h"
#include "datafolder/TransferFile.h"
#include "platform/Clock.h"

struct ReceivedFile;

// Told of a data file on both sides of the rename that finishes it, on the link's thread and
// before the instrument is acknowledged. A forwarder that must hand on every finished file makes
// its record durable in between: a crash at any instant then leaves no .csv it does not know of.
class FinishJournal {
public:
    // `made` describes the file as it will be once named (folder, name, path, size, received).
    // Returns once the record is on the disk.
    virtual void Intend(const ReceivedFile& made) = 0;
    // The rename is done and `made` describes the file, whose name may differ from the one
    // intended; or the file was not finished, and `made` is null.
    virtual void Settle(const ReceivedFile& intended, const ReceivedFile* made) = 0;

protected:
    ~FinishJournal() = default;
};

// Where and how files are stored. Settled once at start-up, before any link exists, and only
// read afterwards; it must outlive every link.
struct StoreConfig {
    std::string dataFolder;    // full path, always ending in the path separator
    std::string firmwarePath;  // image sent on BOOT; empty refuses every BOOT
    const platform::Clock* clock = &platform::SystemClock();  // names files after its UTC time
    Disk* disk = &SystemDisk();
    FinishJournal* journal = nullptr;  // none when nothing is forwarded
};

// Longest temporary path we create; a longer one refuses the transfer instead of being cut.
inline constexpr std::size_t kMaxDataPath = 255;

// A file the store finished: what front ends show of it and what a forwarder hands on. The
// store fills in where and what it is; the transfer adds who sent it and how many readings.
struct ReceivedFile {
    std::string folder;           // the serial directory's name
    std::string name;             // the file's own name, ".csv" included
    std::string path;             // the whole path
    std::uint64_t size = 0;       // bytes
    std::uint64_t lastWrite = 0;  // as the scan gives it (FileRecord::lastWrite)
    std::int64_t received = 0;    // when it was finished, seconds since 1970 UTC
    std::string serial;           // as the instrument sent it
    std::uint32_t lineCount = 0;
};

enum class OpenOutcome { Opened, DirectoryFailed, FileFailed };
// Lost: the data could be neither named nor kept; nothing of it is on the disk.
enum class FinishOutcome { Finished, WriteFailed, RenameFailed, Lost };

class Store {
public:
    explicit Store(const StoreConfig& storeConfig) : config_(storeConfig) {}

    // Makes the serial directory and creates the temporary data file, under a name no other
    // file has or is about to get.
    [[nodiscard]] OpenOutcome OpenDataFile(std::string_view serial);
    [[nodiscard]] bool OpenFirmware();
    bool IsOpen() const { return file_.IsOpen(); }
    // The temporary data file, the firmware image, or after FinishDataFile the final name.
    const std::string& Path() const { return path_; }

    // False once the data file can no longer hold everything it was given.
    [[nodiscard]] bool WriteDataLine(std::string_view text) { return file_.AppendLine(text); }
    void ReadPiece(char (&piece)[TransferFile::kPieceSize]) { file_.ReadPiece(piece); }
    // Writes out the lines given so far, for whoever reads the temporary file meanwhile.
    void WriteOutSoFar() { file_.WriteOutSoFar(); }
    // The open data file's serial directory, own name and whole path, into `sofar`.
    void NameDataFile(ReceivedFile& sofar) const;

    // Puts the data on the disk, then gives the file its final name. A file whose data may be
    // incomplete is deleted (WriteFailed): it must never look finished. Complete data that cannot
    // be named is kept (RenameFailed), and Path() says where. Once Finished, `made` describes
    // the file.
    [[nodiscard]] FinishOutcome FinishDataFile(ReceivedFile& made);
    // Whether the last FinishDataFile found its file taken away and wrote the data out again.
    bool Rewritten() const { return rewritten_; }
    // Closes the data file and deletes it: the transfer was broken off.
    void DeleteDataFile() { file_.Remove(); }
    // Closes the firmware image, which is only ever read.
    void CloseFirmware() { file_.Discard(); }

private:
    // Creates the first free name of `baseName`'s second, setting `number_` and `path_`.
    std::unique_ptr<DiskFile> ReserveDataFile(const std::string& baseName);
    bool WriteAgain();
    // Whether a name of this second is free to become a final name: neither a .csv nor kept
    // data has it.
    bool FinalNameFree(const std::string& name) const;
    FinishOutcome KeepData();
    // "<base>" for the first file of a second, "<base>-N" for the next ones.
    std::string NumberedName(int n) const;

    const StoreConfig& config_;
    std::string base_;  // serial directory and YYMMDD-HHMMSS of the open data file
    int number_ = 1;    // which of the second's names it has
    std::string path_;
    TransferFile file_;
    bool rewritten_ = false;
};

// Creates every missing directory named by a prefix of `path` that ends in the separator. True
// when all of them are directories afterwards; text after the last separator is never created.
[[nodiscard]] bool MakePath(const std::string& path, Disk& disk = SystemDisk());

// The directory name under which a serial number's files are kept. Ordinary serials stay as they
// are; anything that could leave the Data folder, name a device or be altered by the file system
// is %XX-encoded, reversibly.
std::string SerialDirectoryName(std::string_view serial);
// The serial number a directory of the Data folder holds the files of: the inverse of
// SerialDirectoryName ("%00" is the empty serial). A name the store would never have given is
// returned as it is.
std::string SerialFromDirectoryName(std::string_view directory);

// Deletes the temporary files a crash left in the serial directories, but none that a receiver
// still writes (this one's other links, or another receiver on the same folder, seen by its lock
// or, where locks do not reach, by the file having changed within the hour) and none kept
// read-only. Run at start-up and hourly; returns how many were deleted.
int RemoveLeftoverTempFiles(const std::string& dataFolder);
