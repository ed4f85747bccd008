#pragma once

// A serial port as the USB worker uses it: opened exclusively at 115200 baud 8N1 without flow
// control, a wait for received characters that a stop event can interrupt, reads that return at
// once with what has arrived, and writes that return once they are done, have stalled or have
// been stopped. On POSIX, where opening a tty never keeps anyone else out, a port that another
// program has open, locked or claimed with a UUCP lock file is left alone.

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "platform/Event.h"

namespace platform {

enum class PortWait {
    Data,         // characters have arrived
    StartFailed,  // the wait could not even start: the device is gone
    Failed,       // the wait ended in an error (see the error code)
    Timeout,      // nothing arrived within the time limit
    Stop,         // the stop event was signalled first
};

enum class PortOpen {
    Opened,
    Failed,  // missing, held by another program, or any other trouble
    Denied,  // the user lacks the permission to open the device
    InUse,   // another program has the device (see Holder)
};

enum class PortWrite {
    Done,
    Failed,  // the write failed, or stalled past its time limit (see the error code)
    Stop,    // the stop event came first; what was written of the bytes is unknown
};

class SerialPort {
public:
    virtual ~SerialPort() = default;

    // Opens the device for exclusive use and applies the line settings; a failure of the
    // settings is not fatal.
    virtual PortOpen Open(const std::string& path) = 0;
    // After a Denied open: the group whose members may open the device ("dialout"), or empty
    // when the system names none.
    virtual std::string DeniedGroup() const { return {}; }
    // After an InUse open: the program that holds the device, "minicom (pid 1234)", or empty
    // when it cannot be told.
    virtual std::string Holder() const { return {}; }
    virtual bool IsOpen() const = 0;
    // Waits for received characters, the stop event first. `error` gets the OS code on Failed.
    virtual PortWait WaitForData(const Event& stop, int timeoutMs, int* error) = 0;
    // Reads at most `size` bytes of what has been received; 0 when nothing is waiting.
    virtual std::size_t Read(char* buffer, std::size_t size) = 0;
    // Writes all bytes and waits until they have left, the stop event first. A port that takes
    // nothing for a few seconds has failed: without flow control a working one always drains.
    virtual PortWrite Write(const char* data, std::size_t size, const Event& stop, int* error) = 0;
    virtual void Close() = 0;
};

// Where POSIX looks for the other names of a device and for the UUCP lock files that claim it;
// tests put fake trees here. Windows ignores both.
struct PortPlaces {
    std::string devRoot = "/dev";
    // Every one is read; locks are made in the first one that exists.
    std::vector<std::string> lockDirectories = {"/run/lock", "/var/lock"};
};

// The OS's serial port (overlapped I/O on Windows, termios and poll on POSIX), not yet opened.
std::unique_ptr<SerialPort> MakeSerialPort(const PortPlaces& places = {});

enum class PortPath {
    Missing,   // nothing there (yet): a port that may still appear
    Terminal,  // a serial device or pseudo-terminal
    Other,     // a file, a directory, /dev/null...: never a port
};

// What a path names, told without opening a serial device (an open raises its modem lines).
PortPath ExaminePortPath(const std::string& path);

}  // namespace platform
