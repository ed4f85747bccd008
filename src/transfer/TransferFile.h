#pragma once

// The file behind a transfer: a received data file being written, or a firmware image being read
// piece by piece. Buffers in memory so that a line costs no system call of its own.

#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "platform/FileSystem.h"

class TransferFile {
public:
    // Size of one firmware piece buffer, terminating NUL included.
    static constexpr std::size_t kPieceSize = 256;

    bool CreateNew(const std::string& filePath);
    bool OpenForReading(const std::string& filePath);
    bool IsOpen() const { return file_.IsOpen(); }

    // Buffers one line and the CR LF that ends it, for a file made with CreateNew. A failing
    // write does not stop the transfer: the instrument cannot be told, and the rest of the file
    // may still get through.
    void AppendLine(std::string_view text) {
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
    }
    // Writes out the buffer and waits until the data is on the disk.
    bool Commit();
    // Fills `piece` like fgets: cleared to zero, then at most 255 bytes, ending after a line feed
    // or at the end of the file. An empty piece (first byte 0) means nothing more to read.
    void ReadPiece(char (&piece)[kPieceSize]);
    // Closes without writing out what is still buffered: for a file about to be deleted.
    void Discard();
    void Close();

private:
    static constexpr std::size_t kBufferSize = 64 * 1024;
    // A large file is handed to the disk while it still arrives, so that the wait for the disk
    // at its end stays short.
    static constexpr std::size_t kWriteBackEvery = 4 * 1024 * 1024;

    void AppendPastBuffer(std::string_view bytes);
    bool FlushBuffer();

    platform::File file_;
    std::unique_ptr<char[]> buffer_;
    std::size_t used_ = 0;    // bytes buffered for writing, or read ahead and not yet handed out
    std::size_t offset_ = 0;  // reading: first byte in the buffer not yet handed out
    bool atEnd_ = false;      // reading: the file has nothing more to give
    bool writing_ = false;    // opened by CreateNew
    std::size_t sinceWriteBack_ = 0;  // bytes written since the last write-back hint
};
