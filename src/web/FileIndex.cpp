#include "web/FileIndex.h"

#include <algorithm>
#include <cstring>

#include "web/Reply.h"

bool ListedFile::HasLineEnds(char* buffer) {
    if (size <= kLineEndWithin) {
        return true;
    }
    std::size_t got = 0;
    while (got < kLineEndWithin) {
        const long n = file_->ReadAt(got, buffer + got, kLineEndWithin - got);
        if (n <= 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    return got < kLineEndWithin || std::memchr(buffer, '\n', got) != nullptr;
}

LinesRead ListedFile::EachLine(const LineVisitor& visit) {
    LinesRead read;
    // Room for a megabyte read behind the start of a line not yet ended, which is never longer
    // than kMaxLineBytes: a longer one is visited cut as soon as it is, and the rest skipped.
    std::string buffer(kLineEndWithin + kMaxLineBytes, '\0');
    if (!HasLineEnds(buffer.data())) {
        read.unreadable = true;
        return read;
    }
    const auto emit = [&](std::string_view line) {
        if (line.size() > kMaxLineBytes) {
            line = line.substr(0, kMaxLineBytes);
            read.cut = true;
        } else {
            line = WithoutCarriageReturn(line);
        }
        visit(line);
        ++read.lines;
    };
    std::size_t held = 0;   // bytes of an unfinished line at the front of `buffer`
    bool skipping = false;  // within the rest of a line already visited cut
    std::uint64_t offset = 0;
    for (;;) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(kLineEndWithin, kReadBudget - offset));
        const long n = want == 0 ? 0 : file_->ReadAt(offset, buffer.data() + held, want);
        if (n <= 0) {
            char more = 0;
            if (want == 0 && file_->ReadAt(offset, &more, 1) > 0) {
                read.partial = true;  // the unfinished line goes on past the budget
            } else if (held > 0 && !skipping) {
                if (read.lines == kReadLines) {
                    read.partial = true;
                } else {
                    emit(std::string_view(buffer.data(), held));
                }
            }
            return read;
        }
        offset += static_cast<std::uint64_t>(n);
        const std::size_t end = held + static_cast<std::size_t>(n);
        std::size_t start = 0;
        while (const void* found = std::memchr(buffer.data() + start, '\n', end - start)) {
            const auto stop =
                static_cast<std::size_t>(static_cast<const char*>(found) - buffer.data());
            if (!skipping) {
                if (read.lines == kReadLines) {
                    read.partial = true;
                    return read;
                }
                emit(std::string_view(buffer.data() + start, stop - start));
            }
            skipping = false;
            start = stop + 1;
        }
        held = skipping ? 0 : end - start;
        if (held > kMaxLineBytes) {
            if (read.lines == kReadLines) {
                read.partial = true;
                return read;
            }
            emit(std::string_view(buffer.data() + start, held));
            skipping = true;
            held = 0;
        }
        std::memmove(buffer.data(), buffer.data() + start, held);
    }
}

FileIndex::FileIndex(std::string dataFolder) : dataFolder_(std::move(dataFolder)) {}

std::vector<FileRecord> FileIndex::Scan() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stale_ || Clock::now() - scannedAt_ > kListLifetime) {
        RescanLocked();
    }
    return records_;
}

void FileIndex::Changed() {
    stale_ = true;
}

void FileIndex::RescanLocked() {
    // Cleared first: a file announced while the scan runs marks the list stale again.
    stale_ = false;
    ScanDataFolder(dataFolder_, records_);
    // The scan follows links, as the File Transfers window does; the page lists only what it
    // would serve. Two looks at names per file, where the scan took one.
    records_.erase(
        std::remove_if(
            records_.begin(), records_.end(),
            [&](const FileRecord& record) {
                return !platform::PlainFileBeneath(dataFolder_, {record.serial, record.fileName});
            }),
        records_.end());
    scannedAt_ = Clock::now();
}

namespace {

// The list shows a name that is not UTF-8 with U+FFFD for its stray bytes, and the page can
// only ask for the name as shown; such a request matches the name it was shown for.
bool SameName(const std::string& listed, std::string_view asked) {
    if (listed == asked) {
        return true;
    }
    return asked.find("\xEF\xBF\xBD") != std::string_view::npos &&
           nlohmann::json::parse(JsonText(listed)).get<std::string>() == asked;
}

}  // namespace

const FileRecord* FileIndex::FindLocked(std::string_view dir, std::string_view name) const {
    for (const FileRecord& record : records_) {
        if (SameName(record.serial, dir) && SameName(record.fileName, name)) {
            return &record;
        }
    }
    return nullptr;
}

std::optional<ListedFile> FileIndex::Open(std::string_view dir, std::string_view name) {
    FileRecord record;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stale_ || Clock::now() - scannedAt_ > kScanLifetime) {
            RescanLocked();
        }
        const FileRecord* found = FindLocked(dir, name);
        if (found == nullptr && Clock::now() - scannedAt_ > kRescanAfterMiss) {
            RescanLocked();
            found = FindLocked(dir, name);
        }
        if (found == nullptr) {
            return std::nullopt;
        }
        record = *found;
    }
    auto file = std::make_unique<platform::File>();
    if (!file->OpenBeneath(dataFolder_, {record.serial, record.fileName})) {
        return std::nullopt;
    }
    return ListedFile(std::move(record), std::move(file));
}
