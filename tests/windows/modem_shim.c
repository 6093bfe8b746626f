/* Preloaded into Wine's processes by smoke.py so that a COM port mapped to a
 * pseudo-terminal behaves like a serial port with a device attached.
 *
 * Wine's serial emulation reads and sets the modem lines (TIOCMGET,
 * TIOCMSET, TIOCMBIS, TIOCMBIC); a pseudo-terminal slave answers ENOTTY,
 * and Wine then ends every pending WaitCommEvent at once with error 995.
 * Here those four requests succeed on pty slaves (character devices of
 * majors 136-143): DSR, CTS and CD read as on, DTR and RTS as last set on
 * that device. Every other request, and every other descriptor, goes to the
 * real call. Once the other side of the pseudo-terminal has closed, TIOCMGET
 * fails with EIO, as it does on the tty of an adapter that was unplugged.
 *
 * Debian's 32-bit Wine is built with 64-bit time, so its ntdll calls
 * __ioctl_time64 rather than ioctl: both are provided on i386. Build it
 * twice (gcc -m32 and -m64) and preload it as 'DIR/$LIB/name.so' so that
 * each process loads the copy of its own word size. */
#define _GNU_SOURCE
#define _FILE_OFFSET_BITS 64 /* fstat must not fail on a large inode number */
#include <dlfcn.h>
#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

typedef int (*ioctl_fn)(int, unsigned long, ...);

#define DEVICES 16

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static dev_t devices[DEVICES];
static int lines[DEVICES]; /* DTR and RTS as last set */
static int used;

static int is_pty_slave(int fd, dev_t *device)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return 0;
    *device = st.st_rdev;
    return major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
}

/* 1 when the request was answered here (result in *result). */
static int modem_request(int fd, unsigned long request, void *arg, int *result)
{
    dev_t device;
    int i, *value = arg;
    if (request != TIOCMGET && request != TIOCMSET && request != TIOCMBIS && request != TIOCMBIC)
        return 0;
    if (value == 0 || !is_pty_slave(fd, &device)) return 0;
    if (request == TIOCMGET) {
        /* The other side closed: answer as the tty of an unplugged adapter
         * does, so that Wine's pending wait sees the device go away. */
        struct pollfd hangup = {fd, 0, 0};
        if (poll(&hangup, 1, 0) == 1 && (hangup.revents & POLLHUP)) {
            errno = EIO;
            *result = -1;
            return 1;
        }
    }
    pthread_mutex_lock(&lock);
    for (i = 0; i < used && devices[i] != device; ++i) {}
    if (i == used && used < DEVICES) {
        devices[used] = device;
        lines[used++] = 0;
    }
    if (i < used) {
        const int settable = TIOCM_DTR | TIOCM_RTS;
        if (request == TIOCMGET) *value = lines[i] | TIOCM_DSR | TIOCM_CTS | TIOCM_CAR;
        else if (request == TIOCMSET) lines[i] = *value & settable;
        else if (request == TIOCMBIS) lines[i] |= *value & settable;
        else lines[i] &= ~*value;
    }
    pthread_mutex_unlock(&lock);
    if (i >= DEVICES) return 0; /* more devices than the table holds */
    *result = 0;
    return 1;
}

/* The real call is looked up once; racing first calls store the same value. */
static int forward(ioctl_fn *real, const char *name, int fd, unsigned long request, void *arg)
{
    int result;
    if (modem_request(fd, request, arg, &result)) return result;
    if (*real == 0) *real = (ioctl_fn)dlsym(RTLD_NEXT, name);
    return (*real)(fd, request, arg);
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list args;
    void *arg;
    va_start(args, request);
    arg = va_arg(args, void *);
    va_end(args);
    static ioctl_fn real;
    return forward(&real, "ioctl", fd, request, arg);
}

#ifdef __i386__
int __ioctl_time64(int fd, unsigned long request, ...);
int __ioctl_time64(int fd, unsigned long request, ...)
{
    va_list args;
    void *arg;
    va_start(args, request);
    arg = va_arg(args, void *);
    va_end(args);
    static ioctl_fn real;
    return forward(&real, "__ioctl_time64", fd, request, arg);
}
#endif
