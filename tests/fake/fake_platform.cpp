#include "fake_platform.h"
#include "terminal/stop_signal.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <mutex>
#include <set>
#include <thread>

namespace fake {
namespace {

HANDLE HandleAt(std::uintptr_t value) { return reinterpret_cast<HANDLE>(value); }

}  // namespace

// Defined before the state below, whose defaults name them.
const HANDLE kPort = HandleAt(0x1000);
const HANDLE kConsole = HandleAt(0x2000);

namespace {

constexpr std::uintptr_t kThreadBase = 0x3000;
constexpr std::uintptr_t kEventBase = 0x4000;
constexpr std::uintptr_t kBlockSize = 0x1000;

// FormatMessageA's failure when the system has no text for the number.
constexpr DWORD kNoMessageError = 317;

enum class OpKind { Wait, Read, Write };

// Each kind names only its own members; the rest keep their defaults (the
// {} too lets a designated initializer leave a member out).
struct PendingOp {
    OpKind kind;
    Step step;
    LPDWORD mask = nullptr;   // Wait
    char *buffer = nullptr;   // Read
    DWORD size = 0;           // Read: asked for; Write: given
    std::string data{};       // Write: the bytes given
    long maskChangesAtStart = 0;
    bool cancelled = false;   // Write: withdrawn by CancelIo
};

struct CreatedThread {
    std::thread thread;
    HANDLE handle = nullptr;
    bool done = false;
};

// What the fake keeps for itself: the tests neither script nor read it.
struct Workings {
    bool aborted = false;
    int futileCalls = 0;
    long maskChanges = 0;
    std::map<OVERLAPPED *, PendingOp> pending;
    std::list<CreatedThread> threads;  // a list: each thread keeps its record's address
    std::set<void *> texts;  // allocated by FormatMessageA, not yet freed
    std::set<HANDLE> signalled;  // events set and not yet taken by a wait
};

std::mutex g_mutex;
std::condition_variable g_changed;
State g_state;
Workings g_workings;

thread_local DWORD t_lastError = 0;
thread_local bool t_createdThread = false;

using Lock = std::unique_lock<std::mutex>;

std::chrono::steady_clock::time_point DeadlineFromNow() {
    return std::chrono::steady_clock::now() + kDeadline;
}

BOOL Fail(DWORD error) {
    t_lastError = error;
    return FALSE;
}

BOOL Misuse(const std::string &what) {
    g_state.violations.push_back(what);
    return Fail(kMisuseError);
}

Step Next(std::deque<Step> &queue, Step fallback) {
    if (queue.empty()) return fallback;
    Step step = queue.front();
    queue.pop_front();
    return step;
}

// Every call of the program takes the fake's lock and is recorded by name.
Lock Enter(std::string call) {
    Lock lock(g_mutex);
    g_state.calls.push_back(std::move(call));
    return lock;
}

// Gives up on whatever fake call waits: the deadline passed.
void GiveUp() {
    g_state.deadlineHit = true;
    g_workings.aborted = true;
    g_changed.notify_all();
}

// A program that goes on calling after the fake gave up is in an endless
// loop; ending the process is the only way to fail its test.
constexpr int kFutileCallLimit = 1000;

// Waits on the fake's condition until pred holds, the deadline passes or the
// fake is aborted. True only when pred holds. After one deadline every later
// wait fails at once, so a program stuck in a loop reaches the limit soon.
template <typename Pred>
bool WaitFor(Lock &lock, Pred pred) {
    bool met = g_changed.wait_until(lock, DeadlineFromNow(),
                                    [&] { return pred() || g_workings.aborted; });
    if (pred()) return true;
    if (!met) GiveUp();
    ++g_workings.futileCalls;
    if (g_workings.futileCalls > kFutileCallLimit) {
        std::fprintf(stderr, "fake platform: the program keeps calling after the deadline\n");
        std::_Exit(3);
    }
    return false;
}

// Starting an operation on a record that still has one pending is what the
// program must never do.
bool StartOp(OVERLAPPED *overlapped, const char *name) {
    if (overlapped == nullptr) {
        Misuse(std::string(name) + " without an overlapped record");
        return false;
    }
    if (g_workings.pending.count(overlapped)) {
        Misuse(std::string(name) + " on a record with an operation pending");
        return false;
    }
    return true;
}

DWORD Deliver(const Step &step, std::deque<Step> &queue, char *buffer, DWORD size) {
    DWORD n = static_cast<DWORD>(std::min<std::size_t>(step.bytes.size(), size));
    std::memcpy(buffer, step.bytes.data(), n);
    if (n < step.bytes.size()) {
        // The rest waits for the next read, as a device's bytes would.
        queue.push_front(ReadStep(How::AtOnce, step.bytes.substr(n)));
    }
    return n;
}

// The operation pends (997) until GetOverlappedResult completes it.
BOOL Pend(OVERLAPPED *overlapped, PendingOp op) {
    g_workings.pending[overlapped] = std::move(op);
    return Fail(ERROR_IO_PENDING);
}

// Whether the write pending on the record whose event this is has completed
// (or been cancelled) for a wait that also watches the console when
// consoleWaited; false too when no write is pending on it.
bool WriteSignalled(HANDLE event, bool consoleWaited) {
    for (const auto &[record, op] : g_workings.pending) {
        if (op.kind != OpKind::Write || record->hEvent != event) continue;
        switch (op.step.how) {
        case How::Slow:
            return !consoleWaited || g_state.console.empty();
        case How::Stalled:
            return op.cancelled;
        default:
            return true;
        }
    }
    return false;
}

bool WritePendingOn(HANDLE event) {
    return std::any_of(g_workings.pending.begin(), g_workings.pending.end(), [&](const auto &p) {
        return p.second.kind == OpKind::Write && p.first->hEvent == event;
    });
}

// The keyboard thread's stop, landing in the middle of a port call: the flag
// raised and the mask emptied.
void StopLands() {
    g_stopRequested.store(true);
    ++g_workings.maskChanges;
}

}  // namespace

void Edit(const std::function<void(State &)> &edit) {
    Lock lock(g_mutex);
    edit(g_state);
    g_changed.notify_all();
}

State Snapshot() {
    Lock lock(g_mutex);
    return g_state;
}

void Reset() {
    JoinThreads();
    Lock lock(g_mutex);
    for (void *text : g_workings.texts) std::free(text);
    g_state = State();
    g_workings = Workings();
    t_lastError = 0;
}

void Abort() {
    Lock lock(g_mutex);
    g_workings.aborted = true;
    g_changed.notify_all();
}

bool Await(const std::function<bool(const State &)> &until) {
    Lock lock(g_mutex);
    return WaitFor(lock, [&] { return until(g_state); });
}

bool JoinThreads() {
    auto allDone = [] {
        return std::all_of(g_workings.threads.begin(), g_workings.threads.end(),
                           [](const CreatedThread &t) { return t.done; });
    };
    std::list<CreatedThread> threads;
    bool inTime;
    {
        Lock lock(g_mutex);
        inTime = g_changed.wait_until(lock, DeadlineFromNow(), allDone);
        // Free it from whatever fake call holds it; the routine then ends.
        if (!inTime) GiveUp();
        threads.swap(g_workings.threads);
    }
    for (CreatedThread &t : threads) t.thread.join();
    return inTime;
}

bool IsEvent(HANDLE handle) {
    auto value = reinterpret_cast<std::uintptr_t>(handle);
    return value >= kEventBase && value < kEventBase + kBlockSize;
}

bool IsThread(HANDLE handle) {
    auto value = reinterpret_cast<std::uintptr_t>(handle);
    return value >= kThreadBase && value < kThreadBase + kBlockSize;
}

}  // namespace fake

using namespace fake;

// Each call begins with Enter, answers as g_state scripts it and records in
// g_state what it was given.

// ---- Port ----

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE templ) {
    Lock lock = Enter("CreateFileA");
    g_state.openCalls.push_back({name ? name : "", access, share, disposition, flags,
                                 security != nullptr, templ != nullptr});
    if (g_state.openResult == INVALID_HANDLE_VALUE) t_lastError = g_state.openError;
    return g_state.openResult;
}

BOOL SetCommTimeouts(HANDLE, LPCOMMTIMEOUTS timeouts) {
    Lock lock = Enter("SetCommTimeouts");
    g_state.timeoutsGiven.push_back(*timeouts);
    return g_state.setTimeoutsOk ? TRUE : Fail(g_state.setTimeoutsError);
}

BOOL SetCommState(HANDLE, LPDCB dcb) {
    Lock lock = Enter("SetCommState");
    g_state.statesGiven.push_back(*dcb);
    return g_state.setStateOk ? TRUE : Fail(g_state.setStateError);
}

BOOL GetCommState(HANDLE, LPDCB dcb) {
    Lock lock = Enter("GetCommState");
    if (dcb->DCBlength != sizeof(DCB)) return Misuse("GetCommState without DCBlength");
    if (!g_state.getStateOk) return Fail(g_state.getStateError);
    *dcb = DCB{};
    dcb->DCBlength = sizeof(DCB);
    dcb->BaudRate = 9600;
    dcb->ByteSize = 8;
    return TRUE;
}

BOOL SetCommMask(HANDLE, DWORD mask) {
    Lock lock = Enter("SetCommMask(" + std::to_string(mask) + ")");
    bool ok = true;
    if (!g_state.setMaskResults.empty()) {
        ok = g_state.setMaskResults.front();
        g_state.setMaskResults.pop_front();
    }
    if (!ok) return Fail(g_state.setMaskError);
    g_state.masksSet.push_back(mask);
    // Any change of the mask completes a pending wait with an empty mask.
    ++g_workings.maskChanges;
    g_changed.notify_all();
    return TRUE;
}

BOOL WaitCommEvent(HANDLE, LPDWORD mask, LPOVERLAPPED overlapped) {
    Lock lock = Enter("WaitCommEvent");
    ++g_state.waitCalls;
    if (!StartOp(overlapped, "WaitCommEvent")) return FALSE;
    Step step = Next(g_state.waits, WaitStep(How::UntilMaskChange, 0));
    switch (step.how) {
    case How::AtOnce:
        *mask = step.mask;
        return TRUE;
    case How::Fails:
        return Fail(step.error);
    case How::StopThenFails:
        StopLands();
        return Fail(step.error);
    case How::StopThenPends:
        StopLands();
        return Pend(overlapped, {.kind = OpKind::Wait, .step = WaitStep(How::UntilMaskChange, 0),
                                 .mask = mask, .maskChangesAtStart = g_workings.maskChanges});
    default:
        return Pend(overlapped, {.kind = OpKind::Wait, .step = step, .mask = mask,
                                 .maskChangesAtStart = g_workings.maskChanges});
    }
}

BOOL ReadFile(HANDLE, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped) {
    Lock lock = Enter("ReadFile");
    g_state.readSizes.push_back(toRead);
    if (!StartOp(overlapped, "ReadFile")) return FALSE;
    Step step = Next(g_state.reads, ReadStep(How::AtOnce, ""));
    switch (step.how) {
    case How::AtOnce:
        *read = Deliver(step, g_state.reads, static_cast<char *>(buffer), toRead);
        return TRUE;
    case How::DeliverThenStop:
        *read = Deliver(step, g_state.reads, static_cast<char *>(buffer), toRead);
        StopLands();
        return TRUE;
    case How::Fails:
        return Fail(step.error);
    case How::UntilMaskChange:
        return Misuse("UntilMaskChange scripted for a read");
    default:
        return Pend(overlapped, {.kind = OpKind::Read, .step = step,
                                 .buffer = static_cast<char *>(buffer), .size = toRead});
    }
}

BOOL WriteFile(HANDLE, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED overlapped) {
    Lock lock = Enter("WriteFile");
    ++g_state.writeCalls;
    if (!StartOp(overlapped, "WriteFile")) return FALSE;
    std::string data(static_cast<const char *>(buffer), toWrite);
    Step step = Next(g_state.writes, WriteStep(How::AtOnce));
    switch (step.how) {
    case How::AtOnce:
        g_state.written += data;
        *written = toWrite;
        g_changed.notify_all();
        return TRUE;
    case How::Fails:
        return Fail(step.error);
    case How::UntilMaskChange:
        return Misuse("UntilMaskChange scripted for a write");
    default:
        return Pend(overlapped,
                    {.kind = OpKind::Write, .step = step, .size = toWrite, .data = data});
    }
}

BOOL GetOverlappedResult(HANDLE, LPOVERLAPPED overlapped, LPDWORD transferred, BOOL wait) {
    Lock lock = Enter("GetOverlappedResult");
    auto it = g_workings.pending.find(overlapped);
    if (it == g_workings.pending.end()) return Misuse("GetOverlappedResult with nothing pending");
    if (wait != TRUE) return Misuse("GetOverlappedResult without waiting");
    PendingOp op = it->second;
    g_workings.pending.erase(it);
    if (op.step.how == How::PendingStopFails) {
        StopLands();
        return Fail(op.step.error);
    }
    if (op.step.how == How::PendingFails) {
        // A read may report the bytes it got along with its failure.
        if (op.kind == OpKind::Read) {
            *transferred = Deliver(op.step, g_state.reads, op.buffer, op.size);
        }
        return Fail(op.step.error);
    }
    if (op.kind == OpKind::Write && op.step.how == How::Stalled) {
        // Held until cancelled: a program that waits for it here hangs.
        g_workings.pending[overlapped] = op;
        if (!WaitFor(lock, [&] { return g_workings.pending[overlapped].cancelled; })) {
            return Fail(kDeadlineError);
        }
        g_workings.pending.erase(overlapped);
        return Fail(ERROR_OPERATION_ABORTED);
    }
    switch (op.kind) {
    case OpKind::Wait:
        if (op.step.how == How::UntilMaskChange) {
            ++g_state.blockedWaits;
            g_changed.notify_all();
            if (!WaitFor(lock, [&] { return g_workings.maskChanges > op.maskChangesAtStart; })) {
                return Fail(kDeadlineError);
            }
            *op.mask = 0;
        } else {
            *op.mask = op.step.mask;
        }
        *transferred = 0;
        return TRUE;
    case OpKind::Read:
        *transferred = Deliver(op.step, g_state.reads, op.buffer, op.size);
        return TRUE;
    case OpKind::Write:
        g_state.written += op.data;
        *transferred = op.size;
        g_changed.notify_all();
        return TRUE;
    }
    return Misuse("unknown operation");
}

BOOL CancelIo(HANDLE) {
    Lock lock = Enter("CancelIo");
    for (auto &entry : g_workings.pending) {
        if (entry.second.kind == OpKind::Write) entry.second.cancelled = true;
    }
    g_changed.notify_all();
    return TRUE;
}

BOOL ClearCommError(HANDLE, LPDWORD errors, LPCOMSTAT status) {
    Lock lock = Enter("ClearCommError");
    if (!g_state.clearErrorOk) return Fail(5);
    if (errors) *errors = 0;
    if (status) {
        std::memset(status, 0, sizeof *status);
        status->cbInQue = g_state.inQueue;
    }
    return TRUE;
}

BOOL CloseHandle(HANDLE handle) {
    Lock lock = Enter("CloseHandle");
    g_state.closed.push_back(handle);
    // A call that succeeds may overwrite the last error; code that reports
    // an earlier failure must have saved it.
    t_lastError = 0;
    return TRUE;
}

// ---- Console input ----

HANDLE GetStdHandle(DWORD which) {
    Lock lock = Enter("GetStdHandle");
    if (which != STD_INPUT_HANDLE) Misuse("GetStdHandle for other than input");
    return g_state.stdHandle;
}

BOOL FlushConsoleInputBuffer(HANDLE) {
    Lock lock = Enter("FlushConsoleInputBuffer");
    g_state.console.clear();
    return TRUE;
}

BOOL GetConsoleMode(HANDLE, LPDWORD mode) {
    Lock lock = Enter("GetConsoleMode");
    if (!g_state.getModeOk) return Fail(g_state.getModeError);
    *mode = g_state.consoleMode;
    return TRUE;
}

BOOL SetConsoleMode(HANDLE, DWORD mode) {
    Lock lock = Enter("SetConsoleMode");
    g_state.modesSet.push_back(mode);
    return g_state.setModeOk ? TRUE : Fail(g_state.setModeError);
}

BOOL ReadConsoleInputA(HANDLE, PINPUT_RECORD records, DWORD length, LPDWORD read) {
    Lock lock = Enter("ReadConsoleInputA");
    ++g_state.consoleReads;
    if (!WaitFor(lock, [] { return !g_state.console.empty(); })) return Fail(kDeadlineError);
    ConsoleInput &entry = g_state.console.front();
    if (entry.fails) {
        DWORD error = entry.error;
        g_state.console.pop_front();
        return Fail(error);
    }
    DWORD n = static_cast<DWORD>(std::min<std::size_t>(entry.records.size(), length));
    std::copy(entry.records.begin(), entry.records.begin() + n, records);
    entry.records.erase(entry.records.begin(), entry.records.begin() + n);
    if (entry.records.empty()) g_state.console.pop_front();
    *read = n;
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    Lock lock = Enter("WaitForSingleObject");
    if (IsEvent(handle)) {
        // Auto-reset: the wait that ends takes the signal. On the real clock,
        // since the program waits on events only where time matters.
        auto until = std::chrono::steady_clock::now() +
                     std::min<std::chrono::steady_clock::duration>(
                         std::chrono::milliseconds(milliseconds), kDeadline);
        bool set = g_changed.wait_until(lock, until, [&] {
            return g_workings.signalled.count(handle) > 0 || g_workings.aborted;
        });
        if (!g_workings.signalled.erase(handle)) return set ? WAIT_FAILED : WAIT_TIMEOUT;
        return WAIT_OBJECT_0;
    }
    if (IsThread(handle)) {
        // A thread that never ran (ThreadMode::Idle) never ends.
        auto created = std::find_if(g_workings.threads.begin(), g_workings.threads.end(),
                                    [&](const CreatedThread &t) { return t.handle == handle; });
        if (created == g_workings.threads.end()) return WAIT_TIMEOUT;
        auto until = std::chrono::steady_clock::now() +
                     std::min<std::chrono::steady_clock::duration>(
                         std::chrono::milliseconds(milliseconds), kDeadline);
        bool ended = g_changed.wait_until(lock, until, [&] { return created->done; });
        return ended ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    }
    if (handle != kConsole) return WAIT_OBJECT_0;
    // The fake has no clock: a wait with a time-out and nothing queued has
    // timed out.
    if (milliseconds != INFINITE && g_state.console.empty()) return WAIT_TIMEOUT;
    if (!WaitFor(lock, [] { return !g_state.console.empty(); })) {
        t_lastError = kDeadlineError;
        return WAIT_FAILED;
    }
    return WAIT_OBJECT_0;
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL waitAll,
                             DWORD milliseconds) {
    Lock lock = Enter("WaitForMultipleObjects");
    bool consoleWaited = std::find(handles, handles + count, kConsole) != handles + count;
    for (DWORD i = 0; i < count; ++i) {
        if (handles[i] != kConsole && !WritePendingOn(handles[i])) {
            Misuse("WaitForMultipleObjects on an event with no write pending");
            return WAIT_FAILED;
        }
    }
    if (waitAll || milliseconds != INFINITE) {
        Misuse("WaitForMultipleObjects for all, or with a time limit");
        return WAIT_FAILED;
    }
    // The first object signalled, as Windows answers; -1 while none is.
    auto first = [&]() -> int {
        for (DWORD i = 0; i < count; ++i) {
            bool ready = handles[i] == kConsole ? !g_state.console.empty()
                                                : WriteSignalled(handles[i], consoleWaited);
            if (ready) return static_cast<int>(i);
        }
        return -1;
    };
    if (!WaitFor(lock, [&] { return first() >= 0; })) {
        t_lastError = kDeadlineError;
        return WAIT_FAILED;
    }
    return WAIT_OBJECT_0 + static_cast<DWORD>(first());
}

// ---- Threads and events ----

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                    DWORD, LPDWORD) {
    Lock lock = Enter("CreateThread");
    int number = g_state.createThreadCalls++;
    HANDLE handle = HandleAt(kThreadBase + static_cast<std::uintptr_t>(number));
    if (g_state.threadMode == ThreadMode::Fail) {
        t_lastError = g_state.threadError;
        return nullptr;
    }
    if (g_state.threadMode == ThreadMode::Idle) return handle;
    CreatedThread &created = g_workings.threads.emplace_back();
    created.handle = handle;
    created.thread = std::thread([&created, start, parameter] {
        t_createdThread = true;
        start(parameter);
        Lock done(g_mutex);
        created.done = true;
        g_changed.notify_all();
    });
    if (g_state.threadMode == ThreadMode::RunToEnd) WaitFor(lock, [&] { return created.done; });
    return handle;
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState,
                    LPCSTR name) {
    Lock lock = Enter("CreateEventA");
    if (security != nullptr || manualReset != FALSE || initialState != FALSE || name != nullptr) {
        Misuse("CreateEventA other than unnamed, auto-reset, not signalled");
    }
    if (t_createdThread ? g_state.eventFailsOnCreatedThreads : g_state.eventFailsOnOtherThreads) {
        t_lastError = g_state.eventError;
        return nullptr;
    }
    HANDLE event = HandleAt(kEventBase + g_state.events.size());
    g_state.events.push_back(event);
    return event;
}

BOOL SetEvent(HANDLE event) {
    Lock lock = Enter("SetEvent");
    if (!IsEvent(event)) return Misuse("SetEvent on what is no event");
    g_workings.signalled.insert(event);
    g_changed.notify_all();
    return TRUE;
}

BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add) {
    Lock lock = Enter("SetConsoleCtrlHandler");
    if (add != TRUE) return Misuse("SetConsoleCtrlHandler removing a handler");
    g_state.ctrlHandler = handler;
    return TRUE;
}

// Recorded, and returns: the caller must cope with that (the test goes on).
void ExitProcess(UINT exitCode) {
    Lock lock = Enter("ExitProcess(" + std::to_string(exitCode) + ")");
    g_state.exitCodes.push_back(exitCode);
    g_changed.notify_all();
}

// ---- Errors and modules ----

DWORD GetLastError(void) {
    Lock lock = Enter("GetLastError");
    return t_lastError;
}

void SetLastError(DWORD error) { t_lastError = error; }

DWORD FormatMessageA(DWORD flags, LPCVOID, DWORD messageId, DWORD languageId, LPSTR buffer, DWORD,
                     void *) {
    Lock lock = Enter("FormatMessageA");
    g_state.formatCalls.push_back({flags, languageId});
    auto it = g_state.messages.find(messageId);
    if (it == g_state.messages.end() || !(flags & FORMAT_MESSAGE_ALLOCATE_BUFFER)) {
        return Fail(kNoMessageError);
    }
    char *text = static_cast<char *>(std::malloc(it->second.size() + 1));
    std::memcpy(text, it->second.c_str(), it->second.size() + 1);
    g_workings.texts.insert(text);
    ++g_state.textsAllocated;
    *reinterpret_cast<char **>(buffer) = text;
    // Like many calls, a successful one leaves a last error of its own: a
    // caller must read the number it reports before calling this.
    t_lastError = 0;
    return static_cast<DWORD>(it->second.size());
}

FILE *OpenFileStream(const char *path, const char *mode) { return std::fopen(path, mode); }

// The logic under test here never lists ports: a call shows in the record.
std::vector<SerialPort> ListSerialPorts() {
    Lock lock = Enter("ListSerialPorts");
    return {};
}

// A clear shows in the captured output as a marker of its own.
void ClearConsoleScreen() {
    std::fputs(kClearMarker, stdout);
    std::fflush(stdout);
}

HLOCAL LocalFree(HLOCAL memory) {
    Lock lock = Enter("LocalFree");
    if (memory == nullptr) return nullptr;
    if (!g_workings.texts.erase(memory)) {
        Misuse("LocalFree of memory the fake did not allocate");
        return memory;
    }
    std::free(memory);
    ++g_state.textsFreed;
    return nullptr;
}

DWORD GetModuleFileNameA(HMODULE, LPSTR filename, DWORD size) {
    static const char kPath[] = "/opt/torvane/TorvaneTerminal";
    if (size == 0) return 0;
    DWORD n = std::min<DWORD>(size - 1, sizeof kPath - 1);
    std::memcpy(filename, kPath, n);
    filename[n] = '\0';
    return n;
}

// ---- Network management and internet client: nothing listed, nothing reached ----

NET_API_STATUS NetWkstaTransportEnum(LMSTR, DWORD, LPBYTE *buffer, DWORD, LPDWORD entriesRead,
                                     LPDWORD totalEntries, LPDWORD) {
    *buffer = nullptr;
    *entriesRead = 0;
    *totalEntries = 0;
    return NERR_Success;
}

NET_API_STATUS NetApiBufferFree(LPVOID) { return NERR_Success; }

HINTERNET InternetOpenA(LPCSTR, DWORD, LPCSTR, LPCSTR, DWORD) {
    t_lastError = 2;
    return nullptr;
}

HINTERNET InternetOpenUrlA(HINTERNET, LPCSTR, LPCSTR, DWORD, DWORD, DWORD_PTR) {
    t_lastError = 2;
    return nullptr;
}
