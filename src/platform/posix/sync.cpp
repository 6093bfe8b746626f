// Threads, events, waits and closing handles. The program starts one thread
// and gives events only to overlapped records, which this layer completes
// without them: a static record each serves every call, nothing is allocated.
#include <cerrno>
#include <pthread.h>

#include "platform/posix/handles.h"

namespace {

HandleBase g_thread{HandleKind::Thread};
HandleBase g_event{HandleKind::Event};
LPTHREAD_START_ROUTINE g_routine = nullptr;

void *RunThread(void *parameter) {
    g_routine(parameter);
    return nullptr;
}

}  // namespace

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE routine,
                    LPVOID parameter, DWORD, LPDWORD threadId) {
    // Another routine could not be told apart by the one start record.
    int result = routine == nullptr || (g_routine && g_routine != routine) ? EINVAL : 0;
    pthread_t thread;
    if (result == 0) g_routine = routine;
    if (result == 0) result = pthread_create(&thread, nullptr, RunThread, parameter);
    if (result != 0) {
        FailWith(result);
        return nullptr;
    }
    pthread_detach(thread);  // it runs on by itself and nobody joins it
    if (threadId) *threadId = 0;
    return &g_thread;
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL, BOOL, LPCSTR) { return &g_event; }

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    // Nothing but the console is ever waited on.
    if (IsHandleOfKind(handle, HandleKind::Console)) {
        return WaitForConsoleInput(handle, milliseconds);
    }
    FailWith(EINVAL);
    return WAIT_FAILED;
}

BOOL CloseHandle(HANDLE handle) {
    if (IsHandleOfKind(handle, HandleKind::Port)) return ClosePortHandle(handle);
    // Standard input belongs to the process, the static records to the layer.
    return handle != nullptr && handle != INVALID_HANDLE_VALUE ? TRUE : FailWith(EBADF);
}
