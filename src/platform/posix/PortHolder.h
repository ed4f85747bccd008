#pragma once

// Who else uses a serial device. Opening a tty on Linux keeps nobody out, so programs that share
// ports agree by convention: a process that has the device open (what fuser finds), a UUCP lock
// file "LCK..ttyUSB0" naming a live process in the lock directory, and an flock on the device.
// A device is known by many names (/dev/ttyUSB0, /dev/serial/by-id/usb-..., a link in a scratch
// folder), and other programs name their lock files after the name they were given, so every
// rule here is about the device behind a path, never the path's text.

#include <string>
#include <vector>

#include "platform/SerialPort.h"

namespace platform {

// The program, other than this process, that has the device behind `path` open or has claimed
// it with a UUCP lock file under any of its names: "minicom (pid 1234)", or the lock file that
// keeps it ("a lock file /run/lock/LCK..ttyUSB0 that cannot be read"); empty when there is none
// that can be seen.
std::string OtherHolder(const std::string& path, const PortPlaces& places);

// This process's UUCP lock files for one device, one for each of its names below the device
// directory, so that other serial programs see the port as taken whichever name they were given.
// Systems without a writable lock directory get none. Used by one thread.
class UucpLock {
public:
    UucpLock() = default;
    ~UucpLock() { Release(); }
    UucpLock(const UucpLock&) = delete;
    UucpLock& operator=(const UucpLock&) = delete;

    // False, with `holder` set, when another process holds one of the locks already.
    bool Take(const std::string& devicePath, const PortPlaces& places, std::string* holder);
    void Release();

private:
    std::vector<std::string> files_;  // the lock files this process made
};

}  // namespace platform
