// What a HANDLE points at inside the Linux layer. Private to the layer.
#pragma once

#include <sys/stat.h>
#include <time.h>

#include "platform/linux/win32_linux.h"

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

// For WaitForMultipleObjects (sync.cpp). An event is set or reset (a null
// event is ignored), and taken if set (it resets itself, as an auto-reset
// event does when a wait ends on it).
void SignalEvent(HANDLE event, bool set);
bool TakeEventSignal(HANDLE event);
// port.cpp: moves on the calling thread's pending write whose event this is,
// as far as the port takes bytes now. True when no such write is pending any
// more (a completion signals the event); otherwise *pollFd, when given, is
// the descriptor to poll for room.
bool AdvanceWrite(HANDLE event, int *pollFd = nullptr);
// console.cpp: true when keys wait already read; otherwise *pollFd is the
// descriptor to poll for input.
bool ConsoleKeysReady(HANDLE console, int *pollFd);

// Starts a detached thread with a stack of at least stackSize bytes and never
// less than the layer's own default (sync.cpp); 0 or the pthread error.
int StartDetachedThread(void *(*routine)(void *), void *argument, std::size_t stackSize = 0);

// For process.cpp's signal handlers, so async-signal-safe: the starting mode
// put back, the mode the program last set put back (console.cpp), the port's
// exclusive use given up (port.cpp).
void RestoreConsoleMode();
void ReapplyConsoleMode();
void ReleasePort();

// port.cpp: true when the file is the device of the open port, by any name.
bool IsOpenPort(const struct stat &file);

#include <poll.h>

// Waits in poll until one of fds is ready, the deadline (on NowNs()'s clock;
// -1 for none) has passed, or poll fails other than by a signal (a signal's
// interruption waits on for the time left): poll's own result, 0 once the
// time is up. To the nanosecond: a 2 ms read interval must not stretch.
int PollUntil(pollfd *fds, nfds_t count, long long deadlineNs);

// The deadline milliseconds from now, or -1 for INFINITE.
long long DeadlineAfter(DWORD milliseconds);

inline long long NowNs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}
