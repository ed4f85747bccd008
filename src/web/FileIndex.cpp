#include "web/FileIndex.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "web/CsvLines.h"
#include "web/Reply.h"

namespace {

// The path with every link and ".." resolved; empty when it does not lead anywhere.
std::string Resolved(const std::string& path) {
    char* real = ::realpath(path.c_str(), nullptr);
    if (real == nullptr) {
        return {};
    }
    std::string result(real);
    std::free(real);
    return result;
}

}  // namespace

ListedFile::~ListedFile() {
    if (fd >= 0) {
        ::close(fd);
    }
}

ListedFile::ListedFile(ListedFile&& other) noexcept
    : record(std::move(other.record)), fd(other.fd), size(other.size) {
    other.fd = -1;
}

int ListedFile::Release() {
    const int released = fd;
    fd = -1;
    return released;
}

std::size_t ListedFile::EachLine(const std::function<void(std::string_view)>& visit) const {
    std::string buffer(1 << 20, '\0');
    std::size_t held = 0;  // bytes of an unfinished line at the front of `buffer`
    std::uint64_t offset = 0;
    std::size_t count = 0;
    for (;;) {
        if (held == buffer.size()) {
            buffer.resize(buffer.size() * 2);  // a line longer than the buffer
        }
        const ssize_t n =
            ::pread(fd, buffer.data() + held, buffer.size() - held, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (held > 0) {
                visit(WithoutCarriageReturn(std::string_view(buffer.data(), held)));
                ++count;
            }
            return count;
        }
        offset += static_cast<std::uint64_t>(n);
        const std::size_t end = held + static_cast<std::size_t>(n);
        std::size_t start = 0;
        while (const void* found = std::memchr(buffer.data() + start, '\n', end - start)) {
            const auto stop =
                static_cast<std::size_t>(static_cast<const char*>(found) - buffer.data());
            visit(WithoutCarriageReturn(std::string_view(buffer.data() + start, stop - start)));
            ++count;
            start = stop + 1;
        }
        std::memmove(buffer.data(), buffer.data() + start, end - start);
        held = end - start;
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
    // The scan follows links, as the File Transfers window does; serving does not follow one
    // out of the Data folder.
    const std::string root = Resolved(dataFolder_);
    const std::string path = Resolved(dataFolder_ + record.serial + '/' + record.fileName);
    if (root.empty() || path.size() <= root.size() + 1 || path.compare(0, root.size(), root) != 0 ||
        path[root.size()] != '/') {
        return std::nullopt;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY);
    if (fd < 0) {
        return std::nullopt;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    return ListedFile(std::move(record), fd, static_cast<std::uint64_t>(st.st_size));
}
