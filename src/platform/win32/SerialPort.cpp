#include "platform/SerialPort.h"

#include <windows.h>

#include <algorithm>
#include <climits>

namespace platform {
namespace {

// How long a write may take before the port counts as wedged: without flow control a working
// port always drains.
constexpr DWORD kWriteStallMs = 2000;

DWORD Milliseconds(int timeoutMs) {
    return timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
}

// One overlapped record per kind of request, each with its own manual-reset event, so that a
// wait, a read and a write never share completion state.
struct Request {
    OVERLAPPED overlapped{};
    HANDLE event = nullptr;

    bool Create() {
        event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        return event != nullptr;
    }
    OVERLAPPED* Start() {
        overlapped = OVERLAPPED{};
        overlapped.hEvent = event;
        ResetEvent(event);
        return &overlapped;
    }
    void Destroy() {
        if (event != nullptr) {
            CloseHandle(event);
            event = nullptr;
        }
    }
};

class Win32SerialPort final : public SerialPort {
public:
    ~Win32SerialPort() override { Close(); }

    PortOpen Open(const std::string& path) override {
        Close();
        // No sharing: a second opener, another OrbTray or a terminal program, is refused. Windows
        // refuses it with ERROR_ACCESS_DENIED, and a COM port has no rights a user could lack, so
        // that code means "in use" here, never Denied.
        port_ = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
        if (port_ == INVALID_HANDLE_VALUE) {
            return PortOpen::Failed;
        }
        ApplyLineSettings();
        // Reads return at once with what is queued; waiting is WaitCommEvent's job.
        COMMTIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = MAXDWORD;
        SetCommTimeouts(port_, &timeouts);
        if (!wait_.Create() || !write_.Create() || !read_.Create()) {
            Close();
            return PortOpen::Failed;
        }
        SetCommMask(port_, EV_RXCHAR);
        return PortOpen::Opened;
    }

    bool IsOpen() const override { return port_ != INVALID_HANDLE_VALUE; }

    PortWait WaitForData(const Event& stop, int timeoutMs, int* error) override {
        const HANDLE stopHandle = stop.AsWaitable().handle;
        // Settled before a request is started: a stop already asked for wins over data, and
        // characters already queued need no event to announce them.
        if (WaitForSingleObject(stopHandle, 0) == WAIT_OBJECT_0) {
            return PortWait::Stop;
        }
        if (QueuedBytes() > 0) {
            return PortWait::Data;
        }
        eventMask_ = 0;
        if (WaitCommEvent(port_, &eventMask_, wait_.Start())) {
            return PortWait::Data;
        }
        if (GetLastError() != ERROR_IO_PENDING) {
            // The driver refuses the request once the adapter has been unplugged.
            return PortWait::StartFailed;
        }
        const HANDLE handles[2] = {stopHandle, wait_.event};
        switch (WaitForMultipleObjects(2, handles, FALSE, Milliseconds(timeoutMs))) {
            case WAIT_OBJECT_0:
                CancelWait();
                return PortWait::Stop;
            case WAIT_OBJECT_0 + 1: {
                DWORD unused = 0;
                if (GetOverlappedResult(port_, &wait_.overlapped, &unused, TRUE)) {
                    return PortWait::Data;
                }
                *error = static_cast<int>(GetLastError());
                return PortWait::Failed;
            }
            case WAIT_TIMEOUT:
                CancelWait();
                return PortWait::Timeout;
            default:
                *error = static_cast<int>(GetLastError());
                CancelWait();
                return PortWait::Failed;
        }
    }

    std::size_t Read(char* buffer, std::size_t size) override {
        // Asking for no more than is queued means the read never waits for characters, whatever
        // the driver makes of the read timeouts set in Open.
        const DWORD wanted = static_cast<DWORD>(std::min<std::size_t>(
            std::min<std::size_t>(QueuedBytes(), size), static_cast<std::size_t>(MAXDWORD)));
        if (wanted == 0) {
            return 0;
        }
        if (!ReadFile(port_, buffer, wanted, nullptr, read_.Start()) &&
            GetLastError() != ERROR_IO_PENDING) {
            return 0;
        }
        DWORD received = 0;
        if (!GetOverlappedResult(port_, &read_.overlapped, &received, TRUE)) {
            return 0;
        }
        return received;
    }

    PortWrite Write(const char* data, std::size_t size, const Event& stop, int* error) override {
        while (size > 0) {
            const DWORD chunk =
                static_cast<DWORD>(std::min<std::size_t>(size, static_cast<std::size_t>(INT_MAX)));
            if (!WriteFile(port_, data, chunk, nullptr, write_.Start()) &&
                GetLastError() != ERROR_IO_PENDING) {
                *error = static_cast<int>(GetLastError());
                return PortWrite::Failed;
            }
            // The completion of an overlapped write is the bytes having left; it is waited for
            // no longer than a stall may last, and never past a stop.
            const HANDLE handles[2] = {stop.AsWaitable().handle, write_.event};
            const DWORD waited = WaitForMultipleObjects(2, handles, FALSE, kWriteStallMs);
            if (waited != WAIT_OBJECT_0 + 1) {
                CancelIo(port_);
                DWORD unused = 0;
                GetOverlappedResult(port_, &write_.overlapped, &unused, TRUE);
                if (waited == WAIT_OBJECT_0) {
                    return PortWrite::Stop;
                }
                *error = waited == WAIT_TIMEOUT ? ERROR_TIMEOUT : static_cast<int>(GetLastError());
                return PortWrite::Failed;
            }
            DWORD sent = 0;
            if (!GetOverlappedResult(port_, &write_.overlapped, &sent, TRUE)) {
                *error = static_cast<int>(GetLastError());
                return PortWrite::Failed;
            }
            if (sent == 0) {
                *error = ERROR_TIMEOUT;
                return PortWrite::Failed;
            }
            data += sent;
            size -= sent;
        }
        return PortWrite::Done;
    }

    void Close() override {
        if (port_ != INVALID_HANDLE_VALUE) {
            CloseHandle(port_);
            port_ = INVALID_HANDLE_VALUE;
        }
        wait_.Destroy();
        write_.Destroy();
        read_.Destroy();
    }

private:
    void ApplyLineSettings() {
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!GetCommState(port_, &dcb)) {
            return;
        }
        dcb.BaudRate = CBR_115200;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fOutxCtsFlow = FALSE;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fDsrSensitivity = FALSE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        dcb.fNull = FALSE;
        // A port that refuses a setting still carries the bytes; not worth failing the open.
        SetCommState(port_, &dcb);
    }

    DWORD QueuedBytes() {
        DWORD errors = 0;
        COMSTAT status{};
        return ClearCommError(port_, &errors, &status) ? status.cbInQue : 0;
    }

    // The wait record is reused by the next WaitForData, so the cancelled request must have
    // finished with it (and with eventMask_) first.
    void CancelWait() {
        // Setting the mask again ends a pending WaitCommEvent at once; CancelIo alone does not
        // end it under Wine, whose wait would then last until the next character arrives.
        SetCommMask(port_, EV_RXCHAR);
        CancelIo(port_);
        DWORD unused = 0;
        GetOverlappedResult(port_, &wait_.overlapped, &unused, TRUE);
    }

    HANDLE port_ = INVALID_HANDLE_VALUE;
    DWORD eventMask_ = 0;
    Request wait_;
    Request write_;
    Request read_;
};

}  // namespace

std::unique_ptr<SerialPort> MakeSerialPort(const PortPlaces& /*places*/) {
    return std::make_unique<Win32SerialPort>();
}

PortPath ExaminePortPath(const std::string& /*path*/) {
    // Windows names its ports, and opening one is the only way to ask about it.
    return PortPath::Terminal;
}

}  // namespace platform
