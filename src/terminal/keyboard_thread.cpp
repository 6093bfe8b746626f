#include "terminal/keyboard_thread.h"

#include <cstdio>
#include <cstring>

#include "terminal/error_report.h"
#include "terminal/stop_signal.h"

namespace {

// Sends one byte and waits until it has gone, so bytes reach the port in the
// order the keys were pressed. False when the session must end (reported).
bool SendByte(HANDLE port, char byte, OVERLAPPED *overlapped) {
    DWORD written = 0;
    if (WriteFile(port, &byte, 1, &written, overlapped)) return true;
    if (GetLastError() != ERROR_IO_PENDING) {
        ReportError("E004_WriteFile failed");
        return false;
    }
    if (!GetOverlappedResult(port, overlapped, &written, TRUE)) {
        ReportError("E003_GetOverlappedResult failed");
        return false;
    }
    return true;
}

}  // namespace

DWORD WINAPI KeyboardThread(LPVOID parameter) {
    HANDLE port = static_cast<HANDLE>(parameter);
    HANDLE console = GetStdHandle(STD_INPUT_HANDLE);

    OVERLAPPED overlapped;
    std::memset(&overlapped, 0, sizeof overlapped);
    overlapped.hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (overlapped.hEvent == nullptr) {
        ReportError("E001_CreateEvent failed");
        SendStopSignal(port);
        return 0;
    }

    // Mode 0: no line input, no echo, no processed input, so control keys
    // such as Ctrl+C arrive as characters instead of acting on the program.
    SetConsoleMode(console, 0);
    std::printf("press ENTER to start, Ctrl+Q to terminate\n");
    std::fflush(stdout);

    bool quit = false;
    while (!quit) {
        // Set again on every pass, in case something changed it meanwhile.
        SetConsoleMode(console, 0);
        DWORD count = 0;
        WaitForSingleObject(console, INFINITE);
        INPUT_RECORD record;
        if (!ReadConsoleInputA(console, &record, 1, &count)) {
            ReportError("E002_ReadConsoleInput failed...");
            quit = true;
            continue;
        }
        if (count == 0 || record.EventType != KEY_EVENT) continue;
        const KEY_EVENT_RECORD &key = record.Event.KeyEvent;
        // Down or up, the stop key is never sent.
        if (key.uChar.AsciiChar == kStopKey) break;
        if (key.uChar.AsciiChar == 0 || !key.bKeyDown) continue;
        // A key that could not be sent ends the session (reported).
        if (!SendByte(port, key.uChar.AsciiChar, &overlapped)) break;
    }

    // The write event is not closed: the process ends soon after.
    SendStopSignal(port);
    return 0;
}
