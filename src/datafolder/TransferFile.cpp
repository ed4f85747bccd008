#include "datafolder/TransferFile.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

void TransferFile::Attach(std::unique_ptr<DiskFile> file) {
    Discard();
    file_ = std::move(file);
    buffer_ = std::make_unique_for_overwrite<char[]>(kBufferSize);
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

void TransferFile::WriteOutSoFar() {
    // After one failed write the file has a hole; writing on would only hide where it is.
    if (used_ > shown_ && !writeFailed_ && !file_->Write(buffer_.get() + shown_, used_ - shown_)) {
        writeFailed_ = true;
    }
    sinceWriteBack_ += used_ - shown_;
    shown_ = used_;
}

void TransferFile::FlushBuffer() {
    WriteOutSoFar();
    used_ = 0;
    shown_ = 0;
    if (sinceWriteBack_ >= kWriteBackEvery && !writeFailed_) {
        file_->StartWriteBack();
        sinceWriteBack_ = 0;
    }
}

bool TransferFile::Commit() {
    FlushBuffer();
    return !writeFailed_ && file_->SyncToDisk();
}

bool TransferFile::CopyTo(DiskFile& target) {
    for (std::uint64_t offset = 0;;) {
        const long n = file_->ReadAt(offset, buffer_.get(), kBufferSize);
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            return target.SyncToDisk();
        }
        if (!target.Write(buffer_.get(), static_cast<std::size_t>(n))) {
            return false;
        }
        offset += static_cast<std::uint64_t>(n);
    }
}

void TransferFile::ReadPiece(char (&piece)[kPieceSize]) {
    std::memset(piece, 0, kPieceSize);
    std::size_t length = 0;
    while (length < kPieceSize - 1) {
        if (offset_ == used_) {
            if (atEnd_) {
                break;
            }
            const long n = file_->Read(buffer_.get(), kBufferSize);
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
    file_.reset();
    buffer_.reset();
    used_ = 0;
    shown_ = 0;
    offset_ = 0;
    atEnd_ = false;
    writeFailed_ = false;
    sinceWriteBack_ = 0;
}
