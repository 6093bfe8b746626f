// What a HANDLE points at inside the POSIX layer. Private to the layer.
#pragma once

#include <time.h>

#include "platform/posix/win32_posix.h"

enum class HandleKind { Port, Console, Event, Thread };

struct HandleBase {
    HandleKind kind;
};

inline bool IsHandleOfKind(HANDLE handle, HandleKind kind) {
    return handle != nullptr && handle != INVALID_HANDLE_VALUE &&
           static_cast<HandleBase *>(handle)->kind == kind;
}

// Each concern closes and waits on its own kind of handle.
BOOL ClosePortHandle(HANDLE port);
DWORD WaitForConsoleInput(HANDLE console, DWORD milliseconds);
BOOL FailWith(int error);  // sets the calling thread's last error; FALSE

// Prepares the process before main (program_start.cpp): standard
// descriptors, signals, and the console's starting mode.
void ConsoleProcessStart();

// Gives up the port's exclusive use; async-signal-safe, for the signal
// handlers that end the process.
void ReleasePortOnSignal();

inline long long NowNs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}
