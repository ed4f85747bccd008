#pragma once

// Who else uses a serial device. Opening a tty on Linux keeps nobody out, so programs that share
// ports agree by convention: a process that has the device open (what fuser finds), a UUCP lock
// file "LCK..ttyUSB0" naming a live process in the lock directory, and an flock on the device.

#include <string>

namespace platform {

// The program, other than this process, that has `path` open or has claimed it with a UUCP lock
// file: "minicom (pid 1234)"; empty when there is none that can be seen.
std::string OtherHolder(const std::string& path);

// This process's UUCP lock file for one device, so that other serial programs see the port as
// taken. Devices outside /dev proper (a pty, say) and systems without a writable lock directory
// get none. Used by one thread.
class UucpLock {
public:
    UucpLock() = default;
    ~UucpLock() { Release(); }
    UucpLock(const UucpLock&) = delete;
    UucpLock& operator=(const UucpLock&) = delete;

    // False, with `holder` set, when a live process holds the lock already.
    bool Take(const std::string& devicePath, std::string* holder);
    void Release();

private:
    std::string file_;  // the lock file this process made, empty when none
};

}  // namespace platform
