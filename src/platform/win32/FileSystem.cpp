#include "platform/FileSystem.h"

#include <windows.h>

namespace platform {
namespace {

HANDLE AsHandle(long long handle) {
    return reinterpret_cast<HANDLE>(static_cast<INT_PTR>(handle));
}

long long FromHandle(HANDLE handle) {
    return handle == INVALID_HANDLE_VALUE
               ? -1
               : static_cast<long long>(reinterpret_cast<INT_PTR>(handle));
}

FileOutcome FailureOutcome() {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? FileOutcome::Taken
                                                                       : FileOutcome::Failed;
}

// A virus scanner, an indexer or a backup that has the file open without delete sharing holds
// off a rename only for as long as it reads.
FileOutcome MoveFailureOutcome() {
    const DWORD error = GetLastError();
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED ||
                   error == ERROR_LOCK_VIOLATION
               ? FileOutcome::Busy
               : FailureOutcome();
}

}  // namespace

// The cache manager already writes behind, so nothing runs beside the writer here.
struct File::BackgroundSync {};

File::File() = default;

File::~File() {
    Close();
}

bool PathExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool TargetExists(const std::string& path) {
    // Serial ports are named directly on Windows ("COM7"), never through links, and opening the
    // target to follow one would seize an exclusive port: the name is enough.
    return PathExists(path);
}

bool IsDirectory(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool MakeDirectory(const std::string& path) {
    return CreateDirectoryA(path.c_str(), nullptr) != 0;
}

FileOutcome MoveFileNoReplace(const std::string& from, const std::string& to) {
    // Without MOVEFILE_REPLACE_EXISTING the move fails when `to` exists.
    return MoveFileA(from.c_str(), to.c_str()) != 0 ? FileOutcome::Done : MoveFailureOutcome();
}

bool RemoveFile(const std::string& path) {
    return DeleteFileA(path.c_str()) != 0;
}

bool RemoveUnlessHeld(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        return false;
    }
    // A writer's handle denies delete sharing: while any receiver, on this machine or across the
    // network, has the file open, the delete fails with a sharing violation and the file stays.
    return DeleteFileA(path.c_str()) != 0;
}

bool RemoveEmptyDirectory(const std::string& path) {
    return RemoveDirectoryA(path.c_str()) != 0;
}

bool SyncDirectory(const std::string&) {
    // NTFS journals the rename itself; there is no directory handle to flush.
    return true;
}

bool ListDirectory(const std::string& directory,
                   const std::function<void(const DirectoryEntry&)>& visit) {
    std::string pattern = directory;
    if (!pattern.empty() && pattern.back() != '\\' && pattern.back() != '/') {
        pattern += '\\';
    }
    pattern += '*';
    WIN32_FIND_DATAA data;
    // The basic information level skips the 8.3 short names nobody here reads, and the large
    // fetch asks for more entries per call into the file system.
    HANDLE find = FindFirstFileExA(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                   nullptr, FIND_FIRST_EX_LARGE_FETCH);
    if (find == INVALID_HANDLE_VALUE) {
        return false;
    }
    do {
        const char* name = data.cFileName;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) {
            continue;
        }
        DirectoryEntry entry{name, EntryKind::File, false, 0, 0};
        entry.isLink = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            entry.kind = EntryKind::Directory;
        } else {
            entry.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
            entry.lastWrite =
                (static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                data.ftLastWriteTime.dwLowDateTime;
        }
        visit(entry);
    } while (FindNextFileA(find, &data));
    FindClose(find);
    return true;
}

FileOutcome File::CreateNew(const std::string& path) {
    Close();
    // Others may read the file while it grows (a virus scanner must), but neither write nor
    // delete it: the sharing mode is what keeps another receiver's clean-up away from it. Created
    // and opened in one call, so there is no moment at which it is nobody's.
    handle_ = FromHandle(CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                     CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    path_ = path;
    return IsOpen() ? FileOutcome::Done : FailureOutcome();
}

FileOutcome File::MoveTo(const std::string& to) {
    // A rename needs delete access, which our handle denies to every other opener, the rename
    // itself included: the handle goes first. The file is nobody's only for the moment between
    // the close and the move; a reader that holds it meanwhile keeps clean-ups away as our handle
    // did.
    Close();
    const FileOutcome moved = MoveFileNoReplace(path_, to);
    if (moved == FileOutcome::Done) {
        path_ = to;
    }
    return moved;
}

bool File::Remove() {
    Close();
    return DeleteFileA(path_.c_str()) != 0;
}

bool File::MarkReadOnly() {
    // Changing attributes is not subject to sharing: this works while a reader holds the file.
    Close();
    const DWORD attributes = GetFileAttributesA(path_.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           SetFileAttributesA(path_.c_str(),
                              (attributes & ~FILE_ATTRIBUTE_NORMAL) | FILE_ATTRIBUTE_READONLY) != 0;
}

bool File::OpenForReading(const std::string& path) {
    Close();
    handle_ = FromHandle(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    path_ = path;
    return IsOpen();
}

bool File::Write(const void* data, std::size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(AsHandle(handle_), bytes, chunk, &written, nullptr) || written == 0) {
            return false;
        }
        bytes += written;
        size -= written;
    }
    return true;
}

long File::Read(void* buffer, std::size_t size) {
    const DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    DWORD read = 0;
    if (!ReadFile(AsHandle(handle_), buffer, chunk, &read, nullptr)) {
        return -1;
    }
    return static_cast<long>(read);
}

bool File::SyncToDisk() {
    return FlushFileBuffers(AsHandle(handle_)) != 0;
}

void File::StartWriteBack() {
    // The cache manager writes behind on its own; FlushFileBuffers would wait.
}

void File::Close() {
    if (IsOpen()) {
        CloseHandle(AsHandle(handle_));
        handle_ = kInvalid;
    }
}

}  // namespace platform
