#pragma once

// A received file read back: opened beneath the Data folder and read as lines within the bounds
// of CsvLines.h.
//
// Reading follows one rule, kept here and nowhere else: nothing below the Data folder is reached
// through a link (or any other reparse point), and only a regular file with a single name is
// read. The Data folder's own path is the user's and may lead anywhere; but a link inside it, or
// a second name of a file kept elsewhere, would let whoever can write there have any file of the
// reader's read out. The scan itself follows links, as the File Transfers window shows them;
// ScanStoredFiles leaves out what would not be read.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "datafolder/CsvLines.h"
#include "datafolder/Scan.h"
#include "platform/FileSystem.h"

// Read through its handle only: whatever its names come to lead to afterwards, the bytes are
// those of the file that was opened.
class StoredFile {
public:
    // The file `record` names inside `dataFolder`; nothing when the rule refuses it or it is gone.
    [[nodiscard]] static std::optional<StoredFile> Open(const std::string& dataFolder,
                                                        FileRecord record);

    // Calls `visit` for each line (see CsvLines.h) of the file's first kReadBudget bytes, a
    // piece at a time, with lines cut to kMaxLineBytes: whatever the file holds, the memory
    // used stays near a megabyte. A read that fails ends the file there.
    [[nodiscard]] LinesRead EachLine(const LineVisitor& visit);
    // The same from byte `from` on (the start of a line, as a visit gave it), each line with its
    // offset, until `visit` returns false. The budgets count from the file's start in bytes and
    // from `from` in lines. The line-end rule is the start's: a later piece is not looked at again.
    [[nodiscard]] LinesRead LinesFrom(std::uint64_t from, const PlacedLineVisitor& visit);
    // Hands the open file over; the StoredFile reads no more.
    [[nodiscard]] std::unique_ptr<platform::File> TakeFile() { return std::move(file_); }

    FileRecord record;
    std::uint64_t size;  // full size, not cut to 32 bits

private:
    StoredFile(FileRecord listed, std::unique_ptr<platform::File> opened)
        : record(std::move(listed)), size(opened->Size()), file_(std::move(opened)) {}
    // Whether the file has a line end in its first kLineEndWithin bytes, or is no longer.
    bool HasLineEnds(char* buffer);

    std::unique_ptr<platform::File> file_;
};

// What ScanDataFolder lists, less the files StoredFile::Open would refuse, judged from their
// names without opening them: a list that offers only what can be read. Something swapped in
// afterwards is still refused by Open itself.
void ScanStoredFiles(const std::string& dataFolder, std::vector<FileRecord>& records);
