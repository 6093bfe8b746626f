// ptyrun BASE STEP... -- PROGRAM ARG...: runs PROGRAM with a new
// pseudo-terminal as its console and plays the person at it. BASE.con gets
// every byte the program shows, BASE.keys every byte typed. The steps, in turn:
//   w:TEXT  wait until the console shows TEXT (after the previous match)
//   k:TEXT  type TEXT (escapes \r and \xHH)
//   K:N     type numbered lines, each ended by Enter, N bytes or a line more
//   p:DEV   print the speed DEV's driver applied (TCGETS2) and DTR and RTS
//   r:CMD   run CMD with sh
// Then it waits for the program to end and prints "exit=N restored=1" (0 when
// the console's mode is not the one the program found).
#define _GNU_SOURCE
#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

static char *shown, *typed;
static size_t shownLen, typedLen, typedDone;
static int master, status = -1;
static pid_t child;

static void add(char **buf, size_t *len, const void *bytes, size_t n) {
    *buf = realloc(*buf, *len + n + 1);
    memcpy(*buf + *len, bytes, n);
    *len += n;
}

// One round: takes what the program shows, types what waits, notes its end.
static void pump(void) {
    struct pollfd fd = {master, POLLIN | (typedDone < typedLen ? POLLOUT : 0), 0};
    poll(&fd, 1, 20);
    char chunk[65536];
    ssize_t n;
    while ((n = read(master, chunk, sizeof chunk)) > 0) add(&shown, &shownLen, chunk, n);
    if (typedDone < typedLen && (n = write(master, typed + typedDone, typedLen - typedDone)) > 0)
        typedDone += n;
    if (status < 0 && waitpid(child, &status, WNOHANG) != child) status = -1;
}

// Unescapes \r and \xHH in place; returns the length.
static size_t unescape(char *s) {
    size_t n = 0;
    for (char *p = s; *p; n++) {
        if (p[0] == '\\' && p[1] == 'r') {
            s[n] = '\r', p += 2;
        } else if (p[0] == '\\' && p[1] == 'x' && p[2] && p[3]) {
            char hex[3] = {p[2], p[3], 0};
            s[n] = (char)strtol(hex, NULL, 16), p += 4;
        } else {
            s[n] = *p++;
        }
    }
    return n;
}

static void save(const char *base, const char *suffix, const char *bytes, size_t n) {
    char path[512];
    snprintf(path, sizeof path, "%s%s", base, suffix);
    FILE *f = fopen(path, "wb");
    if (!f || fwrite(bytes, 1, n, f) != n || fclose(f)) perror(path), exit(2);
}

int main(int argc, char **argv) {
    int first = 2;
    while (first < argc && strcmp(argv[first], "--")) first++;
    if (argc < 2 || first + 1 >= argc) {
        fprintf(stderr, "usage: ptyrun BASE STEP... -- PROGRAM ARG...\n");
        return 2;
    }
    shown = calloc(1, 1), typed = calloc(1, 1);
    master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master < 0 || grantpt(master) || unlockpt(master)) return perror("pty"), 2;
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    // A console as a shell leaves it, less output processing: what the
    // program writes is kept byte for byte.
    struct termios2 before, after;
    struct winsize size = {24, 80, 0, 0};
    ioctl(slave, TCGETS2, &before);
    before.c_oflag &= ~OPOST;
    if (slave < 0 || ioctl(slave, TCSETS2, &before) || ioctl(slave, TIOCSWINSZ, &size))
        return perror("console"), 2;
    if ((child = fork()) == 0) {
        setsid();
        ioctl(slave, TIOCSCTTY, 0);
        for (int fd = 0; fd < 3; fd++) dup2(slave, fd);
        close(slave), close(master);
        execv(argv[first + 1], argv + first + 1);
        _exit(127);
    }
    size_t from = 0;
    for (int i = 2; i < first && status < 0; i++) {
        char *arg = argv[i] + 2, kind = argv[i][0];
        size_t n = unescape(arg);
        if (kind == 'k') add(&typed, &typedLen, arg, n);
        for (long line = 0, left = kind == 'K' ? atol(arg) : 0; left > 0; line++) {
            char text[64];
            int length = snprintf(text, sizeof text, "k%07ld typed line of keys\r", line);
            add(&typed, &typedLen, text, length);
            left -= length;
        }
        char *found = NULL;
        for (size_t at = from;
             kind == 'w' && !(found = memmem(shown + at, shownLen - at, arg, n)) && status < 0;
             pump())
            at = shownLen > from + n ? shownLen - n : from;  // no match starts before
        if (kind == 'w') from = found ? (size_t)(found - shown) + n : shownLen;
        if (kind == 'w' && !found) printf("ended while waiting for %s\n", argv[i]);
        int fd = kind == 'p' ? open(arg, O_RDWR | O_NOCTTY | O_NONBLOCK) : -1;
        struct termios2 line;
        int modem = 0;
        if (fd >= 0 && !ioctl(fd, TCGETS2, &line) && !ioctl(fd, TIOCMGET, &modem))
            printf("speed=%u dtr=%d rts=%d\n", line.c_ospeed, !!(modem & TIOCM_DTR),
                   !!(modem & TIOCM_RTS));
        else if (kind == 'p')
            printf("probe of %s failed\n", arg);
        if (fd >= 0) close(fd);
        fflush(stdout);
        if (kind == 'r' && system(arg) != 0) printf("%s failed\n", argv[i]);
    }
    while (status < 0) pump();
    pump();  // what was left to show
    ioctl(slave, TCGETS2, &after);
    int restored = after.c_iflag == before.c_iflag && after.c_oflag == before.c_oflag &&
                   after.c_cflag == before.c_cflag && after.c_lflag == before.c_lflag &&
                   !memcmp(after.c_cc, before.c_cc, sizeof after.c_cc);
    save(argv[1], ".con", shown, shownLen);
    save(argv[1], ".keys", typed, typedLen);
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    printf("exit=%d restored=%d\n", code, restored);
    return 0;
}
