// What a HANDLE points at inside the POSIX layer. Private to the layer.
#pragma once

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

// Prepares the process before main (program_start.cpp): standard
// descriptors, signals, and the console's starting mode.
void ConsoleProcessStart();

// Gives up the port's exclusive use; async-signal-safe, for the signal
// handlers that end the process.
void ReleasePortOnSignal();

// Sets the calling thread's last error and returns FALSE, for the common
// "fail with this errno" exit.
BOOL FailWith(int error);
