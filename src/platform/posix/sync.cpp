// Threads, events, waits and closing handles.
#include <cerrno>
#include <new>
#include <pthread.h>

#include "platform/posix/handles.h"

namespace {

struct ThreadStart {
    LPTHREAD_START_ROUTINE routine;
    LPVOID parameter;
};

// A thread's handle only needs to exist until it is closed: the program never
// waits on one.
struct ThreadHandle : HandleBase {};

// The program gives events to overlapped records; this layer completes its
// operations without them, so an event only has to be a distinct object.
struct EventHandle : HandleBase {};

void *RunThread(void *argument) {
    ThreadStart start = *static_cast<ThreadStart *>(argument);
    delete static_cast<ThreadStart *>(argument);
    start.routine(start.parameter);
    return nullptr;
}

}  // namespace

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE routine,
                    LPVOID parameter, DWORD, LPDWORD threadId) {
    auto *start = new (std::nothrow) ThreadStart{routine, parameter};
    auto *handle = new (std::nothrow) ThreadHandle{{HandleKind::Thread}};
    if (start == nullptr || handle == nullptr) {
        delete start;
        delete handle;
        FailWith(ENOMEM);
        return nullptr;
    }
    pthread_attr_t attributes;
    int result = pthread_attr_init(&attributes);
    if (result == 0) {
        // Detached: the thread runs on by itself and nobody joins it.
        result = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        pthread_t thread;
        if (result == 0) result = pthread_create(&thread, &attributes, RunThread, start);
        pthread_attr_destroy(&attributes);
    }
    if (result != 0) {
        delete start;
        delete handle;
        FailWith(result);
        return nullptr;
    }
    if (threadId) *threadId = 0;
    return handle;
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCSTR) {
    auto *event = new (std::nothrow) EventHandle{{HandleKind::Event}};
    if (event == nullptr) FailWith(ENOMEM);
    return event;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    if (IsHandleOfKind(handle, HandleKind::Console)) {
        return WaitForConsoleInput(handle, milliseconds);
    }
    // Nothing else is ever waited on.
    FailWith(EINVAL);
    return WAIT_FAILED;
}

BOOL CloseHandle(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return FailWith(EBADF);
    switch (static_cast<HandleBase *>(handle)->kind) {
        case HandleKind::Port:
            return ClosePortHandle(handle);
        case HandleKind::Event:
            delete static_cast<EventHandle *>(handle);
            return TRUE;
        case HandleKind::Thread:
            delete static_cast<ThreadHandle *>(handle);
            return TRUE;
        case HandleKind::Console:
            // Standard input belongs to the process, not to the handle.
            return TRUE;
    }
    return FailWith(EBADF);
}
