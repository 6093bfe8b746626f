// The serial port: exclusive open, time-outs, line settings, the event mask
// and its waits, reads and writes. Reads complete within the call (the
// time-outs bound them). A write pends while the port cannot take its bytes
// and goes on whenever its event is waited for or its result asked; a wait
// for port events pends in poll on the port and on a wake-up pipe that
// SetCommMask writes to. Nothing polls on a timer.
#include <asm/ioctls.h>
#include <asm/termbits.h>  // the kernel's termios2, which carries any speed
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/linux/handles.h"

namespace {

// Read ahead this much in one system call and serve the program's small
// reads from it: the same bytes at the same times, far fewer calls.
constexpr std::size_t kReadAheadSize = 1 << 16;
// What an overlapped record's Internal says of its operation: a wait or a
// write still pending, or a write that failed (its error in InternalHigh).
constexpr ULONG_PTR kWaitPending = 1;
constexpr ULONG_PTR kWritePending = 2;
constexpr ULONG_PTR kWriteFailed = 3;

// The program opens one port at a time: one static record. The descriptor is
// atomic, so that any thread (or a signal handler) may read it. The wake-up
// pipe is made once and kept, so a wake-up never meets a closing pipe.
struct Port : HandleBase {
    constexpr Port() : HandleBase{HandleKind::Port} {}
    std::atomic<int> fd{-1};
    int wake[2] = {-1, -1};  // readable when the event mask changed
    COMMTIMEOUTS timeouts{};
    std::atomic<DWORD> mask{0};
    // Counts mask changes: a wait pending across a change completes empty.
    std::atomic<DWORD> maskGeneration{0};
    // The read-ahead and hang-up belong to the thread that reads and waits.
    unsigned char buffer[kReadAheadSize];
    std::size_t bufferStart = 0;
    std::size_t bufferEnd = 0;
    int hangUpError = 0;  // set once the device went away
    // The one write that may be pending, and the thread that started it.
    // Only that thread moves it on or cancels it.
    struct {
        const unsigned char *bytes = nullptr;
        std::size_t size = 0;
        std::size_t sent = 0;
        LPOVERLAPPED record = nullptr;
        pthread_t writer{};
    } write;
};
Port g_port;

// The open port behind a handle, or null (EBADF; EINVAL for a missing argument).
Port *AsPort(HANDLE handle, bool argumentsGiven = true) {
    bool open = handle == &g_port && g_port.fd.load() >= 0;
    if (open && argumentsGiven) return &g_port;
    FailWith(open ? EINVAL : EBADF);
    return nullptr;
}

HANDLE Refuse(int error) {
    FailWith(error);
    return INVALID_HANDLE_VALUE;
}

// Reads and writes complete within their calls.
BOOL Completed(LPOVERLAPPED overlapped, std::size_t transferred) {
    if (overlapped) {
        overlapped->Internal = 0;
        overlapped->InternalHigh = transferred;
    }
    return TRUE;
}

std::size_t Buffered() { return g_port.bufferEnd - g_port.bufferStart; }

// Moves up to `wanted` read-ahead bytes into out; returns how many.
std::size_t TakeBuffered(unsigned char *out, std::size_t wanted) {
    std::size_t count = wanted < Buffered() ? wanted : Buffered();
    std::memcpy(out, g_port.buffer + g_port.bufferStart, count);
    g_port.bufferStart += count;
    return count;
}

// One non-blocking read into the read-ahead: the bytes added, 0 when none
// wait, -1 on an error other than a hang-up (errno set). A hang-up is EIO from
// a tty whose other side went away, or an empty read after poll reported one
// (with VMIN 0 an empty read alone only means that nothing is waiting).
ssize_t FillReadAhead(bool hangUpReported = false) {
    if (g_port.hangUpError) return 0;
    if (g_port.bufferStart == g_port.bufferEnd) {
        g_port.bufferStart = 0;
        g_port.bufferEnd = 0;
    }
    for (std::size_t room = kReadAheadSize - g_port.bufferEnd; room != 0;) {
        ssize_t got = read(g_port.fd.load(), g_port.buffer + g_port.bufferEnd, room);
        if (got > 0) g_port.bufferEnd += static_cast<std::size_t>(got);
        if (got > 0 || (got < 0 && errno == EAGAIN)) return got > 0 ? got : 0;
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && errno != EIO && errno != ENXIO && errno != ENODEV) return -1;
        if (got < 0 || hangUpReported) g_port.hangUpError = got < 0 ? errno : EIO;
        return 0;
    }
    return 0;
}

// Completes a pending wait for port events: blocks until bytes wait, the
// mask changes, or the device goes away.
BOOL CompleteWait(LPOVERLAPPED overlapped) {
    auto *mask = static_cast<DWORD *>(overlapped->Pointer);
    DWORD generation = static_cast<DWORD>(overlapped->InternalHigh);
    int error = 0;
    for (*mask = 0; error == 0;) {
        // A mask change while pending completes the wait empty: the stop signal.
        if (g_port.maskGeneration.load() != generation) break;
        if (Buffered() > 0 && (*mask = g_port.mask.load() & EV_RXCHAR) != 0) break;
        if ((error = g_port.hangUpError) != 0) break;
        pollfd fds[2] = {{g_port.fd.load(), POLLIN, 0}, {g_port.wake[0], POLLIN, 0}};
        if (PollUntil(fds, 2, -1) < 0) {
            error = errno;
            continue;
        }
        char drain[64];
        while ((fds[1].revents & POLLIN) && read(g_port.wake[0], drain, sizeof drain) > 0) {
        }
        // Read now rather than trusting the flags: bytes sent just before a
        // hang-up are still delivered, and the hang-up is recorded.
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) &&
            FillReadAhead((fds[0].revents & (POLLHUP | POLLERR)) != 0) < 0) {
            error = errno;
        } else if (fds[0].revents & POLLNVAL) {
            error = EBADF;
        }
    }
    overlapped->Internal = 0;
    overlapped->InternalHigh = 0;
    return error ? FailWith(error) : TRUE;
}

// The rates that have a B constant: set as such, a line's speed reads in the
// usual form (stty, setserial); other rates go as BOTHER with the number.
struct Rate {
    DWORD rate;
    tcflag_t code;
};
constexpr Rate kRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

tcflag_t SpeedCode(DWORD rate) {
    for (const Rate &known : kRates) {
        if (known.rate == rate) return known.code;
    }
    return BOTHER;
}

// Raises or drops one modem line; a device without them (a pseudo-terminal,
// some adapters) answers ENOTTY or EINVAL: not an error.
bool SetModemLine(int fd, int line, bool up) {
    return ioctl(fd, up ? TIOCMBIS : TIOCMBIC, &line) == 0 || errno == ENOTTY || errno == EINVAL;
}

}  // namespace

HANDLE CreateFileA(LPCSTR name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
    if (g_port.fd.load() >= 0) return Refuse(EBUSY);
    if (g_port.wake[0] < 0 && pipe2(g_port.wake, O_NONBLOCK | O_CLOEXEC) != 0) return Refuse(errno);
    // Non-blocking, so the open never waits for a carrier; reads and writes
    // wait in poll instead.
    int fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return Refuse(errno);
    int error = 0;
    if (!isatty(fd)) {
        error = ENOTTY;  // only terminal devices are ports
    } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        // Held by another program or session, refused as on Windows. root
        // passes TIOCEXCL: the lock is what keeps two sessions apart.
        error = errno == EWOULDBLOCK ? EBUSY : errno;
    } else if (ioctl(fd, TIOCEXCL) != 0 && errno != ENOTTY && errno != EINVAL) {
        error = errno;
    }
    if (error) {
        close(fd);
        return Refuse(error);
    }
    g_port.timeouts = COMMTIMEOUTS{};
    g_port.mask.store(0);
    g_port.bufferStart = 0;
    g_port.bufferEnd = 0;
    g_port.hangUpError = 0;
    g_port.write.record = nullptr;
    g_port.fd.store(fd);
    return &g_port;
}

// Gives the device back as it was found, not exclusive and not locked, on
// every way out: a port left exclusive refuses every opener while the line lives.
void ReleasePort() {
    int fd = g_port.fd.load();
    if (fd < 0) return;
    ioctl(fd, TIOCNXCL);
    flock(fd, LOCK_UN);
}

bool IsOpenPort(const struct stat &file) {
    struct stat port;
    int fd = g_port.fd.load();
    return fd >= 0 && S_ISCHR(file.st_mode) && fstat(fd, &port) == 0 &&
           file.st_rdev == port.st_rdev;
}

namespace {

// Keys already handed to the port are the user's and go out: the close
// waits while the driver's output queue moves. Bytes a device that stopped
// reading has left there would hold close() for the driver's closing wait
// (30 s by default on a UART or a USB adapter), long after Ctrl+Q: once the
// queue has not moved for half a second, what is left is dropped, and so it
// is after 30 s in all. A pseudo-terminal counts nothing here (its bytes
// are already with the other side, which may read them after the close), and
// a flush would throw them away: it is never flushed.
void LetOutputGo(int fd) {
    constexpr long long kStillNs = 500LL * 1000000;
    constexpr long long kBoundNs = 30LL * 1000000000;
    const long long start = NowNs();
    long long movedAt = start;
    int before = -1;
    int queued = 0;
    // A failed query (the device went away) leaves nothing to wait for.
    while (ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0) {
        const long long now = NowNs();
        if (queued != before) movedAt = now;
        before = queued;
        if (now - movedAt >= kStillNs || now - start >= kBoundNs) {
            // A failure here leaves only the driver's own wait; the close goes on.
            static_cast<void>(ioctl(fd, TCFLSH, TCOFLUSH));
            return;
        }
        poll(nullptr, 0, 10);
    }
}

}  // namespace

BOOL ClosePortHandle(HANDLE handle) {
    if (handle != &g_port || g_port.fd.load() < 0) return FailWith(EBADF);
    LetOutputGo(g_port.fd.load());
    ReleasePort();
    g_port.write.record = nullptr;  // a write still pending ends with the handle
    return close(g_port.fd.exchange(-1)) == 0 ? TRUE : FailWith(errno);
}

BOOL SetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts) {
    Port *port = AsPort(handle, timeouts != nullptr);
    if (port == nullptr) return FALSE;
    // Write time-outs and the MAXDWORD read modes are never asked for (writes
    // wait until the port takes the bytes): refused rather than ignored.
    if (timeouts->ReadIntervalTimeout == MAXDWORD || timeouts->WriteTotalTimeoutMultiplier != 0 ||
        timeouts->WriteTotalTimeoutConstant != 0) {
        return FailWith(EINVAL);
    }
    port->timeouts = *timeouts;
    return TRUE;
}

BOOL SetCommState(HANDLE handle, LPDCB dcb) {
    Port *port = AsPort(handle, dcb != nullptr);
    if (port == nullptr) return FALSE;
    // Only lines the program asks for: 8 data bits, no parity, one stop bit,
    // no flow control, DTR and RTS raised or dropped. Others are refused.
    if (dcb->BaudRate == 0 || dcb->ByteSize != 8 || dcb->Parity != NOPARITY ||
        dcb->StopBits != ONESTOPBIT || dcb->fParity || dcb->fOutxCtsFlow || dcb->fOutxDsrFlow ||
        dcb->fOutX || dcb->fInX || dcb->fDtrControl > DTR_CONTROL_ENABLE ||
        dcb->fRtsControl > RTS_CONTROL_ENABLE) {
        return FailWith(EINVAL);
    }
    int fd = port->fd.load();
    termios2 settings;
    if (ioctl(fd, TCGETS2, &settings) != 0) return FailWith(errno);
    // Raw: every byte value passes untouched in both directions, no echo, no
    // signals, no software flow control (XON and XOFF are data). Reads
    // complete at once; the layer applies the time-outs itself.
    settings.c_iflag = 0;
    settings.c_oflag = 0;
    settings.c_lflag = 0;
    settings.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | CBAUD | CIBAUD);
    settings.c_cflag |= CS8 | CLOCAL | CREAD | SpeedCode(dcb->BaudRate);
    settings.c_ispeed = dcb->BaudRate;
    settings.c_ospeed = dcb->BaudRate;
    settings.c_cc[VMIN] = settings.c_cc[VTIME] = 0;
    if (ioctl(fd, TCSETS2, &settings) != 0) return FailWith(errno);
    // After the settings: some drivers drop the lines while reconfiguring.
    if (!SetModemLine(fd, TIOCM_DTR, dcb->fDtrControl == DTR_CONTROL_ENABLE) ||
        !SetModemLine(fd, TIOCM_RTS, dcb->fRtsControl == RTS_CONTROL_ENABLE)) {
        return FailWith(errno);
    }
    // A driver takes a speed it cannot do without a word and applies another
    // (the FTDI driver 9600, the 8250 the speed it had): read back what it
    // applied, and fail, as Windows refuses such a speed, when that is not
    // the line asked for. The session then goes on with what the port has,
    // its modem lines set as asked. A pseudo-terminal takes any speed.
    termios2 applied;
    if (ioctl(fd, TCGETS2, &applied) != 0) return FailWith(errno);
    constexpr tcflag_t kLineFlags = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | CLOCAL | CREAD;
    bool same = applied.c_ospeed == settings.c_ospeed && applied.c_ispeed == settings.c_ispeed &&
                (applied.c_cflag & kLineFlags) == (settings.c_cflag & kLineFlags) &&
                applied.c_iflag == settings.c_iflag && applied.c_oflag == settings.c_oflag &&
                applied.c_lflag == settings.c_lflag && applied.c_cc[VMIN] == settings.c_cc[VMIN] &&
                applied.c_cc[VTIME] == settings.c_cc[VTIME];
    return same ? TRUE : FailWith(EINVAL);
}

BOOL SetCommMask(HANDLE handle, DWORD mask) {
    Port *port = AsPort(handle);
    if (port == nullptr) return FALSE;
    port->mask.store(mask);
    port->maskGeneration.fetch_add(1);
    // Wake a pending wait. A full pipe already holds a wake-up.
    return write(port->wake[1], "", 1) == 1 || errno == EAGAIN ? TRUE : FailWith(errno);
}

BOOL WaitCommEvent(HANDLE handle, LPDWORD mask, LPOVERLAPPED overlapped) {
    Port *port = AsPort(handle, mask != nullptr && overlapped != nullptr);
    if (port == nullptr) return FALSE;
    // The count before the mask: a change between the two reads then shows in
    // the mask or completes the wait empty; the other way, a stop could be lost.
    overlapped->InternalHigh = port->maskGeneration.load();
    DWORD armed = port->mask.load();
    *mask = 0;
    if (armed == 0) return TRUE;  // nothing could ever be reported: no wait
    // Level-triggered: bytes already waiting complete the wait at once.
    if ((armed & EV_RXCHAR) && Buffered() == 0 && FillReadAhead() < 0) return FailWith(errno);
    if ((armed & EV_RXCHAR) && Buffered() > 0) {
        *mask = EV_RXCHAR;
        return TRUE;
    }
    overlapped->Internal = kWaitPending;
    overlapped->Pointer = mask;
    return FailWith(ERROR_IO_PENDING);
}

BOOL GetOverlappedResult(HANDLE handle, LPOVERLAPPED overlapped, LPDWORD transferred,
                         BOOL wait) {
    if (AsPort(handle, overlapped != nullptr && transferred != nullptr) == nullptr) return FALSE;
    // The program always waits for the result: asking without waiting is
    // refused rather than answered.
    if (!wait) return FailWith(EINVAL);
    if (overlapped->Internal == kWaitPending) {
        *transferred = 0;
        return CompleteWait(overlapped);
    }
    for (int fd = -1; overlapped->Internal == kWritePending;) {
        if (AdvanceWrite(overlapped->hEvent, &fd)) break;
        if (fd < 0) return FailWith(EINVAL);  // another thread's write
        pollfd fds = {fd, POLLOUT, 0};
        if (PollUntil(&fds, 1, -1) < 0) return FailWith(errno);
    }
    if (overlapped->Internal == kWriteFailed) {
        *transferred = 0;
        return FailWith(static_cast<int>(overlapped->InternalHigh));
    }
    *transferred = static_cast<DWORD>(overlapped->InternalHigh);
    return TRUE;
}

BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped) {
    Port *port = AsPort(handle, buffer != nullptr && read != nullptr);
    if (port == nullptr) return FALSE;
    auto *out = static_cast<unsigned char *>(buffer);
    const COMMTIMEOUTS &t = port->timeouts;
    // As Windows reads them: the total time-out bounds the whole read, the
    // interval time-out the gap between two bytes once the first has come;
    // zero disables either. Served from the read-ahead whole, the read takes
    // no time at all: the clock is only read when it may have to wait.
    std::size_t got = TakeBuffered(out, toRead);
    long long lastByte = got < toRead ? NowNs() : 0;
    long long total = static_cast<long long>(t.ReadTotalTimeoutMultiplier) * toRead +
                      t.ReadTotalTimeoutConstant;
    long long totalEnd = total != 0 ? lastByte + total * 1000000 : LLONG_MAX;
    for (bool hangUpReported = false; got < toRead && !port->hangUpError;) {
        ssize_t added = FillReadAhead(hangUpReported);
        if (added < 0 && got == 0) return FailWith(errno);
        if (added < 0) break;  // deliver what came; the error recurs next time
        if (added > 0) lastByte = NowNs();
        got += TakeBuffered(out + got, toRead - got);
        // A hang-up ends the read with what it has; the next wait reports it.
        if (added > 0 || port->hangUpError) continue;
        // To the microsecond: whole milliseconds would stretch a 2 ms interval.
        long long end = totalEnd;
        long long gapEnd = lastByte + 1000000LL * t.ReadIntervalTimeout;
        if (t.ReadIntervalTimeout != 0 && got > 0 && gapEnd < end) end = gapEnd;
        if (end - NowNs() <= 0) break;
        // Woken by bytes, a hang-up (the next fill records it) or the time-out.
        pollfd fds = {port->fd.load(), POLLIN, 0};
        if (PollUntil(&fds, 1, end == LLONG_MAX ? -1 : end) < 0) {
            if (got == 0) return FailWith(errno);
            break;
        }
        hangUpReported = (fds.revents & (POLLHUP | POLLERR)) != 0;
    }
    *read = static_cast<DWORD>(got);
    return Completed(overlapped, got);
}

BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD toWrite, LPDWORD written,
               LPOVERLAPPED overlapped) {
    Port *port = AsPort(handle, buffer != nullptr && overlapped != nullptr);
    if (port == nullptr) return FALSE;
    if (port->write.record != nullptr) return FailWith(EBUSY);  // one write at a time
    if (written) *written = 0;
    SignalEvent(overlapped->hEvent, false);
    port->write.bytes = static_cast<const unsigned char *>(buffer);
    port->write.size = toWrite;
    port->write.sent = 0;
    port->write.record = overlapped;
    port->write.writer = pthread_self();
    overlapped->Internal = kWritePending;
    if (!AdvanceWrite(overlapped->hEvent)) return FailWith(ERROR_IO_PENDING);
    // Done at once, or failed at once: reported here, as Windows does.
    if (overlapped->Internal == kWriteFailed) {
        return FailWith(static_cast<int>(overlapped->InternalHigh));
    }
    if (written) *written = toWrite;
    return TRUE;
}

bool AdvanceWrite(HANDLE event, int *pollFd) {
    if (pollFd) *pollFd = -1;
    auto &w = g_port.write;
    if (w.record == nullptr || w.record->hEvent != event ||
        !pthread_equal(w.writer, pthread_self())) {
        return true;
    }
    int fd = g_port.fd.load();
    int error = 0;
    while (w.sent < w.size && error == 0) {
        ssize_t result = write(fd, w.bytes + w.sent, w.size - w.sent);
        if (result > 0) w.sent += static_cast<std::size_t>(result);
        else if (result == 0) error = EIO;
        else if (errno == EAGAIN) break;
        else if (errno != EINTR) error = errno;
    }
    if (error == 0 && w.sent < w.size) {
        // The output queue is full: a full queue is not an error.
        if (pollFd) *pollFd = fd;
        return false;
    }
    w.record->Internal = error ? kWriteFailed : 0;
    w.record->InternalHigh = error ? static_cast<ULONG_PTR>(error) : w.sent;
    w.record = nullptr;
    SignalEvent(event, true);
    return true;
}

BOOL CancelIo(HANDLE handle) {
    Port *port = AsPort(handle);
    if (port == nullptr) return FALSE;
    auto &w = port->write;
    // Only the calling thread's own operation: the waits belong to another.
    if (w.record != nullptr && pthread_equal(w.writer, pthread_self())) {
        w.record->Internal = kWriteFailed;
        w.record->InternalHigh = ERROR_OPERATION_ABORTED;
        HANDLE event = w.record->hEvent;
        w.record = nullptr;
        SignalEvent(event, true);
    }
    return TRUE;
}

BOOL ClearCommError(HANDLE handle, LPDWORD errors, LPCOMSTAT status) {
    Port *port = AsPort(handle);
    if (port == nullptr) return FALSE;
    // No line errors are kept. What waits to be read is what the layer has
    // taken off the port: those bytes are gone from the driver already, so
    // a program that reads this many never takes in more.
    if (errors) *errors = 0;
    if (status) {
        std::memset(status, 0, sizeof *status);
        status->cbInQue = static_cast<DWORD>(Buffered());
    }
    return TRUE;
}

// Answered only for communications devices, as on Windows, where OpenPort
// relies on it; the settings themselves are never read, so none are filled.
BOOL GetCommState(HANDLE handle, LPDCB dcb) {
    Port *port = AsPort(handle, dcb != nullptr);
    if (port == nullptr) return FALSE;
    struct termios2 now;
    if (ioctl(port->fd.load(), TCGETS2, &now) != 0) return FailWith(errno);
    std::memset(dcb, 0, sizeof *dcb);
    dcb->DCBlength = sizeof *dcb;
    return TRUE;
}
