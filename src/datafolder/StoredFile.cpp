#include "datafolder/StoredFile.h"

#include <algorithm>
#include <cstring>

namespace {

// The one place the rule is applied, to a look at names and to an open alike: the serial folder
// and the file's name, one level each, beneath the Data folder. Opens into `file` when given one.
bool Beneath(const std::string& dataFolder, const FileRecord& record, platform::File* file) {
    return file != nullptr
               ? file->OpenBeneath(dataFolder, {record.serial, record.fileName})
               : platform::PlainFileBeneath(dataFolder, {record.serial, record.fileName});
}

}  // namespace

std::optional<StoredFile> StoredFile::Open(const std::string& dataFolder, FileRecord record) {
    auto file = std::make_unique<platform::File>();
    if (!Beneath(dataFolder, record, file.get())) {
        return std::nullopt;
    }
    return StoredFile(std::move(record), std::move(file));
}

void ScanStoredFiles(const std::string& dataFolder, std::vector<FileRecord>& records) {
    ScanDataFolder(dataFolder, records);
    // Two looks at names per file, where the scan took one.
    records.erase(std::remove_if(records.begin(), records.end(),
                                 [&](const FileRecord& record) {
                                     return !Beneath(dataFolder, record, nullptr);
                                 }),
                  records.end());
}

bool StoredFile::HasLineEnds(char* buffer) {
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

LinesRead StoredFile::EachLine(const LineVisitor& visit) {
    return LinesFrom(0, [&](std::string_view line, std::uint64_t) {
        visit(line);
        return true;
    });
}

LinesRead StoredFile::LinesFrom(std::uint64_t from, const PlacedLineVisitor& visit) {
    LinesRead read;
    // Room for a megabyte read behind the start of a line not yet ended, which is never longer
    // than kMaxLineBytes: a longer one is visited cut as soon as it is, and the rest skipped.
    std::string buffer(kLineEndWithin + kMaxLineBytes, '\0');
    if (from == 0 && !HasLineEnds(buffer.data())) {
        read.unreadable = true;
        return read;
    }
    bool stopped = false;
    const auto emit = [&](std::string_view line, std::uint64_t at) {
        if (line.size() > kMaxLineBytes) {
            line = line.substr(0, kMaxLineBytes);
            read.cut = true;
        } else {
            line = WithoutCarriageReturn(line);
        }
        ++read.lines;
        stopped = !visit(line, at);
    };
    std::size_t held = 0;   // bytes of an unfinished line at the front of `buffer`
    bool skipping = false;  // within the rest of a line already visited cut
    std::uint64_t offset = std::min(from, kReadBudget);
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
                    emit(std::string_view(buffer.data(), held), offset - held);
                }
            }
            return read;
        }
        // The file offset of buffer[0].
        const std::uint64_t base = offset - held;
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
                emit(std::string_view(buffer.data() + start, stop - start), base + start);
                if (stopped) {
                    return read;
                }
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
            emit(std::string_view(buffer.data() + start, held), base + start);
            if (stopped) {
                return read;
            }
            skipping = true;
            held = 0;
        }
        std::memmove(buffer.data(), buffer.data() + start, held);
    }
}
