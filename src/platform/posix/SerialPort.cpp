#include "platform/SerialPort.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>

#include "platform/posix/PortHolder.h"

namespace platform {
namespace {

// How long one stalled write may wait for room, or for its bytes to leave, before the link is
// given up: without flow control a working port always drains, so a port that does not is gone
// or wedged.
constexpr int kWriteStallMs = 2000;
// How often the output queue is looked at while it drains: tcdrain cannot be interrupted by a
// stop, and at 115200 baud a few bytes leave within a millisecond.
constexpr int kDrainPollMs = 1;

// poll(2) that sleeps out the whole time limit even when signals interrupt it.
int PollFully(pollfd* entries, nfds_t count, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int left = timeoutMs;
    for (;;) {
        const int ready = ::poll(entries, count, left);
        if (ready >= 0 || errno != EINTR) {
            return ready;
        }
        if (timeoutMs >= 0) {
            const auto remaining =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            left = remaining.count() > 0 ? static_cast<int>(remaining.count()) : 0;
        }
    }
}

void ApplyLineSettings(int fd) {
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0) {
        return;
    }
    // Raw bytes both ways: no echo, no signals, no CR/LF translation, no XON/XOFF swallowed.
    ::cfmakeraw(&settings);
    settings.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    settings.c_cflag |= CS8 | CLOCAL | CREAD;
    settings.c_iflag &= ~(IXON | IXOFF | IXANY);
    // Reads return at once with whatever is there; waiting is poll's job.
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    ::cfsetispeed(&settings, B115200);
    ::cfsetospeed(&settings, B115200);
    // Some devices (a pty, for one) refuse parts of this; they carry the bytes all the same.
    ::tcsetattr(fd, TCSANOW, &settings);
}

// Whether characters are queued for reading. A hung-up terminal keeps reporting itself readable
// while every read returns end-of-file, so readiness alone cannot tell data from a lost device.
bool HasQueuedInput(int fd) {
    int queued = 0;
    return ::ioctl(fd, FIONREAD, &queued) == 0 && queued > 0;
}

class PosixSerialPort final : public SerialPort {
public:
    explicit PosixSerialPort(const PortPlaces& places) : places_(places) {}
    ~PosixSerialPort() override { Close(); }

    PortOpen Open(const std::string& path) override {
        Close();
        deniedGroup_.clear();
        // Opening a tty raises its modem lines and takes the bytes that another program is
        // waiting for, so a port someone else uses is not even opened.
        holder_ = OtherHolder(path, places_);
        if (!holder_.empty()) {
            return PortOpen::InUse;
        }
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0 && (errno == EACCES || errno == EPERM)) {
            // Serial devices are given to a group (dialout on Debian) rather than to users; the
            // device itself says which one its user has to join.
            struct stat node {};
            const group* owner =
                ::stat(path.c_str(), &node) == 0 ? ::getgrgid(node.st_gid) : nullptr;
            if (owner != nullptr) {
                deniedGroup_ = owner->gr_name;
            }
            return PortOpen::Denied;
        }
        if (fd < 0 && errno == EBUSY) {
            // Opened for exclusive use by a program that this process may not look into.
            holder_ = "another program";
            return PortOpen::InUse;
        }
        if (fd < 0) {
            return PortOpen::Failed;
        }
        // A file or /dev/null opens as well, and then reads as forever ready and empty.
        if (::isatty(fd) == 0) {
            ::close(fd);
            return PortOpen::Failed;
        }
        // TIOCEXCL keeps other programs out but not root, and not a second open from a process
        // running as root; the lock makes any second OrbTray fail whoever it runs as, and tells
        // other serial programs that the port is taken, as does the UUCP lock file.
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            holder_ = "another program";
            return PortOpen::InUse;
        }
        if (!uucpLock_.Take(path, places_, &holder_)) {
            ::close(fd);
            return PortOpen::InUse;
        }
        ::ioctl(fd, TIOCEXCL);
        ApplyLineSettings(fd);
        fd_ = fd;
        return PortOpen::Opened;
    }

    std::string DeniedGroup() const override { return deniedGroup_; }
    std::string Holder() const override { return holder_; }

    bool IsOpen() const override { return fd_ >= 0; }

    PortWait WaitForData(const Event& stop, int timeoutMs, int* error) override {
        pollfd entries[2] = {{stop.AsWaitable().fd, POLLIN, 0}, {fd_, POLLIN, 0}};
        const int ready = PollFully(entries, 2, timeoutMs);
        if (ready < 0) {
            *error = errno;
            return PortWait::Failed;
        }
        if (ready == 0) {
            return PortWait::Timeout;
        }
        // The stop request first, so that a busy port cannot delay a shutdown.
        if ((entries[0].revents & POLLIN) != 0) {
            return PortWait::Stop;
        }
        if ((entries[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            *error = EBADF;
            return PortWait::Failed;
        }
        const short port = entries[1].revents;
        if ((port & (POLLERR | POLLHUP | POLLNVAL)) == 0) {
            return PortWait::Data;
        }
        // Unplugged, or the other side of a pty closed: what is still queued is delivered
        // before the loss is reported.
        return (port & POLLIN) != 0 && HasQueuedInput(fd_) ? PortWait::Data : PortWait::StartFailed;
    }

    std::size_t Read(char* buffer, std::size_t size) override {
        for (;;) {
            const ssize_t n = ::read(fd_, buffer, size);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            return n > 0 ? static_cast<std::size_t>(n) : 0;
        }
    }

    PortWrite Write(const char* data, std::size_t size, const Event& stop, int* error) override {
        while (size > 0) {
            const ssize_t n = ::write(fd_, data, size);
            if (n > 0) {
                data += n;
                size -= static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                *error = errno;
                return PortWrite::Failed;
            }
            const PortWrite room = WaitForRoom(stop, error);
            if (room != PortWrite::Done) {
                return room;
            }
        }
        return Drain(stop, error);
    }

    void Close() override {
        if (fd_ < 0) {
            return;
        }
        // The exclusive flag can outlive this descriptor (a pty keeps it while its master is
        // open), which would lock out the next open.
        ::ioctl(fd_, TIOCNXCL);
        ::close(fd_);
        fd_ = -1;
        uucpLock_.Release();
    }

private:
    // Waits until the port takes more bytes, the stop event first.
    PortWrite WaitForRoom(const Event& stop, int* error) {
        pollfd entries[2] = {{stop.AsWaitable().fd, POLLIN, 0}, {fd_, POLLOUT, 0}};
        const int ready = PollFully(entries, 2, kWriteStallMs);
        if (ready > 0 && (entries[0].revents & POLLIN) != 0) {
            return PortWrite::Stop;
        }
        if (ready > 0 && (entries[1].revents & POLLOUT) != 0) {
            return PortWrite::Done;
        }
        *error = ready < 0 ? errno : (ready == 0 ? ETIMEDOUT : EIO);
        return PortWrite::Failed;
    }

    // The caller's "written" means sent down the line, not merely queued in the driver.
    PortWrite Drain(const Event& stop, int* error) {
        using Clock = std::chrono::steady_clock;
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kWriteStallMs);
        for (;;) {
            int queued = 0;
            if (::ioctl(fd_, TIOCOUTQ, &queued) != 0 || queued <= 0) {
                return PortWrite::Done;
            }
            if (Clock::now() >= deadline) {
                *error = ETIMEDOUT;
                return PortWrite::Failed;
            }
            pollfd entry{stop.AsWaitable().fd, POLLIN, 0};
            if (PollFully(&entry, 1, kDrainPollMs) > 0) {
                return PortWrite::Stop;
            }
        }
    }

    const PortPlaces places_;
    int fd_ = -1;
    std::string deniedGroup_;
    std::string holder_;
    UucpLock uucpLock_;
};

}  // namespace

std::unique_ptr<SerialPort> MakeSerialPort(const PortPlaces& places) {
    return std::make_unique<PosixSerialPort>(places);
}

PortPath ExaminePortPath(const std::string& path) {
    struct stat node {};
    if (::stat(path.c_str(), &node) != 0) {
        return PortPath::Missing;
    }
    if (!S_ISCHR(node.st_mode)) {
        return PortPath::Other;
    }
    // Devices that the kernel lists say which class they belong to; pseudo-terminal slaves are
    // not listed, and opening one disturbs no modem line.
    char sysfs[64];
    std::snprintf(sysfs, sizeof sysfs, "/sys/dev/char/%u:%u/subsystem", major(node.st_rdev),
                  minor(node.st_rdev));
    char target[256];
    const ssize_t n = ::readlink(sysfs, target, sizeof target - 1);
    if (n > 0) {
        const std::string_view subsystem(target, static_cast<std::size_t>(n));
        return subsystem.ends_with("/tty") ? PortPath::Terminal : PortPath::Other;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    const bool terminal = fd >= 0 && ::isatty(fd) != 0;
    if (fd >= 0) {
        ::close(fd);
    }
    // One that cannot be opened to be asked (no permission) is left for the port to explain.
    return terminal || fd < 0 ? PortPath::Terminal : PortPath::Other;
}

}  // namespace platform
