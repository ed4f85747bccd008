// The installer's scratch directories. Only what MakeTempDirectory made in this run may be deleted
// again: a failed MakeTempDirectory gives an empty path, and deleting "" + "\*" would walk the
// root of the current drive.

#include <windows.h>

#include <set>
#include <vector>

#include "driver/win32/Driver.h"
#include "platform/FileSystem.h"

namespace {

// Main thread only: the installer runs at start-up, before any other thread exists.
std::set<std::string>& MadeDirectories() {
    static std::set<std::string> made;
    return made;
}

void DeleteTree(const std::string& directory) {
    std::vector<std::string> subdirectories;
    std::vector<std::string> others;
    platform::ListDirectory(directory, [&](const platform::DirectoryEntry& entry) {
        const std::string path = directory + "\\" + std::string(entry.name);
        if (entry.kind == platform::EntryKind::Directory && !entry.isLink) {
            subdirectories.push_back(path);
        } else if (entry.kind == platform::EntryKind::Directory) {
            // A junction is removed itself, never followed: what it leads to is not ours.
            platform::RemoveEmptyDirectory(path);
        } else {
            others.push_back(path);
        }
    });
    // A failed deletion leaves that entry; the rest still go.
    for (const std::string& path : others) {
        platform::RemoveFile(path);
    }
    for (const std::string& path : subdirectories) {
        DeleteTree(path);
    }
    platform::RemoveEmptyDirectory(directory);
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
    platform::RemoveFile(name);
    if (!platform::MakeDirectory(name)) {
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
