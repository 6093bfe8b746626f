#include "terminal/receive_loop.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "terminal/error_report.h"
#include "terminal/keyboard_thread.h"
#include "terminal/stop_signal.h"

namespace {

// One read asks for this many bytes; with the port's time-outs it returns when
// they have arrived, when the line pauses for 2 ms, or after 11 ms.
constexpr DWORD kReadSize = 10;

// While a stream goes on, what has arrived is shown at least this often, so a
// steady stream scrolls smoothly instead of in buffer-sized jumps.
constexpr auto kFlushInterval = std::chrono::milliseconds(10);

// How long the end of a session waits for the keyboard thread to notice it.
// It ends at once after Ctrl+Q; after a lost device it is waiting for a key
// and ends at the next one, if one comes.
constexpr DWORD kKeyboardEndWaitMs = 100;

// A read that took this long waited for its bytes to trickle in: the line is
// slow, and holding them longer would only make them later.
constexpr auto kTrickleTime = std::chrono::milliseconds(1);

// Received bytes gathered before they are handed to the streams; smaller than
// the console's buffer (see Batch).
constexpr std::size_t kBatchSize = 1 << 14;

using Clock = std::chrono::steady_clock;

// Starts a wait for port events; true when it completed with events in mask,
// false when the loop must end (the failure has been reported).
bool WaitForPortEvent(HANDLE port, DWORD *mask, OVERLAPPED *overlapped) {
    if (WaitCommEvent(port, mask, overlapped)) return true;
    if (GetLastError() != ERROR_IO_PENDING) {
        // A stop that came between the test of the stop flag and this wait
        // has emptied the event mask, and a wait on an empty mask is refused:
        // that is the session ending, not a failure to report.
        if (g_stopRequested.load()) return false;
        ReportError("E009_WaitCommEvent failed");
        return false;
    }
    // A stop that landed between the flag test and the wait emptied the mask
    // before the wait began; a driver may leave such a wait pending for ever.
    // Emptying the mask again completes it.
    if (g_stopRequested.load()) SetCommMask(port, 0);
    DWORD unused = 0;
    if (!GetOverlappedResult(port, overlapped, &unused, TRUE)) {
        // Some drivers (Wine's among them) end a wait whose mask was emptied
        // with "operation aborted" instead of an empty mask: after our own
        // stop request that is the stop.
        if (GetLastError() == ERROR_OPERATION_ABORTED && g_stopRequested.load()) return false;
        ReportError("E008_GetOverlappedResult failed");
        return false;
    }
    return true;
}

// Reads up to size bytes (at most kReadSize). Returns nullptr, or the message
// of the failed step for the caller to report once what came before it has
// been shown.
const char *ReadPort(HANDLE port, char *buffer, DWORD *count, OVERLAPPED *overlapped,
                     DWORD size = kReadSize) {
    *count = 0;
    if (ReadFile(port, buffer, size, count, overlapped)) return nullptr;
    if (GetLastError() != ERROR_IO_PENDING) return "E011_ReadFile failed";
    // The count of a pending read is only known from its completion.
    if (!GetOverlappedResult(port, overlapped, count, TRUE)) {
        // A read that ran into its time-out is a short read, not a failure,
        // though some drivers (Wine's) complete it with ERROR_TIMEOUT.
        if (GetLastError() == ERROR_TIMEOUT) return nullptr;
        return "E010_GetOverlappedResult failed";
    }
    return nullptr;
}

// Received bytes not yet handed to the streams. They go out together at each
// flush point, console copy first, so one flood costs a few large writes
// instead of two library calls per read. The batch is smaller than the
// console's buffer (64 KiB, given by main) and the console is flushed after
// every batch: its stream never has to write on its own before the capture
// has been flushed, so the capture never lags what the console showed, even
// when the process is killed. Static: 16 KiB is too much for a small stack.
struct Batch {
    char bytes[kBatchSize];
    std::size_t size = 0;
};
Batch g_batch;

// The capture file, and the system's error number of its first failed write
// (0 while every write has succeeded).
struct Capture {
    FILE *file = nullptr;
    int error = 0;
};

// The reason a capture write failed. A C library that sets no errno must not
// make the failure look like success, which would lose the capture silently.
int WriteError() { return errno != 0 ? errno : EIO; }

// Shows and captures the batch: capture flushed first, then the console. A
// capture that cannot be written is remembered, not retried: the session
// ends on it once what was received has been shown.
void Emit(Batch *batch, Capture *capture) {
    if (batch->size > 0) {
        std::fwrite(batch->bytes, 1, batch->size, stdout);
        NoteDeviceOutputShown(batch->bytes[batch->size - 1]);
        errno = 0;  // so that a failure that sets none is not read as an old one
        if (capture->file && capture->error == 0 &&
            std::fwrite(batch->bytes, 1, batch->size, capture->file) != batch->size) {
            capture->error = WriteError();
        }
        batch->size = 0;
    }
    errno = 0;
    if (capture->file && capture->error == 0 && std::fflush(capture->file) != 0) {
        capture->error = WriteError();
    }
    std::fflush(stdout);
}

// What arrived before a failed read shows before its report; the writes
// must not change the error number the report shows.
void ReportReadFailure(const char *failure, Batch *batch, Capture *capture) {
    DWORD error = GetLastError();
    Emit(batch, capture);
    SetLastError(error);
    ReportError(failure);
}

// Reads until a read returns nothing, showing and capturing every byte.
// Reading to the end matters: the received-character event is only raised
// anew for bytes that arrive after the wait is re-armed. A stop request or a
// failed capture ends the drain early: a device that never pauses must not
// keep the session alive after Ctrl+Q.
void DrainPort(HANDLE port, OVERLAPPED *overlapped, Capture *capture, Batch *batch,
               Clock::time_point *lastFlush) {
    Clock::time_point lastRead = Clock::now();
    for (;;) {
        DWORD count = 0;
        if (const char *failure = ReadPort(port, batch->bytes + batch->size, &count, overlapped)) {
            ReportReadFailure(failure, batch, capture);
            *lastFlush = Clock::now();
            return;
        }
        if (count > kReadSize) count = kReadSize;  // a count the buffer cannot hold is not real
        batch->size += count;
        const Clock::time_point now = Clock::now();
        const bool ending = count == 0 || g_stopRequested.load() || capture->error != 0;
        // Show what has come when the line paused (a short read: a prompt
        // without a line feed appears at once), when the read had to wait
        // for its bytes (a slow steady stream: they are already late), at
        // least every kFlushInterval, when the batch is full, and before the
        // drain ends.
        if (ending || count < kReadSize || now - lastRead >= kTrickleTime ||
            now - *lastFlush >= kFlushInterval || kBatchSize - batch->size < kReadSize) {
            Emit(batch, capture);
            *lastFlush = now;
        }
        lastRead = now;
        if (ending || capture->error != 0) return;
    }
}

// Once the capture has failed, the bytes already taken off the port (its
// input queue when the failure is seen, as ClearCommError counts it) are
// still shown before the report; counted once, so a device that never stops
// talking cannot keep the session alive. Bytes still in the driver may stay.
void ShowWhatThePortHolds(HANDLE port, OVERLAPPED *overlapped, Capture *capture, Batch *batch) {
    DWORD errors = 0;
    COMSTAT status;
    std::memset(&status, 0, sizeof status);
    if (!ClearCommError(port, &errors, &status)) return;
    for (DWORD left = status.cbInQue; left > 0;) {
        DWORD count = 0;
        DWORD size = left < kReadSize ? left : kReadSize;
        char *into = batch->bytes + batch->size;
        if (const char *failure = ReadPort(port, into, &count, overlapped, size)) {
            ReportReadFailure(failure, batch, capture);
            return;
        }
        if (count > size) count = size;  // a count the buffer cannot hold is not real
        if (count == 0) break;
        batch->size += count;
        left -= count;
        if (kBatchSize - batch->size < kReadSize) Emit(batch, capture);
    }
    Emit(batch, capture);
}

}  // namespace

bool ReceiveLoop(HANDLE port, const SessionSettings *settings) {
    Capture capture;
    if (settings->logEnabled == 1) {
        capture.file = OpenFileStream(settings->logPath, "w");
        if (!capture.file) {
            // No session runs without the capture the user asked for, and
            // keys typed for the device must not reach the shell instead.
            std::printf("Cannot create capture file %s: %s\n", settings->logPath,
                        std::strerror(errno));
            std::fflush(stdout);
            return true;
        }
    }
    // The prompt comes before anything the device sends: a device already
    // talking must not have it land in the middle of its output. The console
    // is raw first, so keys typed once it shows go to the device as typed.
    SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), 0);
    std::printf("press ENTER to start, Ctrl+Q to terminate\n");
    std::fflush(stdout);
    HANDLE thread = CreateThread(nullptr, 0, KeyboardThread, port, 0, nullptr);
    if (thread == nullptr) {
        // The capture file is left for the process's end to close.
        ReportError("E005_CreateThread failed");
        return true;
    }

    OVERLAPPED overlapped;
    std::memset(&overlapped, 0, sizeof overlapped);
    overlapped.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr) ReportError("E006_CreateEvent failed");

    if (!SetCommMask(port, EV_RXCHAR)) ReportError("E007_SetCommMask failed");

    auto lastFlush = Clock::now();
    // Windows raises the received-character event only for bytes that arrive
    // after the mask is armed; a device that greeted as soon as DTR rose
    // would otherwise show nothing until it spoke again.
    if (!g_stopRequested.load()) DrainPort(port, &overlapped, &capture, &g_batch, &lastFlush);
    DWORD mask = 0;
    while (!g_stopRequested.load() && capture.error == 0) {
        if (!WaitForPortEvent(port, &mask, &overlapped)) break;
        if (mask == 0) break;  // the stop signal
        if (mask & EV_RXCHAR) DrainPort(port, &overlapped, &capture, &g_batch, &lastFlush);
        mask = 0;
    }

    if (capture.error != 0) ShowWhatThePortHolds(port, &overlapped, &capture, &g_batch);
    if (overlapped.hEvent) CloseHandle(overlapped.hEvent);
    // The session is over, whoever ended it: a keyboard thread still running
    // stops at its next key instead of sending it, and is waited for, so
    // that no write of its meets the port's close and the console is this
    // thread's alone again.
    g_stopRequested.store(true);
    bool keyboardEnded = WaitForSingleObject(thread, kKeyboardEndWaitMs) == WAIT_OBJECT_0;
    CloseHandle(thread);
    if (capture.file) {
        // A capture that cannot be written ends the session, never silently.
        if (std::fclose(capture.file) != 0 && capture.error == 0) capture.error = WriteError();
        if (capture.error != 0) {
            // On a line of its own: the device may have stopped mid-line.
            StartOwnLine();
            std::printf("Cannot write capture file %s: %s\n", settings->logPath,
                        std::strerror(capture.error));
        }
    }
    std::fflush(stdout);
    return keyboardEnded;
}
