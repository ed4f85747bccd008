/* The least a serial receiver can do: one ACK byte back for every line feed that arrives, nothing
 * parsed and nothing stored. serial-ack.sh sends through it what it sends to orbtray, so the
 * difference between the two is what orbtray itself costs per line.
 *
 *   ack_responder PATH    opens the tty PATH, prints "ready", and answers until it hangs up.
 */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <termios.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: ack_responder PATH\n");
        return 2;
    }
    const int fd = open(argv[1], O_RDWR | O_NOCTTY);
    if (fd < 0) {
        perror(argv[1]);
        return 1;
    }
    /* Raw, and a read that sleeps until at least one byte is there: no poll in front of it. */
    struct termios settings;
    if (tcgetattr(fd, &settings) == 0) {
        cfmakeraw(&settings);
        settings.c_cc[VMIN] = 1;
        settings.c_cc[VTIME] = 0;
        tcsetattr(fd, TCSANOW, &settings);
    }
    printf("ready\n");
    fflush(stdout);

    const char ack = 0x06;
    char buffer[4096];
    for (;;) {
        const ssize_t count = read(fd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        /* The other end has gone: the pty reads as end of file or fails. */
        if (count <= 0) {
            return 0;
        }
        for (ssize_t i = 0; i < count; ++i) {
            if (buffer[i] == '\n' && write(fd, &ack, 1) != 1) {
                return 1;
            }
        }
    }
}
