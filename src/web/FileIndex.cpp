#include "web/FileIndex.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

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

bool ListedFile::ReadAll(std::string& bytes, std::uint64_t limit) const {
    if (size > limit) {
        return false;
    }
    bytes.resize(size);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n =
            ::pread(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            break;  // cut short since it was opened: serve what is there
        }
        done += static_cast<std::size_t>(n);
    }
    bytes.resize(done);
    return true;
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
