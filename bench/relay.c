/* The baseline of the benchmark: the least a terminal can do on this path.
 * Relays bytes between a device and its own terminal (standard input and
 * output) with raw settings on both and large reads, nothing else, so its
 * figures are the practical limit of the pseudo-terminal path.
 * Usage: relay DEVICE */
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

static int write_all(int fd, const unsigned char *data, size_t size) {
    while (size > 0) {
        ssize_t put = write(fd, data, size);
        if (put > 0) {
            data += put;
            size -= (size_t)put;
        } else if (put < 0 && (errno == EAGAIN || errno == EINTR)) {
            struct pollfd out = {fd, POLLOUT, 0};
            poll(&out, 1, -1);
        } else {
            return -1;
        }
    }
    return 0;
}

static int make_raw(int fd) {
    struct termios settings;
    if (tcgetattr(fd, &settings) != 0) return -1;
    cfmakeraw(&settings);
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    return tcsetattr(fd, TCSANOW, &settings);
}

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: relay DEVICE\n");
        return 2;
    }
    int device = open(argv[1], O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (device < 0 || make_raw(device) != 0 || make_raw(STDIN_FILENO) != 0) {
        fprintf(stderr, "relay: %s: %s\n", argv[1], strerror(errno));
        return 1;
    }
    static const char ready[] = "relay ready\r\n";
    write_all(STDOUT_FILENO, (const unsigned char *)ready, sizeof ready - 1);

    static unsigned char buffer[1 << 16];
    for (;;) {
        struct pollfd fds[2] = {{device, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return 1;
        }
        if (fds[0].revents) {
            ssize_t got = read(device, buffer, sizeof buffer);
            if (got > 0 && write_all(STDOUT_FILENO, buffer, (size_t)got) != 0) return 1;
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) return 0;
        }
        if (fds[1].revents) {
            ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
            if (got > 0 && write_all(device, buffer, (size_t)got) != 0) return 1;
            if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) return 0;
        }
    }
}
