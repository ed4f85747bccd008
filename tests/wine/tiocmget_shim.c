// Preloaded into the Wine processes of the COM port tests. Wine asks a serial port for its modem
// lines (TIOCMGET) while it waits for received characters, and gives up the wait when the
// request fails; a pseudo-terminal has no modem lines and refuses it. For a pty only, the failed
// request is answered as a cabled port would answer it, so the wait goes on as on real hardware.
// Every other request, and TIOCMGET on anything but a pty, passes through untouched.

#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

// Linux numbers the pty slaves (/dev/pts/N) under these major device numbers.
enum { kPtySlaveMajorFirst = 136, kPtySlaveMajorLast = 143 };

static int IsPty(int fd) {
    struct stat status;
    return fstat(fd, &status) == 0 && S_ISCHR(status.st_mode) &&
           major(status.st_rdev) >= kPtySlaveMajorFirst &&
           major(status.st_rdev) <= kPtySlaveMajorLast;
}

int ioctl(int fd, unsigned long request, ...) {
    static int (*real)(int, unsigned long, ...);
    if (real == 0) {
        real = (int (*)(int, unsigned long, ...))dlsym(RTLD_NEXT, "ioctl");
    }
    // Every request takes at most one argument, a pointer or an integer that fits in one.
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);

    const int result = real(fd, request, argument);
    if (result == -1 && request == TIOCMGET && argument != 0) {
        const int error = errno;
        if ((error == ENOTTY || error == EINVAL || error == EIO) && IsPty(fd)) {
            // The lines of a powered bridge with the instrument attached.
            *(int*)argument = TIOCM_DSR | TIOCM_CTS | TIOCM_CD;
            return 0;
        }
        errno = error;
    }
    return result;
}
