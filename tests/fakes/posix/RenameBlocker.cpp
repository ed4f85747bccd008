#include "fakes/RenameBlocker.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

bool SetImmutable(int fd, bool on) {
    int flags = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0) {
        return false;
    }
    flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    return ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
}

}  // namespace

RenameBlocker::RenameBlocker(const std::string& file) {
    const std::string directory = file.substr(0, file.rfind('/') + 1);
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    handle_ = fd;
    holding_ = fd >= 0 && SetImmutable(fd, true);
}

void RenameBlocker::Release() {
    if (holding_) {
        SetImmutable(static_cast<int>(handle_), false);
        holding_ = false;
    }
    if (handle_ >= 0) {
        ::close(static_cast<int>(handle_));
        handle_ = -1;
    }
}
