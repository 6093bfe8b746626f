// The serial port: exclusive open, time-outs, line settings, the event mask
// and its waits, reads and writes.
//
// Windows completes these as overlapped operations; here reads and writes
// complete within the call (the time-outs bound a read, and a write waits
// until the port takes the bytes), and only a wait for port events pends. A
// pending wait blocks in poll on the port and on a wake-up pipe that
// SetCommMask writes to: it never polls on a timer.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "platform/posix/handles.h"

#ifdef __linux__
#include <asm/ioctls.h>  // TCGETS2, TCSETS2
// The kernel's termios2 (as on x86 and ARM), which carries any speed; its
// header cannot be included beside <termios.h>.
struct termios2 {
    tcflag_t c_iflag;
    tcflag_t c_oflag;
    tcflag_t c_cflag;
    tcflag_t c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed;
    speed_t c_ospeed;
};
#ifndef BOTHER
#define BOTHER 0010000
#endif
#endif

namespace {

// Read ahead this much from the device in one system call and serve the
// program's small reads from it: the same bytes at the same times, far
// fewer calls.
constexpr std::size_t kReadAheadSize = 1 << 16;

// Marks an overlapped record whose wait for port events is still pending.
constexpr ULONG_PTR kWaitPending = 1;

using Clock = std::chrono::steady_clock;

struct PortHandle : HandleBase {
    PortHandle() : HandleBase{HandleKind::Port} {}
    std::atomic<int> fd{-1};
    int wakeRead = -1;   // readable when the event mask changed
    int wakeWrite = -1;
    // The keyboard thread may be writing a wake-up while the first thread
    // closes the port: the pipe's use and its closing take turns.
    std::mutex wakeLock;
    COMMTIMEOUTS timeouts{};
    std::atomic<DWORD> mask{0};
    // Counts mask changes: a wait pending across a change completes empty.
    std::atomic<DWORD> maskGeneration{0};
    // The read-ahead and the hang-up state belong to the one thread that
    // reads and waits.
    unsigned char buffer[kReadAheadSize];
    std::size_t bufferStart = 0;
    std::size_t bufferEnd = 0;
    int hangUpError = 0;  // set once the device went away
    PortHandle *nextClosed = nullptr;
};

// Closed ports are kept (without their descriptors): the keyboard thread may
// still hold the handle while the process ends, and must then fail cleanly
// rather than touch freed memory.
std::mutex g_closedPortsLock;
PortHandle *g_closedPorts = nullptr;

// The open port's descriptor, for the signal handlers: a port left exclusive
// would refuse every other opener for as long as the line lives.
std::atomic<int> g_openPortFd{-1};

PortHandle *AsPort(HANDLE handle) {
    return IsHandleOfKind(handle, HandleKind::Port) ? static_cast<PortHandle *>(handle) : nullptr;
}

bool IsHangUpError(int error) { return error == EIO || error == ENXIO || error == ENODEV; }

std::size_t Buffered(const PortHandle *port) { return port->bufferEnd - port->bufferStart; }

// Moves up to `wanted` read-ahead bytes into out; returns how many.
std::size_t TakeBuffered(PortHandle *port, unsigned char *out, std::size_t wanted) {
    std::size_t count = std::min(wanted, Buffered(port));
    std::memcpy(out, port->buffer + port->bufferStart, count);
    port->bufferStart += count;
    if (port->bufferStart == port->bufferEnd) port->bufferStart = port->bufferEnd = 0;
    return count;
}

// One non-blocking read into the read-ahead. Returns the bytes added, 0 when
// none are waiting, -1 on an error other than a hang-up (errno set). A hang-up
// is recorded: EIO from a tty whose other side went away, or an empty read
// after poll reported the hang-up (with VMIN 0 an empty read alone only means
// that nothing is waiting).
ssize_t FillReadAhead(PortHandle *port, bool hangUpReported = false) {
    if (port->hangUpError) return 0;
    if (port->bufferStart == port->bufferEnd) port->bufferStart = port->bufferEnd = 0;
    std::size_t room = kReadAheadSize - port->bufferEnd;
    if (room == 0) return 0;
    for (;;) {
        ssize_t got = read(port->fd.load(), port->buffer + port->bufferEnd, room);
        if (got > 0) {
            port->bufferEnd += static_cast<std::size_t>(got);
            return got;
        }
        if (got == 0) {
            if (hangUpReported) port->hangUpError = EIO;
            return 0;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        if (IsHangUpError(errno)) {
            port->hangUpError = errno;
            return 0;
        }
        return -1;
    }
}

// Completes a pending wait for port events: blocks until bytes wait, the
// mask changes, or the device goes away.
BOOL CompleteWait(PortHandle *port, LPOVERLAPPED overlapped, bool block) {
    auto *mask = static_cast<DWORD *>(overlapped->Pointer);
    DWORD generation = static_cast<DWORD>(overlapped->InternalHigh);
    for (;;) {
        if (port->maskGeneration.load() != generation) {
            // The mask was changed while the wait was pending: an empty
            // completion, which is how the stop signal arrives.
            *mask = 0;
            break;
        }
        if (Buffered(port) > 0) {
            *mask = port->mask.load() & EV_RXCHAR;
            if (*mask) break;
        }
        if (port->hangUpError) {
            overlapped->Internal = 0;
            return FailWith(port->hangUpError);
        }
        pollfd fds[2] = {{port->fd.load(), POLLIN, 0}, {port->wakeRead, POLLIN, 0}};
        int ready = poll(fds, 2, block ? -1 : 0);
        if (ready < 0) {
            if (errno == EINTR) continue;
            overlapped->Internal = 0;
            return FailWith(errno);
        }
        if (ready == 0) return FailWith(996);  // ERROR_IO_INCOMPLETE: still pending
        if (fds[1].revents & POLLIN) {
            char drain[64];
            while (read(port->wakeRead, drain, sizeof drain) > 0) {
            }
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            // Read now rather than trusting the flags: bytes sent just before
            // a hang-up are still delivered, and the hang-up is recorded.
            if (FillReadAhead(port, (fds[0].revents & (POLLHUP | POLLERR)) != 0) < 0) {
                overlapped->Internal = 0;
                return FailWith(errno);
            }
        } else if (fds[0].revents & POLLNVAL) {
            overlapped->Internal = 0;
            return FailWith(EBADF);
        }
    }
    overlapped->Internal = 0;
    overlapped->InternalHigh = 0;
    return TRUE;
}

#ifdef __linux__
// Any speed the driver accepts, through termios2 (the B constants only cover
// the standard ones).
bool SetCustomSpeed(int fd, DWORD speed) {
    struct termios2 settings;
    if (ioctl(fd, TCGETS2, &settings) != 0) return false;
    settings.c_cflag &= ~CBAUD;
    settings.c_cflag |= BOTHER;
    settings.c_ispeed = speed;
    settings.c_ospeed = speed;
    return ioctl(fd, TCSETS2, &settings) == 0;
}
#endif

speed_t StandardSpeed(DWORD speed) {
    switch (speed) {
        case 50: return B50;
        case 75: return B75;
        case 110: return B110;
        case 134: return B134;
        case 150: return B150;
        case 200: return B200;
        case 300: return B300;
        case 600: return B600;
        case 1200: return B1200;
        case 1800: return B1800;
        case 2400: return B2400;
        case 4800: return B4800;
        case 9600: return B9600;
        case 19200: return B19200;
        case 38400: return B38400;
        case 57600: return B57600;
        case 115200: return B115200;
        case 230400: return B230400;
#ifdef B460800
        case 460800: return B460800;
        case 500000: return B500000;
        case 576000: return B576000;
        case 921600: return B921600;
        case 1000000: return B1000000;
        case 1152000: return B1152000;
        case 1500000: return B1500000;
        case 2000000: return B2000000;
        case 2500000: return B2500000;
        case 3000000: return B3000000;
        case 3500000: return B3500000;
        case 4000000: return B4000000;
#endif
        default: return B0;
    }
}

// Raises or drops one modem line. A device without modem lines (a
// pseudo-terminal, some adapters) answers ENOTTY or EINVAL: not an error.
bool SetModemLine(int fd, int line, bool raised) {
    if (ioctl(fd, raised ? TIOCMBIS : TIOCMBIC, &line) == 0) return true;
    return errno == ENOTTY || errno == EINVAL;
}

}  // namespace

HANDLE CreateFileA(LPCSTR name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
    // Non-blocking, so the open never waits for a carrier; reads and writes
    // wait in poll instead.
    int fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        FailWith(errno);
        return INVALID_HANDLE_VALUE;
    }
    int error = 0;
    if (!isatty(fd)) {
        error = ENOTTY;  // only terminal devices are ports
    } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        // Held by another program (or another session): as Windows refuses a
        // second opener of a port. root passes TIOCEXCL, so the lock is what
        // actually keeps two sessions apart.
        error = (errno == EWOULDBLOCK) ? EBUSY : errno;
    } else if (ioctl(fd, TIOCEXCL) != 0 && errno != ENOTTY && errno != EINVAL) {
        error = errno;
    }
    auto *port = error ? nullptr : new (std::nothrow) PortHandle;
    if (port == nullptr && error == 0) error = ENOMEM;
    if (port) {
        int wake[2];
        if (pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0) {
            error = errno;
            delete port;
            port = nullptr;
        } else {
            port->fd = fd;
            g_openPortFd.store(fd);
            port->wakeRead = wake[0];
            port->wakeWrite = wake[1];
        }
    }
    if (error) {
        close(fd);
        FailWith(error);
        return INVALID_HANDLE_VALUE;
    }
    return port;
}

BOOL ClosePortHandle(HANDLE handle) {
    PortHandle *port = AsPort(handle);
    if (port == nullptr) return FailWith(EBADF);
    int fd = port->fd.exchange(-1);
    if (fd < 0) return FailWith(EBADF);
    g_openPortFd.store(-1);
    // Give the device back as it was found: not exclusive, not locked.
    ioctl(fd, TIOCNXCL);
    flock(fd, LOCK_UN);
    int result = close(fd);
    int closeError = errno;
    {
        std::lock_guard<std::mutex> guard(port->wakeLock);
        close(port->wakeRead);
        close(port->wakeWrite);
        port->wakeRead = port->wakeWrite = -1;
    }
    {
        std::lock_guard<std::mutex> guard(g_closedPortsLock);
        port->nextClosed = g_closedPorts;
        g_closedPorts = port;
    }
    return result == 0 ? TRUE : FailWith(closeError);
}

void ReleasePortOnSignal() {
    int fd = g_openPortFd.load();
    if (fd < 0) return;
    ioctl(fd, TIOCNXCL);
    flock(fd, LOCK_UN);
}

BOOL SetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts) {
    PortHandle *port = AsPort(handle);
    if (port == nullptr || timeouts == nullptr) return FailWith(EINVAL);
    port->timeouts = *timeouts;
    return TRUE;
}

BOOL SetCommState(HANDLE handle, LPDCB dcb) {
    PortHandle *port = AsPort(handle);
    if (port == nullptr || dcb == nullptr) return FailWith(EINVAL);
    int fd = port->fd.load();
    termios settings;
    if (tcgetattr(fd, &settings) != 0) return FailWith(errno);

    // Raw: every byte value passes untouched in both directions, no echo, no
    // signals, no software flow control (XON and XOFF are data).
    settings.c_iflag = dcb->fParity ? (INPCK) : 0;
    settings.c_oflag = 0;
    settings.c_lflag = 0;
    settings.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    settings.c_cflag |= CLOCAL | CREAD;
    switch (dcb->ByteSize) {
        case 5: settings.c_cflag |= CS5; break;
        case 6: settings.c_cflag |= CS6; break;
        case 7: settings.c_cflag |= CS7; break;
        case 8: settings.c_cflag |= CS8; break;
        default: return FailWith(EINVAL);
    }
    switch (dcb->Parity) {
        case NOPARITY: break;
        case ODDPARITY: settings.c_cflag |= PARENB | PARODD; break;
        case EVENPARITY: settings.c_cflag |= PARENB; break;
        default: return FailWith(EINVAL);
    }
    if (dcb->StopBits == TWOSTOPBITS) settings.c_cflag |= CSTOPB;
    // Reads complete at once; the layer applies the time-outs itself.
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;

    speed_t standard = StandardSpeed(dcb->BaudRate);
    if (standard != B0 && (cfsetispeed(&settings, standard) != 0 ||
                           cfsetospeed(&settings, standard) != 0)) {
        return FailWith(errno);
    }
    if (tcsetattr(fd, TCSANOW, &settings) != 0) return FailWith(errno);
    if (standard == B0) {
#ifdef __linux__
        if (dcb->BaudRate == 0 || !SetCustomSpeed(fd, dcb->BaudRate)) {
            return FailWith(dcb->BaudRate == 0 ? EINVAL : errno);
        }
#else
        return FailWith(EINVAL);
#endif
    }
    // After tcsetattr: some drivers drop the lines while reconfiguring.
    if (!SetModemLine(fd, TIOCM_DTR, dcb->fDtrControl == DTR_CONTROL_ENABLE) ||
        !SetModemLine(fd, TIOCM_RTS, dcb->fRtsControl == RTS_CONTROL_ENABLE)) {
        return FailWith(errno);
    }
    return TRUE;
}

BOOL SetCommMask(HANDLE handle, DWORD mask) {
    PortHandle *port = AsPort(handle);
    if (port == nullptr || port->fd.load() < 0) return FailWith(EBADF);
    port->mask.store(mask);
    port->maskGeneration.fetch_add(1);
    // Wake a pending wait. A full pipe already holds a wake-up; a pipe closed
    // meanwhile means the wait it would wake has already ended.
    char wake = 1;
    std::lock_guard<std::mutex> guard(port->wakeLock);
    if (port->wakeWrite < 0) return TRUE;
    if (write(port->wakeWrite, &wake, 1) < 0 && errno != EAGAIN) return FailWith(errno);
    return TRUE;
}

BOOL WaitCommEvent(HANDLE handle, LPDWORD mask, LPOVERLAPPED overlapped) {
    PortHandle *port = AsPort(handle);
    if (port == nullptr || port->fd.load() < 0 || mask == nullptr || overlapped == nullptr) {
        return FailWith(EINVAL);
    }
    // The count before the mask: a change landing between the two reads then
    // either shows in the mask or completes the wait empty; read the other way
    // round, a stop could be missed and the wait would never end.
    overlapped->InternalHigh = port->maskGeneration.load();
    DWORD armed = port->mask.load();
    if (armed == 0) {
        // Nothing can ever be reported: complete empty rather than wait for
        // ever.
        *mask = 0;
        return TRUE;
    }
    // Level-triggered: bytes already waiting complete the wait at once.
    if ((armed & EV_RXCHAR) && Buffered(port) == 0 && FillReadAhead(port) < 0) {
        return FailWith(errno);
    }
    if ((armed & EV_RXCHAR) && Buffered(port) > 0) {
        *mask = EV_RXCHAR;
        return TRUE;
    }
    overlapped->Internal = kWaitPending;
    overlapped->Pointer = mask;
    return FailWith(ERROR_IO_PENDING);
}

BOOL GetOverlappedResult(HANDLE handle, LPOVERLAPPED overlapped, LPDWORD transferred,
                         BOOL wait) {
    PortHandle *port = AsPort(handle);
    if (port == nullptr || overlapped == nullptr || transferred == nullptr) {
        return FailWith(EINVAL);
    }
    if (overlapped->Internal == kWaitPending) {
        *transferred = 0;
        if (port->fd.load() < 0) return FailWith(EBADF);
        return CompleteWait(port, overlapped, wait != FALSE);
    }
    // Reads and writes completed within their calls.
    *transferred = static_cast<DWORD>(overlapped->InternalHigh);
    return TRUE;
}

BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped) {
    PortHandle *port = AsPort(handle);
    if (port == nullptr || port->fd.load() < 0 || buffer == nullptr || read == nullptr) {
        return FailWith(EINVAL);
    }
    *read = 0;
    auto *out = static_cast<unsigned char *>(buffer);
    const COMMTIMEOUTS &t = port->timeouts;
    // As Windows reads them: the total time-out bounds the whole read, the
    // interval time-out the gap between two bytes once the first has come;
    // zero disables either. MAXDWORD interval with no totals: return at once
    // with whatever has arrived.
    bool returnAtOnce = t.ReadIntervalTimeout == MAXDWORD &&
                        t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
    bool totalBounded = t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0;
    bool intervalBounded = t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != MAXDWORD;
    // Served from the read-ahead whole, the read takes no time at all: the
    // clock is only read when it may have to wait.
    std::size_t got = TakeBuffered(port, out, toRead);
    Clock::time_point start = got < toRead ? Clock::now() : Clock::time_point{};
    Clock::time_point totalDeadline =
        start + std::chrono::milliseconds(static_cast<long long>(t.ReadTotalTimeoutMultiplier) *
                                              toRead + t.ReadTotalTimeoutConstant);
    Clock::time_point lastByte = start;

    bool hangUpReported = false;
    while (got < toRead) {
        ssize_t added = FillReadAhead(port, hangUpReported);
        if (added < 0) {
            if (got > 0) break;  // deliver what came; the error recurs next time
            return FailWith(errno);
        }
        if (added > 0) {
            lastByte = Clock::now();
            got += TakeBuffered(port, out + got, toRead - got);
            continue;
        }
        // A hang-up ends the read with what it has; the next wait reports it.
        if (port->hangUpError || returnAtOnce) break;
        // The time-outs are kept to the microsecond: a poll in whole
        // milliseconds would round the 2 ms interval up by most of one.
        bool bounded = totalBounded || (intervalBounded && got > 0);
        Clock::time_point wakeAt = Clock::time_point::max();
        if (totalBounded) wakeAt = totalDeadline;
        if (intervalBounded && got > 0) {
            wakeAt = std::min(wakeAt,
                              lastByte + std::chrono::milliseconds(t.ReadIntervalTimeout));
        }
        timespec wait{};
        if (bounded) {
            auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(wakeAt - Clock::now());
            if (left.count() <= 0) break;
            wait.tv_sec = static_cast<time_t>(left.count() / 1000000000);
            wait.tv_nsec = static_cast<long>(left.count() % 1000000000);
        }
        // Woken by bytes, a hang-up (recorded by the next fill) or the time-out
        // (the next pass finds it expired).
        pollfd fds = {port->fd.load(), POLLIN, 0};
        if (ppoll(&fds, 1, bounded ? &wait : nullptr, nullptr) < 0 && errno != EINTR) {
            if (got > 0) break;
            return FailWith(errno);
        }
        hangUpReported = (fds.revents & (POLLHUP | POLLERR)) != 0;
    }
    *read = static_cast<DWORD>(got);
    if (overlapped) {
        overlapped->Internal = 0;
        overlapped->InternalHigh = got;
    }
    return TRUE;
}

BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD toWrite, LPDWORD written,
               LPOVERLAPPED overlapped) {
    PortHandle *port = AsPort(handle);
    if (port == nullptr || buffer == nullptr) return FailWith(EINVAL);
    if (written) *written = 0;
    auto *in = static_cast<const unsigned char *>(buffer);
    std::size_t sent = 0;
    while (sent < toWrite) {
        int fd = port->fd.load();
        if (fd < 0) return FailWith(EBADF);
        ssize_t result = write(fd, in + sent, toWrite - sent);
        if (result > 0) {
            sent += static_cast<std::size_t>(result);
            continue;
        }
        if (result < 0 && errno == EINTR) continue;
        if (result < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // The port's output queue is full: wait until it takes more, as a
            // Windows write with no write time-out does.
            pollfd fds = {fd, POLLOUT, 0};
            if (poll(&fds, 1, -1) < 0 && errno != EINTR) return FailWith(errno);
            if ((fds.revents & (POLLHUP | POLLERR | POLLNVAL)) && !(fds.revents & POLLOUT)) {
                return FailWith(fds.revents & POLLNVAL ? EBADF : EIO);
            }
            continue;
        }
        return FailWith(result == 0 ? EIO : errno);
    }
    if (written) *written = static_cast<DWORD>(sent);
    if (overlapped) {
        overlapped->Internal = 0;
        overlapped->InternalHigh = sent;
    }
    return TRUE;
}

// The port's present line settings, as far as a DCB can say them. Windows
// answers this only for communications devices, and OpenPort relies on that.
BOOL GetCommState(HANDLE handle, LPDCB dcb) {
    PortHandle *port = AsPort(handle);
    if (port == nullptr || dcb == nullptr) return FailWith(EINVAL);
    termios settings;
    if (tcgetattr(port->fd.load(), &settings) != 0) return FailWith(errno);
    std::memset(dcb, 0, sizeof *dcb);
    dcb->DCBlength = sizeof *dcb;
    dcb->fBinary = 1;
#ifdef __linux__
    struct termios2 exact;  // the speed as a number, custom speeds included
    if (ioctl(port->fd.load(), TCGETS2, &exact) == 0) dcb->BaudRate = exact.c_ospeed;
#endif
    const tcflag_t size = settings.c_cflag & CSIZE;
    dcb->ByteSize = size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8;
    dcb->Parity = !(settings.c_cflag & PARENB) ? NOPARITY
                  : (settings.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    dcb->StopBits = (settings.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
    return TRUE;
}
