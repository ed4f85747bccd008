#pragma once

// The file behind a transfer: a received data file being written, or a firmware image being read
// piece by piece. Buffers in memory so that a line costs no system call of its own.

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "datafolder/Disk.h"

class TransferFile {
public:
    // Size of one firmware piece buffer, terminating NUL included.
    static constexpr std::size_t kPieceSize = 256;

    // Takes a file just created for writing, or opened for reading.
    void Attach(std::unique_ptr<DiskFile> file);
    bool IsOpen() const { return file_ != nullptr; }

    // Buffers one line and the CR LF that ends it. False once any write of this file has failed:
    // the file can then no longer become what the instrument sent.
    bool AppendLine(std::string_view text) {
        if (used_ + text.size() + 2 <= kBufferSize) {
            char* to = buffer_.get() + used_;
            std::memcpy(to, text.data(), text.size());
            to[text.size()] = '\r';
            to[text.size() + 1] = '\n';
            used_ += text.size() + 2;
        } else {
            AppendPastBuffer(text);
            AppendPastBuffer("\r\n");
        }
        return !writeFailed_;
    }
    // Writes out the lines buffered so far, so that whoever reads the file meanwhile finds them.
    // They stay in the buffer too: the write that empties it still ends where a full buffer's
    // would, so the writes that follow keep their whole, aligned size.
    void WriteOutSoFar();
    // Writes out the buffer and waits until the data is on the disk. False if any byte of the
    // file may be missing.
    bool Commit();
    // Fills `piece` like fgets: cleared to zero, then at most 255 bytes, ending after a line feed
    // or at the end of the file. An empty piece (first byte 0) means nothing more to read.
    void ReadPiece(char (&piece)[kPieceSize]);
    // Closes without writing out what is still buffered: for a file already committed, or one
    // only read.
    void Discard();
    // A committed file's new name (DiskFile::MoveTo, DiskFile::MoveOver).
    platform::FileOutcome MoveTo(const std::string& to) { return file_->MoveTo(to); }
    platform::FileOutcome MoveOver(const std::string& to) { return file_->MoveOver(to); }
    // A committed file's size and last-write time (DiskFile::Size, DiskFile::LastWrite).
    std::uint64_t Size() { return file_->Size(); }
    std::uint64_t LastWrite() { return file_->LastWrite(); }
    // Whether the committed file still has the name it was given.
    bool StillNamed() { return file_->StillNamed(); }
    // Writes everything the committed file holds into `target` and puts it on the disk there:
    // the way back for data whose file was taken away while it was open.
    bool CopyTo(DiskFile& target);
    // Deletes the file, whatever is still buffered, and closes it.
    void Remove() {
        if (file_) {
            file_->Remove();
        }
        Discard();
    }
    // Marks a committed file read-only and closes it.
    void KeepReadOnly() {
        file_->MarkReadOnly();
        Discard();
    }

private:
    static constexpr std::size_t kBufferSize = 64 * 1024;
    // A large file is handed to the disk while it still arrives, so that the wait for the disk
    // at its end stays short.
    static constexpr std::size_t kWriteBackEvery = 4 * 1024 * 1024;

    void AppendPastBuffer(std::string_view bytes);
    void FlushBuffer();

    std::unique_ptr<DiskFile> file_;
    std::unique_ptr<char[]> buffer_;
    std::size_t used_ = 0;      // bytes buffered for writing, or read ahead and not yet handed out
    std::size_t shown_ = 0;     // writing: bytes at the buffer's front already written out
    std::size_t offset_ = 0;    // reading: first byte in the buffer not yet handed out
    bool atEnd_ = false;        // reading: the file has nothing more to give
    bool writeFailed_ = false;  // a write of this file failed: its content is incomplete
    std::size_t sinceWriteBack_ = 0;  // bytes written since the last write-back hint
};
