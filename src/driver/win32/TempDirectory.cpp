// The installer's scratch directories. Only what MakeTempDirectory made in this run may be deleted
// again: a failed MakeTempDirectory gives an empty path, and deleting "" + "\*" would walk the
// root of the current drive.

#include <windows.h>

#include <set>

#include "driver/win32/Driver.h"

namespace {

// Main thread only: the installer runs at start-up, before any other thread exists.
std::set<std::string>& MadeDirectories() {
    static std::set<std::string> made;
    return made;
}

void DeleteTree(const std::string& directory) {
    WIN32_FIND_DATAA entry;
    HANDLE listing = FindFirstFileA((directory + "\\*").c_str(), &entry);
    if (listing != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = entry.cFileName;
            if (name == "." || name == "..") {
                continue;
            }
            const std::string path = directory + "\\" + name;
            // A failed deletion leaves that entry; the rest still go.
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                DeleteTree(path);
            } else {
                DeleteFileA(path.c_str());
            }
        } while (FindNextFileA(listing, &entry));
        FindClose(listing);
    }
    RemoveDirectoryA(directory.c_str());
}

}  // namespace

std::string MakeTempDirectory() {
    char folder[MAX_PATH] = {};
    const DWORD length = GetTempPathA(MAX_PATH, folder);
    if (length == 0 || length >= MAX_PATH) {
        return {};
    }
    // The system picks a unique name by creating an empty file; the directory takes its place.
    char name[MAX_PATH] = {};
    if (GetTempFileNameA(folder, "ORB", 0, name) == 0) {
        return {};
    }
    DeleteFileA(name);
    if (!CreateDirectoryA(name, nullptr)) {
        return {};
    }
    MadeDirectories().insert(name);
    return name;
}

void DeleteDirectoryTree(const std::string& directory) {
    if (MadeDirectories().erase(directory) == 0) {
        return;
    }
    DeleteTree(directory);
}
