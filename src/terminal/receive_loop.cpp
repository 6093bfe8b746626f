#include "terminal/receive_loop.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "session.h"
#include "terminal/error_report.h"
#include "terminal/keyboard_thread.h"

std::atomic<bool> g_stopRequested{false};

namespace {

// One read asks for this many bytes; with the port's time-outs it returns when
// they have arrived, when the line pauses for 2 ms, or after 11 ms.
constexpr DWORD kReadSize = 10;

// While a stream goes on, what has arrived is shown at least this often, so a
// steady stream scrolls smoothly instead of in buffer-sized jumps.
constexpr auto kFlushInterval = std::chrono::milliseconds(10);

// Starts a wait for port events; true when it completed with events in mask,
// false when the loop must end (the failure has been reported).
bool WaitForPortEvent(HANDLE port, DWORD *mask, OVERLAPPED *overlapped) {
    if (WaitCommEvent(port, mask, overlapped)) return true;
    if (GetLastError() != ERROR_IO_PENDING) {
        ReportError("E009_WaitCommEvent failed");
        return false;
    }
    DWORD unused = 0;
    if (!GetOverlappedResult(port, overlapped, &unused, TRUE)) {
        ReportError("E008_GetOverlappedResult failed");
        return false;
    }
    return true;
}

// Reads up to kReadSize bytes; false when the read failed (reported).
bool ReadPort(HANDLE port, char *buffer, DWORD *count, OVERLAPPED *overlapped) {
    *count = 0;
    if (ReadFile(port, buffer, kReadSize, count, overlapped)) return true;
    if (GetLastError() != ERROR_IO_PENDING) {
        ReportError("E011_ReadFile failed");
        return false;
    }
    // The count of a pending read is only known from its completion.
    if (!GetOverlappedResult(port, overlapped, count, TRUE)) {
        ReportError("E010_GetOverlappedResult failed");
        return false;
    }
    return true;
}

// Reads until a read returns nothing, showing and capturing every byte.
// Reading to the end matters: the received-character event is only raised
// anew for bytes that arrive after the wait is re-armed.
void DrainPort(HANDLE port, OVERLAPPED *overlapped, FILE *capture,
               std::chrono::steady_clock::time_point *lastFlush) {
    char buffer[kReadSize];
    for (;;) {
        DWORD count = 0;
        if (!ReadPort(port, buffer, &count, overlapped)) return;
        if (count > kReadSize) count = kReadSize;  // a count the buffer cannot hold is not real
        if (count > 0) {
            // The console copy first, then the capture; the same bytes as one
            // "%c" each, every value included.
            std::fwrite(buffer, 1, count, stdout);
            if (capture) std::fwrite(buffer, 1, count, capture);
        }
        auto now = std::chrono::steady_clock::now();
        // A short read means the line paused: show it now, so a prompt without
        // a line feed appears at once. The capture goes first so that it never
        // lags what the console showed, even if the process is killed.
        if (count < kReadSize || now - *lastFlush >= kFlushInterval) {
            if (capture) std::fflush(capture);
            std::fflush(stdout);
            *lastFlush = now;
        }
        if (count == 0) return;
    }
}

}  // namespace

void ReceiveLoop(HANDLE port) {
    FILE *capture = nullptr;
    if (g_sessionSettings.logEnabled == 1) {
        capture = std::fopen(g_sessionSettings.logPath, "w");
        if (!capture) {
            // A session never runs without the capture the user asked for.
            std::printf("Cannot create capture file %s: %s\n", g_sessionSettings.logPath,
                        std::strerror(errno));
            std::fflush(stdout);
            return;
        }
    }
    HANDLE thread = CreateThread(nullptr, 0, KeyboardThread, port, 0, nullptr);
    if (thread == nullptr) {
        // The capture file is left for the process's end to close.
        ReportError("E005_CreateThread failed");
        return;
    }
    CloseHandle(thread);

    OVERLAPPED overlapped;
    std::memset(&overlapped, 0, sizeof overlapped);
    overlapped.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr) ReportError("E006_CreateEvent failed");

    if (!SetCommMask(port, EV_RXCHAR)) ReportError("E007_SetCommMask failed");

    auto lastFlush = std::chrono::steady_clock::now();
    DWORD mask = 0;
    while (!g_stopRequested.load()) {
        if (!WaitForPortEvent(port, &mask, &overlapped)) break;
        if (mask == 0) break;  // the stop signal
        if (mask & EV_RXCHAR) DrainPort(port, &overlapped, capture, &lastFlush);
        mask = 0;
    }

    if (overlapped.hEvent) CloseHandle(overlapped.hEvent);
    if (capture) std::fclose(capture);
    std::fflush(stdout);
}
