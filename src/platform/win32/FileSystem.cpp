#include "platform/FileSystem.h"

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

#include "platform/win32/SystemText.h"

namespace platform {
namespace {

// The Windows SDK's value; MinGW's headers lack it.

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

// A FILETIME as one number of 100-ns intervals.
std::uint64_t Ticks(const FILETIME& time) {
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// Renames the file open as `handle`, which has delete access, through the handle itself: the file
// is ours throughout, and no other file that takes the old name meanwhile can be moved instead.
FileOutcome RenameOpenFile(HANDLE handle, const std::string& to, bool replace) {
    const int characters = MultiByteToWideChar(CP_ACP, 0, to.c_str(), -1, nullptr, 0);
    if (characters <= 0) {
        return FileOutcome::Failed;
    }
    // The name is a variable-length tail of the structure. Its length is given in bytes without
    // the terminating zero, but the zero is kept: Wine converts the name as a zero-ended string.
    const std::size_t size =
        offsetof(FILE_RENAME_INFO, FileName) + static_cast<std::size_t>(characters) * sizeof(WCHAR);
    std::vector<std::uint64_t> storage((size + sizeof(std::uint64_t) - 1) / sizeof(std::uint64_t));
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(storage.data());
    info->ReplaceIfExists = replace ? TRUE : FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>((characters - 1) * sizeof(WCHAR));
    MultiByteToWideChar(CP_ACP, 0, to.c_str(), -1, info->FileName, characters);
    return SetFileInformationByHandle(handle, FileRenameInfo, info, static_cast<DWORD>(size)) != 0
               ? FileOutcome::Done
               : MoveFailureOutcome();
}

// Marks the file open as `handle`, with delete access, to go when its last handle closes.
bool DeleteOnClose(HANDLE handle) {
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
}

// Why a folder cannot be written, in the words of the log. The common causes have fixed texts,
// so that Windows and Wine say them alike; anything else is as the system describes it.
std::string DescribeError(DWORD error) {
    switch (error) {
        case ERROR_ACCESS_DENIED:
            return "access denied";
        case ERROR_WRITE_PROTECT:
            return "the disk is write-protected";
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_DIRECTORY:
            return "the directory does not exist";
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return "the disk is full";
        case ERROR_NOT_READY:
            return "the device is not ready";
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
            return "the network path was not found";
        case ERROR_NOT_SUPPORTED:
        case ERROR_INVALID_FUNCTION:
            return "the file system does not support it";
        default:
            break;
    }
    std::string described = SystemText(error);
    if (described[0] >= 'A' && described[0] <= 'Z' &&
        !(described.size() > 1 && described[1] >= 'A' && described[1] <= 'Z')) {
        described[0] = static_cast<char>(described[0] - 'A' + 'a');
    }
    return described;
}

}  // namespace

// The cache manager already writes behind, so nothing runs beside the writer here.
struct File::BackgroundSync {};

File::File() = default;

File::~File() {
    Close();
}

// The user's disk quota is used up; MinGW's headers lack the name.
constexpr DWORD kErrorDiskQuotaExceeded = 1295;

FileError LastFileError() {
    const DWORD error = GetLastError();
    FileError described{FileErrorKind::Other, error == ERROR_SUCCESS ? "the system gave no reason"
                                                                     : DescribeError(error)};
    switch (error) {
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
        case kErrorDiskQuotaExceeded:
            described.kind = FileErrorKind::NoSpace;
            break;
        case ERROR_ACCESS_DENIED:
        case ERROR_NETWORK_ACCESS_DENIED:
            described.kind = FileErrorKind::Denied;
            break;
        case ERROR_WRITE_PROTECT:
            described.kind = FileErrorKind::ReadOnly;
            break;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_DIRECTORY:
        case ERROR_INVALID_DRIVE:
        case ERROR_NOT_READY:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
        case ERROR_NETNAME_DELETED:
        case ERROR_DEV_NOT_EXIST:
        case ERROR_NETWORK_UNREACHABLE:
            described.kind = FileErrorKind::Missing;
            break;
        default:
            break;
    }
    return described;
}

bool PathExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::uint64_t LastWriteOf(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    return GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) != 0
               ? Ticks(data.ftLastWriteTime)
               : 0;
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

bool RemoveUnlessHeld(const std::string& path, std::chrono::seconds unchangedFor) {
    // Asking for delete access is the test for a holder: a writer's handle denies delete sharing,
    // so while any receiver, on this machine or across the network, has the file open, this open
    // fails with a sharing violation and the file stays. Our own handle denies delete sharing in
    // turn, so that nobody renames the file away between the look at it and its deletion, and
    // the deletion goes through this handle: no other file that took the name meanwhile can go
    // instead. Links are never followed out of the folder.
    HANDLE file =
        CreateFileA(path.c_str(), DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION information;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const std::uint64_t window =
        static_cast<std::uint64_t>(unchangedFor.count() > 0 ? unchangedFor.count() : 0) *
        10'000'000;
    // A read-only file is kept data. A file written to within the window may belong to a writer
    // whose hold does not reach us; one dated in the future (another machine's clock) is taken
    // for such a file too.
    const bool removable =
        GetFileInformationByHandle(file, &information) != 0 &&
        (information.dwFileAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY |
                                         FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
        (window == 0 || Ticks(information.ftLastWriteTime) + window <= Ticks(now));
    const bool removed = removable && DeleteOnClose(file);
    CloseHandle(file);
    return removed;
}

bool RemoveEmptyDirectory(const std::string& path) {
    return RemoveDirectoryA(path.c_str()) != 0;
}

bool SyncDirectory(const std::string&) {
    // NTFS journals the rename itself; there is no directory handle to flush.
    return true;
}

bool SyncTogether(const std::vector<File*>& files) {
    // Windows flushes one file at a time; renames need nothing (above).
    bool synced = true;
    for (File* file : files) {
        synced = file->SyncToDisk() && synced;
    }
    return synced;
}

FolderAbilities ProbeFolder(const std::string& directory) {
    std::string prefix = directory;
    if (!prefix.empty() && prefix.back() != '\\' && prefix.back() != '/') {
        prefix += '\\';
    }
    // A name no receiver lists or cleans up, and that no other probe uses at the same time.
    static std::atomic<unsigned> probes{0};
    prefix += ".orbtray-probe-" + std::to_string(GetCurrentProcessId()) + "-" +
              std::to_string(GetTickCount64()) + "-" + std::to_string(++probes);
    FolderAbilities abilities;
    File probe;
    const char bytes[] = "probe\r\n";
    const bool written = probe.CreateNew(prefix + ".a") == FileOutcome::Done &&
                         probe.Write(bytes, sizeof bytes - 1) && probe.SyncToDisk() &&
                         probe.MoveTo(prefix + ".b") == FileOutcome::Done;
    if (!written) {
        const DWORD error = GetLastError();
        abilities.writeError = error != ERROR_SUCCESS ? DescribeError(error) : "the write failed";
    }
    if (probe.IsOpen() && !probe.Remove()) {
        // Held to the end by its handle; gone by name if the handle could not delete it.
        RemoveFile(prefix + ".a");
        RemoveFile(prefix + ".b");
    }
    // The handle's sharing mode and the rename that will not replace are there on every
    // Windows file system.
    return abilities;
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
    // Others may read the file while it grows (a virus scanner must), but neither write, delete
    // nor rename it: the sharing mode is what keeps another receiver's clean-up away from it.
    // Created and opened in one call, so there is no moment at which it is nobody's. Our own
    // handle has read access for ReadAt and delete access to rename and remove the file through
    // itself.
    handle_ =
        FromHandle(CreateFileA(path.c_str(), GENERIC_WRITE | GENERIC_READ | DELETE, FILE_SHARE_READ,
                               nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    path_ = path;
    return IsOpen() ? FileOutcome::Done : FailureOutcome();
}

FileOutcome File::MoveTo(const std::string& to) {
    // Through the handle, which stays open: the file is held under its old name up to the
    // rename and under its new one from then on.
    const FileOutcome moved = RenameOpenFile(AsHandle(handle_), to, false);
    if (moved == FileOutcome::Done) {
        path_ = to;
    }
    return moved;
}

FileOutcome File::MoveOver(const std::string& to) {
    const FileOutcome moved = RenameOpenFile(AsHandle(handle_), to, true);
    if (moved == FileOutcome::Done) {
        path_ = to;
    }
    return moved;
}

bool File::StillNamed() const {
    // Attributes alone may be read past any sharing mode, ours included; full sharing lets the
    // look succeed whoever else has the file open.
    HANDLE named = CreateFileA(path_.c_str(), FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (named == INVALID_HANDLE_VALUE) {
        return false;
    }
    BY_HANDLE_FILE_INFORMATION ours;
    BY_HANDLE_FILE_INFORMATION theirs;
    const bool same = GetFileInformationByHandle(AsHandle(handle_), &ours) != 0 &&
                      GetFileInformationByHandle(named, &theirs) != 0 &&
                      ours.dwVolumeSerialNumber == theirs.dwVolumeSerialNumber &&
                      ours.nFileIndexHigh == theirs.nFileIndexHigh &&
                      ours.nFileIndexLow == theirs.nFileIndexLow;
    CloseHandle(named);
    return same;
}

long File::ReadAt(std::uint64_t offset, void* buffer, std::size_t size) {
    // A read at an offset on a synchronous handle leaves the file position after what it read.
    // Writes append at the position, so it is put back; reads at an offset are rare (a file to
    // be written out again), and the writes stay plain appends.
    HANDLE file = AsHandle(handle_);
    LARGE_INTEGER position = {};
    LARGE_INTEGER zero = {};
    if (!SetFilePointerEx(file, zero, &position, FILE_CURRENT)) {
        return -1;
    }
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    const DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    DWORD read = 0;
    const bool done = ReadFile(file, buffer, chunk, &read, &at) != 0;
    const bool atEnd = !done && GetLastError() == ERROR_HANDLE_EOF;
    if (!SetFilePointerEx(file, position, nullptr, FILE_BEGIN) || (!done && !atEnd)) {
        return -1;
    }
    return atEnd ? 0 : static_cast<long>(read);
}

bool File::Remove() {
    // Through the handle, so that it is this file that goes; by name only if that is refused.
    if (IsOpen() && DeleteOnClose(AsHandle(handle_))) {
        Close();
        return true;
    }
    Close();
    return DeleteFileA(path_.c_str()) != 0;
}

bool File::MarkReadOnly() {
    // Through the handle while the file is still held; by name if that is refused. Changing
    // attributes is not subject to sharing, so the name works while a reader holds the file.
    FILE_BASIC_INFO basic = {};
    bool marked = IsOpen() && GetFileInformationByHandleEx(AsHandle(handle_), FileBasicInfo, &basic,
                                                           sizeof basic) != 0;
    if (marked) {
        // Zero times leave them as they are.
        basic.CreationTime.QuadPart = 0;
        basic.LastAccessTime.QuadPart = 0;
        basic.LastWriteTime.QuadPart = 0;
        basic.ChangeTime.QuadPart = 0;
        basic.FileAttributes =
            (basic.FileAttributes & ~FILE_ATTRIBUTE_NORMAL) | FILE_ATTRIBUTE_READONLY;
        marked =
            SetFileInformationByHandle(AsHandle(handle_), FileBasicInfo, &basic, sizeof basic) != 0;
    }
    Close();
    if (marked) {
        return true;
    }
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

bool File::OpenHeld(const std::string& path) {
    Close();
    // Others may read it but not open it for writing: a second holder fails with a sharing
    // violation for as long as this handle is open.
    handle_ = FromHandle(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                                     nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    path_ = path;
    return IsOpen();
}

bool File::OpenForAppend(const std::string& path) {
    Close();
    // Append-only access makes every write go to the end of the file.
    handle_ = FromHandle(CreateFileA(path.c_str(), FILE_APPEND_DATA | SYNCHRONIZE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
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

SmallFile ReadSmallFile(const std::string& path, std::size_t limit) {
    SmallFile file;
    const HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        file.error = DescribeError(GetLastError());
        return file;
    }
    file.opened = true;
    BY_HANDLE_FILE_INFORMATION info{};
    // A disk file that is no folder; pipes, consoles and devices are of other types.
    file.regular = GetFileType(handle) == FILE_TYPE_DISK &&
                   GetFileInformationByHandle(handle, &info) != 0 &&
                   (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    if (file.regular) {
        file.bytes.resize(limit + 1);
        std::size_t count = 0;
        while (count < file.bytes.size()) {
            const std::size_t left = file.bytes.size() - count;
            DWORD read = 0;
            if (!ReadFile(handle, file.bytes.data() + count,
                          left > 0x40000000 ? 0x40000000 : static_cast<DWORD>(left), &read,
                          nullptr)) {
                file.error = DescribeError(GetLastError());
                break;
            }
            if (read == 0) {
                break;
            }
            count += read;
        }
        file.bytes.resize(count);
    }
    CloseHandle(handle);
    return file;
}

}  // namespace platform
