#pragma once

#include <string>

// Keeps the receiver from renaming a file for as long as it holds, as something outside the
// receiver can: on Windows a program that has the file open without letting others delete it
// (a virus scanner, a backup, an indexer); on POSIX, where an open file never stops a rename,
// the immutable flag of the file's directory (which needs root or CAP_LINUX_IMMUTABLE).
class RenameBlocker {
public:
    explicit RenameBlocker(const std::string& file);
    ~RenameBlocker() { Release(); }
    RenameBlocker(const RenameBlocker&) = delete;
    RenameBlocker& operator=(const RenameBlocker&) = delete;

    // False when this system gives no way to hold the file.
    bool Holding() const { return holding_; }
    void Release();

private:
    long long handle_ = -1;  // the directory's descriptor, or the holder's Windows HANDLE
    bool holding_ = false;
};
