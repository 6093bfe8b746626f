// Threads, events, waits and closing handles. The program runs a few threads
// at most (the keyboard thread, the usage report): a small table of static
// records serves them, nothing is allocated. Events are given to overlapped
// records (a pending write signals its own) and to the console-event
// handler, which never runs here (see SetConsoleCtrlHandler).
#include <atomic>
#include <cerrno>
#include <ctime>
#include <poll.h>
#include <pthread.h>

#include "platform/linux/handles.h"

namespace {

// A thread's stack is the size Windows gives one by default, not the stack
// limit of the shell that started the program: under `ulimit -s 16` glibc
// would give every thread 16 KiB, which a name lookup through the system's
// resolver modules may well overrun.
constexpr std::size_t kThreadStackSize = 1 << 20;

struct ThreadHandle : HandleBase {
    LPTHREAD_START_ROUTINE routine;
    LPVOID parameter;
    // A record is free again once its thread has ended and its handle has
    // been closed, in either order.
    bool running;
    bool open;
};

// Written under the lock; a thread's end is announced through the condition.
constexpr int kMaxThreads = 4;
ThreadHandle g_threads[kMaxThreads];
pthread_mutex_t g_threadLock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t g_threadEnded = PTHREAD_COND_INITIALIZER;

struct EventHandle : HandleBase {
    constexpr EventHandle() : HandleBase{HandleKind::Event} {}
    std::atomic<bool> set{false};
    bool open = false;  // under g_threadLock
};
// Two for the session's threads, two for the console-event handler, room
// to spare.
constexpr int kMaxEvents = 8;
EventHandle g_events[kMaxEvents];

EventHandle *AsEvent(HANDLE handle) {
    return IsHandleOfKind(handle, HandleKind::Event) ? static_cast<EventHandle *>(handle)
                                                     : nullptr;
}

// Each waited-for object once: true when it is signalled now (an event is
// then taken); otherwise *pollFd (and its events) say what would signal it,
// -1 for nothing. False with *failed for a handle that cannot be waited for.
bool Signalled(HANDLE handle, pollfd *pollFd, bool *failed) {
    *pollFd = {-1, 0, 0};
    if (IsHandleOfKind(handle, HandleKind::Console)) {
        pollFd->events = POLLIN;
        return ConsoleKeysReady(handle, &pollFd->fd);
    }
    if (AsEvent(handle) == nullptr) {
        *failed = true;
        return false;
    }
    pollFd->events = POLLOUT;
    AdvanceWrite(handle, &pollFd->fd);
    return TakeEventSignal(handle);
}

void *RunThread(void *record) {
    ThreadHandle *thread = static_cast<ThreadHandle *>(record);
    thread->routine(thread->parameter);
    pthread_mutex_lock(&g_threadLock);
    thread->running = false;
    pthread_cond_broadcast(&g_threadEnded);
    pthread_mutex_unlock(&g_threadLock);
    return nullptr;
}

ThreadHandle *AsOpenThread(HANDLE handle) {
    if (!IsHandleOfKind(handle, HandleKind::Thread)) return nullptr;
    ThreadHandle *thread = static_cast<ThreadHandle *>(handle);
    return thread->open ? thread : nullptr;
}

// Waits until the thread has ended or the time is up; called with the lock.
DWORD WaitForThread(ThreadHandle *thread, DWORD milliseconds) {
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    while (thread->running) {
        int result = milliseconds == INFINITE
                         ? pthread_cond_wait(&g_threadEnded, &g_threadLock)
                         : pthread_cond_clockwait(&g_threadEnded, &g_threadLock,
                                                  CLOCK_MONOTONIC, &deadline);
        if (result == ETIMEDOUT) return WAIT_TIMEOUT;
    }
    return WAIT_OBJECT_0;
}

}  // namespace

int PollUntil(pollfd *fds, nfds_t count, long long deadlineNs) {
    for (;;) {
        timespec wait{};
        if (deadlineNs >= 0) {
            long long left = deadlineNs - NowNs();
            if (left <= 0) return 0;
            wait.tv_sec = static_cast<time_t>(left / 1000000000);
            wait.tv_nsec = static_cast<long>(left % 1000000000);
        }
        int ready = ppoll(fds, count, deadlineNs >= 0 ? &wait : nullptr, nullptr);
        if (ready >= 0 || errno != EINTR) return ready;
    }
}

long long DeadlineAfter(DWORD milliseconds) {
    return milliseconds == INFINITE ? -1 : NowNs() + 1000000LL * milliseconds;
}

int StartDetachedThread(void *(*routine)(void *), void *argument, std::size_t stackSize) {
    pthread_attr_t attributes;
    int result = pthread_attr_init(&attributes);
    if (result != 0) return result;
    result = pthread_attr_setstacksize(&attributes,
                                       stackSize > kThreadStackSize ? stackSize : kThreadStackSize);
    if (result == 0) result = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    if (result == 0) result = pthread_create(&thread, &attributes, routine, argument);
    pthread_attr_destroy(&attributes);
    return result;
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T stackSize, LPTHREAD_START_ROUTINE routine,
                    LPVOID parameter, DWORD, LPDWORD threadId) {
    if (routine == nullptr) {
        FailWith(EINVAL);
        return nullptr;
    }
    pthread_mutex_lock(&g_threadLock);
    ThreadHandle *thread = nullptr;
    for (ThreadHandle &record : g_threads) {
        if (thread == nullptr && !record.running && !record.open) thread = &record;
    }
    if (thread != nullptr) {
        *thread = ThreadHandle{{HandleKind::Thread}, routine, parameter, true, true};
    }
    pthread_mutex_unlock(&g_threadLock);
    if (thread == nullptr) {
        FailWith(EAGAIN);  // as many threads run as the table holds
        return nullptr;
    }

    // It runs on by itself; a wait on its handle learns of its end from the
    // record.
    int result = StartDetachedThread(RunThread, thread, stackSize);
    if (result != 0) {
        pthread_mutex_lock(&g_threadLock);
        thread->running = false;
        thread->open = false;
        pthread_mutex_unlock(&g_threadLock);
        FailWith(result);
        return nullptr;
    }
    if (threadId) *threadId = 0;
    return thread;
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL, BOOL initialState, LPCSTR) {
    EventHandle *event = nullptr;
    pthread_mutex_lock(&g_threadLock);
    for (EventHandle &record : g_events) {
        if (event == nullptr && !record.open) event = &record;
    }
    if (event != nullptr) {
        event->open = true;
        event->set.store(initialState != FALSE);
    }
    pthread_mutex_unlock(&g_threadLock);
    if (event == nullptr) FailWith(EMFILE);
    return event;
}

void SignalEvent(HANDLE handle, bool set) {
    if (EventHandle *event = AsEvent(handle)) event->set.store(set);
}

bool TakeEventSignal(HANDLE handle) {
    EventHandle *event = AsEvent(handle);
    return event != nullptr && event->set.exchange(false);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL waitAll,
                             DWORD milliseconds) {
    // Any one of a console and events, without a time limit, as the keyboard
    // thread waits.
    constexpr DWORD kMaxObjects = 4;
    if (count == 0 || count > kMaxObjects || handles == nullptr || waitAll ||
        milliseconds != INFINITE) {
        FailWith(EINVAL);
        return WAIT_FAILED;
    }
    pollfd fds[kMaxObjects];
    short seen[kMaxObjects] = {};  // what the last poll said of each
    for (;;) {
        bool failed = false;
        for (DWORD i = 0; i < count; ++i) {
            // Console input, or an end of it that the read will report.
            bool input = seen[i] != 0 && IsHandleOfKind(handles[i], HandleKind::Console);
            if (Signalled(handles[i], &fds[i], &failed) || input) return WAIT_OBJECT_0 + i;
        }
        if (failed) {
            FailWith(EINVAL);
            return WAIT_FAILED;
        }
        int ready = PollUntil(fds, count, -1);
        if (ready < 0) {
            FailWith(errno);
            return WAIT_FAILED;
        }
        for (DWORD i = 0; i < count; ++i) seen[i] = fds[i].revents;
    }
}

BOOL SetEvent(HANDLE event) {
    if (!IsHandleOfKind(event, HandleKind::Event)) return FailWith(EINVAL);
    SignalEvent(event, true);
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    if (IsHandleOfKind(handle, HandleKind::Console)) {
        return WaitForConsoleInput(handle, milliseconds);
    }
    pthread_mutex_lock(&g_threadLock);
    ThreadHandle *thread = AsOpenThread(handle);
    DWORD result = thread != nullptr ? WaitForThread(thread, milliseconds) : WAIT_FAILED;
    pthread_mutex_unlock(&g_threadLock);
    // Nothing else (an event, the port) is waited for alone.
    if (result == WAIT_FAILED) FailWith(EINVAL);
    return result;
}

BOOL CloseHandle(HANDLE handle) {
    if (IsHandleOfKind(handle, HandleKind::Port)) return ClosePortHandle(handle);
    if (IsHandleOfKind(handle, HandleKind::Thread)) {
        // The thread runs on; its record is freed once it has ended too.
        pthread_mutex_lock(&g_threadLock);
        ThreadHandle *thread = AsOpenThread(handle);
        if (thread != nullptr) thread->open = false;
        pthread_mutex_unlock(&g_threadLock);
        return thread != nullptr ? TRUE : FailWith(EBADF);
    }
    if (EventHandle *event = AsEvent(handle)) {
        pthread_mutex_lock(&g_threadLock);
        bool wasOpen = event->open;
        event->open = false;
        pthread_mutex_unlock(&g_threadLock);
        return wasOpen ? TRUE : FailWith(EBADF);
    }
    // Standard input belongs to the process.
    return handle != nullptr && handle != INVALID_HANDLE_VALUE ? TRUE : FailWith(EBADF);
}
