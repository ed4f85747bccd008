#include <windows.h>

#include <string>

#include "platform/FileSystem.h"

namespace platform {
namespace {

// One level of a path: a name a folder lists, nothing that climbs out, crosses levels or names a
// stream of a file ("a.csv:hidden").
bool PlainName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string_view("/\\:\0", 4)) == std::string_view::npos;
}

// Opens one level without following a reparse point. A folder is held without delete sharing,
// so nobody can rename or replace it while the walk goes on beneath it.
HANDLE OpenLevel(const std::string& path, bool folder, BY_HANDLE_FILE_INFORMATION& information) {
    const HANDLE handle = CreateFileA(
        path.c_str(), folder ? FILE_READ_ATTRIBUTES : GENERIC_READ,
        FILE_SHARE_READ | FILE_SHARE_WRITE | (folder ? 0 : FILE_SHARE_DELETE), nullptr,
        OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | (folder ? FILE_FLAG_BACKUP_SEMANTICS : 0),
        nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return handle;
    }
    // A device name ("CON") opens the device whatever folder it is asked in.
    if (GetFileType(handle) != FILE_TYPE_DISK ||
        !GetFileInformationByHandle(handle, &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) != folder ||
        (!folder && information.nNumberOfLinks != 1)) {
        CloseHandle(handle);
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

HANDLE OpenBeneathHandle(const std::string& root, std::initializer_list<std::string_view> names) {
    // The root and every folder below it are held until the file is open.
    HANDLE held[8];
    if (names.size() == 0 || names.size() > sizeof held / sizeof held[0]) {
        return INVALID_HANDLE_VALUE;
    }
    for (const std::string_view name : names) {
        if (!PlainName(name)) {
            return INVALID_HANDLE_VALUE;
        }
    }
    std::string path = root;
    std::size_t heldCount = 0;
    // The root itself is the user's choice and may be reached through a link.
    HANDLE opened =
        CreateFileA(root.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    std::size_t left = names.size();
    for (const std::string_view name : names) {
        if (opened == INVALID_HANDLE_VALUE) {
            break;
        }
        held[heldCount++] = opened;
        if (!path.empty() && path.back() != '\\' && path.back() != '/') {
            path += '\\';
        }
        path += name;
        BY_HANDLE_FILE_INFORMATION information{};
        opened = OpenLevel(path, --left > 0, information);
    }
    while (heldCount > 0) {
        CloseHandle(held[--heldCount]);
    }
    return left == 0 ? opened : INVALID_HANDLE_VALUE;
}

}  // namespace

bool PlainFileBeneath(const std::string& root, std::initializer_list<std::string_view> names) {
    const HANDLE file = OpenBeneathHandle(root, names);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(file);
    return true;
}

bool File::OpenBeneath(const std::string& root, std::initializer_list<std::string_view> names) {
    Close();
    const HANDLE file = OpenBeneathHandle(root, names);
    handle_ = file == INVALID_HANDLE_VALUE
                  ? kInvalid
                  : static_cast<long long>(reinterpret_cast<INT_PTR>(file));
    path_.clear();
    return IsOpen();
}

std::uint64_t File::Size() const {
    LARGE_INTEGER size{};
    return IsOpen() && GetFileSizeEx(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(handle_)), &size)
               ? static_cast<std::uint64_t>(size.QuadPart)
               : 0;
}

std::uint64_t File::LastWrite() const {
    FILETIME written{};
    return IsOpen() && GetFileTime(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(handle_)), nullptr,
                                   nullptr, &written)
               ? (static_cast<std::uint64_t>(written.dwHighDateTime) << 32) | written.dwLowDateTime
               : 0;
}

long long File::Release() {
    const long long released = handle_;
    handle_ = kInvalid;
    Close();
    return released;
}

}  // namespace platform
