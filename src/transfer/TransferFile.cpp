#include "transfer/TransferFile.h"

#include <algorithm>
#include <cstring>

bool TransferFile::CreateNew(const std::string& filePath) {
    Close();
    if (!file_.CreateNew(filePath)) {
        return false;
    }
    buffer_ = std::make_unique_for_overwrite<char[]>(kBufferSize);
    writing_ = true;
    return true;
}

bool TransferFile::OpenForReading(const std::string& filePath) {
    Close();
    if (!file_.OpenForReading(filePath)) {
        return false;
    }
    buffer_ = std::make_unique_for_overwrite<char[]>(kBufferSize);
    return true;
}

void TransferFile::AppendPastBuffer(std::string_view bytes) {
    // The buffer is filled to the brim before it is written, so that every write is one whole,
    // aligned buffer: the page cache then holds the file in large pieces, which costs less to
    // fill and to write back than small ones.
    while (!bytes.empty()) {
        const std::size_t part = std::min(kBufferSize - used_, bytes.size());
        std::memcpy(buffer_.get() + used_, bytes.data(), part);
        used_ += part;
        bytes.remove_prefix(part);
        if (used_ == kBufferSize) {
            FlushBuffer();
        }
    }
}

bool TransferFile::FlushBuffer() {
    const bool ok = used_ == 0 || file_.Write(buffer_.get(), used_);
    sinceWriteBack_ += used_;
    used_ = 0;
    if (sinceWriteBack_ >= kWriteBackEvery) {
        file_.StartWriteBack();
        sinceWriteBack_ = 0;
    }
    return ok;
}

bool TransferFile::Commit() {
    const bool written = FlushBuffer();
    return file_.SyncToDisk() && written;
}

void TransferFile::ReadPiece(char (&piece)[kPieceSize]) {
    std::memset(piece, 0, kPieceSize);
    std::size_t length = 0;
    while (length < kPieceSize - 1) {
        if (offset_ == used_) {
            if (atEnd_) {
                break;
            }
            const long n = file_.Read(buffer_.get(), kBufferSize);
            offset_ = 0;
            used_ = n > 0 ? static_cast<std::size_t>(n) : 0;
            // A read error ends the image just as the end of the file does.
            if (n <= 0) {
                atEnd_ = true;
                break;
            }
        }
        const char byte = buffer_[offset_++];
        piece[length++] = byte;
        if (byte == '\n') {
            break;
        }
    }
}

void TransferFile::Discard() {
    used_ = 0;
    Close();
}

void TransferFile::Close() {
    if (writing_) {
        FlushBuffer();
    }
    file_.Close();
    buffer_.reset();
    used_ = 0;
    offset_ = 0;
    atEnd_ = false;
    writing_ = false;
    sinceWriteBack_ = 0;
}
