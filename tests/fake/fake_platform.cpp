#include "fake_platform.h"
#include "terminal/receive_loop.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
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

struct PendingOp {
    OpKind kind;
    Step step;
    LPDWORD mask;        // Wait
    char *buffer;        // Read
    DWORD size;          // Read: asked for; Write: given
    std::string data;    // Write: the bytes given
    long maskChangesAtStart;
};

struct CreatedThread {
    std::thread thread;
    bool done = false;
};

struct State {
    bool aborted = false;
    bool deadlineHit = false;
    int futileCalls = 0;
    std::vector<std::string> calls;
    std::vector<std::string> violations;

    HANDLE openResult = kPort;
    DWORD openError = 0;
    std::vector<OpenCall> openCalls;
    bool timeoutsOk = true, stateOk = true, getStateOk = true;
    DWORD timeoutsError = 0, stateError = 0, getStateError = 0;
    std::vector<COMMTIMEOUTS> timeoutsGiven;
    std::vector<DCB> statesGiven;
    std::deque<bool> maskResults;
    DWORD maskError = 0;
    std::vector<DWORD> masksSet;
    long maskChanges = 0;
    std::deque<Step> waits, reads, writes;
    int waitCalls = 0, writeCalls = 0;
    int blockedWaits = 0;
    std::vector<DWORD> readSizes;
    std::string written;
    std::map<OVERLAPPED *, PendingOp> pending;

    ThreadMode threadMode = ThreadMode::Run;
    DWORD threadError = 0;
    int createThreadCalls = 0;
    std::vector<CreatedThread *> threads;
    bool eventFailCreated = false, eventFailOther = false;
    DWORD eventError = 0;
    std::vector<HANDLE> events;
    std::vector<HANDLE> closed;

    HANDLE stdHandle = kConsole;
    bool getModeOk = true;
    DWORD consoleMode = 0x1F7, getModeError = 0;
    bool setModeOk = true;
    DWORD setModeError = 0;
    std::vector<DWORD> modesSet;
    struct ConsoleEntry {
        bool fails;
        DWORD error;
        std::vector<INPUT_RECORD> batch;
    };
    std::deque<ConsoleEntry> console;
    int consoleReads = 0;

    std::map<DWORD, std::string> messages;
    std::set<void *> texts;
    int textsAllocated = 0, textsFreed = 0;
    std::vector<FormatCall> formatCalls;
};

std::mutex g_mutex;
std::condition_variable g_changed;
State g_state;

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

// A program that goes on calling after the fake gave up is in an endless
// loop; ending the process is the only way to fail its test.
constexpr int kFutileCallLimit = 1000;

// Waits on the fake's condition until pred holds, the deadline passes or the
// fake is aborted. True only when pred holds. After one deadline every later
// wait fails at once, so a program stuck in a loop reaches the limit soon.
template <typename Pred>
bool WaitFor(Lock &lock, Pred pred) {
    bool met = g_changed.wait_until(lock, DeadlineFromNow(),
                                    [&] { return pred() || g_state.aborted; });
    if (pred()) return true;
    if (!met) {
        g_state.deadlineHit = true;
        g_state.aborted = true;
        g_changed.notify_all();
    }
    if (++g_state.futileCalls > kFutileCallLimit) {
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
    if (g_state.pending.count(overlapped)) {
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

}  // namespace

void Reset() {
    JoinThreads();
    Lock lock(g_mutex);
    for (void *text : g_state.texts) std::free(text);
    g_state = State();
    t_lastError = 0;
}

void Abort() {
    Lock lock(g_mutex);
    g_state.aborted = true;
    g_changed.notify_all();
}

void ScriptOpen(HANDLE result, DWORD error) {
    Lock lock(g_mutex);
    g_state.openResult = result;
    g_state.openError = error;
}
std::vector<OpenCall> OpenCalls() {
    Lock lock(g_mutex);
    return g_state.openCalls;
}
void ScriptSetCommTimeouts(bool ok, DWORD error) {
    Lock lock(g_mutex);
    g_state.timeoutsOk = ok;
    g_state.timeoutsError = error;
}
void ScriptSetCommState(bool ok, DWORD error) {
    Lock lock(g_mutex);
    g_state.stateOk = ok;
    g_state.stateError = error;
}
void ScriptGetCommState(bool ok, DWORD error) {
    Lock lock(g_mutex);
    g_state.getStateOk = ok;
    g_state.getStateError = error;
}
std::vector<COMMTIMEOUTS> TimeoutsGiven() {
    Lock lock(g_mutex);
    return g_state.timeoutsGiven;
}
std::vector<DCB> StatesGiven() {
    Lock lock(g_mutex);
    return g_state.statesGiven;
}
void ScriptSetCommMask(std::vector<bool> results, DWORD error) {
    Lock lock(g_mutex);
    g_state.maskResults.assign(results.begin(), results.end());
    g_state.maskError = error;
}
std::vector<DWORD> MasksSet() {
    Lock lock(g_mutex);
    return g_state.masksSet;
}
void ScriptWaits(std::vector<Step> steps) {
    Lock lock(g_mutex);
    g_state.waits.assign(steps.begin(), steps.end());
}
void ScriptReads(std::vector<Step> steps) {
    Lock lock(g_mutex);
    g_state.reads.assign(steps.begin(), steps.end());
}
void ScriptWrites(std::vector<Step> steps) {
    Lock lock(g_mutex);
    g_state.writes.assign(steps.begin(), steps.end());
}
int WaitCalls() {
    Lock lock(g_mutex);
    return g_state.waitCalls;
}
std::vector<DWORD> ReadSizes() {
    Lock lock(g_mutex);
    return g_state.readSizes;
}
std::string Written() {
    Lock lock(g_mutex);
    return g_state.written;
}
int WriteCalls() {
    Lock lock(g_mutex);
    return g_state.writeCalls;
}
bool AwaitBlockedWaits(int n) {
    Lock lock(g_mutex);
    return WaitFor(lock, [&] { return g_state.blockedWaits >= n; });
}
bool AwaitWritten(std::size_t n) {
    Lock lock(g_mutex);
    return WaitFor(lock, [&] { return g_state.written.size() >= n; });
}

void ScriptCreateThread(ThreadMode mode, DWORD error) {
    Lock lock(g_mutex);
    g_state.threadMode = mode;
    g_state.threadError = error;
}
int CreateThreadCalls() {
    Lock lock(g_mutex);
    return g_state.createThreadCalls;
}

bool JoinThreads() {
    auto allDone = [] {
        return std::all_of(g_state.threads.begin(), g_state.threads.end(),
                           [](const CreatedThread *t) { return t->done; });
    };
    std::vector<CreatedThread *> threads;
    bool inTime;
    {
        Lock lock(g_mutex);
        inTime = g_changed.wait_until(lock, DeadlineFromNow(), allDone);
        if (!inTime) {
            // Free it from whatever fake call holds it; the routine then ends.
            g_state.deadlineHit = true;
            g_state.aborted = true;
            g_changed.notify_all();
        }
        threads.swap(g_state.threads);
    }
    for (CreatedThread *t : threads) {
        t->thread.join();
        delete t;
    }
    return inTime;
}

void ScriptCreateEvent(bool failOnCreatedThreads, bool failOnOtherThreads, DWORD error) {
    Lock lock(g_mutex);
    g_state.eventFailCreated = failOnCreatedThreads;
    g_state.eventFailOther = failOnOtherThreads;
    g_state.eventError = error;
}
std::vector<HANDLE> EventsCreated() {
    Lock lock(g_mutex);
    return g_state.events;
}
std::vector<HANDLE> Closed() {
    Lock lock(g_mutex);
    return g_state.closed;
}
bool IsEvent(HANDLE handle) {
    auto value = reinterpret_cast<std::uintptr_t>(handle);
    return value >= kEventBase && value < kEventBase + kBlockSize;
}
bool IsThread(HANDLE handle) {
    auto value = reinterpret_cast<std::uintptr_t>(handle);
    return value >= kThreadBase && value < kThreadBase + kBlockSize;
}

INPUT_RECORD Key(char character, bool down, WORD repeat) {
    INPUT_RECORD record;
    std::memset(&record, 0, sizeof record);
    record.EventType = KEY_EVENT;
    record.Event.KeyEvent.bKeyDown = down ? TRUE : FALSE;
    record.Event.KeyEvent.wRepeatCount = repeat;
    record.Event.KeyEvent.uChar.AsciiChar = character;
    return record;
}
INPUT_RECORD Other(WORD eventType) {
    INPUT_RECORD record;
    // Whatever the other kinds carry must not be read as a key's character.
    std::memset(&record, 'x', sizeof record);
    record.EventType = eventType;
    return record;
}
void ScriptStdHandle(HANDLE result) {
    Lock lock(g_mutex);
    g_state.stdHandle = result;
}
void ScriptGetConsoleMode(bool ok, DWORD mode, DWORD error) {
    Lock lock(g_mutex);
    g_state.getModeOk = ok;
    g_state.consoleMode = mode;
    g_state.getModeError = error;
}
void ScriptSetConsoleMode(bool ok, DWORD error) {
    Lock lock(g_mutex);
    g_state.setModeOk = ok;
    g_state.setModeError = error;
}
std::vector<DWORD> ModesSet() {
    Lock lock(g_mutex);
    return g_state.modesSet;
}
void PushConsole(std::vector<INPUT_RECORD> batch) {
    Lock lock(g_mutex);
    g_state.console.push_back({false, 0, std::move(batch)});
    g_changed.notify_all();
}
void PushConsoleFailure(DWORD error) {
    Lock lock(g_mutex);
    g_state.console.push_back({true, error, {}});
    g_changed.notify_all();
}
int ConsoleReads() {
    Lock lock(g_mutex);
    return g_state.consoleReads;
}

void ScriptMessage(DWORD error, std::string text) {
    Lock lock(g_mutex);
    g_state.messages[error] = std::move(text);
}
int TextsAllocated() {
    Lock lock(g_mutex);
    return g_state.textsAllocated;
}
int TextsFreed() {
    Lock lock(g_mutex);
    return g_state.textsFreed;
}
std::vector<FormatCall> FormatCalls() {
    Lock lock(g_mutex);
    return g_state.formatCalls;
}

std::vector<std::string> Calls() {
    Lock lock(g_mutex);
    return g_state.calls;
}
std::vector<std::string> Violations() {
    Lock lock(g_mutex);
    return g_state.violations;
}
bool DeadlineHit() {
    Lock lock(g_mutex);
    return g_state.deadlineHit;
}

}  // namespace fake

using namespace fake;

// ---- Port ----

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE templ) {
    Lock lock(g_mutex);
    g_state.calls.push_back("CreateFileA");
    g_state.openCalls.push_back({name ? name : "", access, share, disposition, flags,
                                 security != nullptr, templ != nullptr});
    if (g_state.openResult == INVALID_HANDLE_VALUE) t_lastError = g_state.openError;
    return g_state.openResult;
}

BOOL SetCommTimeouts(HANDLE, LPCOMMTIMEOUTS timeouts) {
    Lock lock(g_mutex);
    g_state.calls.push_back("SetCommTimeouts");
    g_state.timeoutsGiven.push_back(*timeouts);
    return g_state.timeoutsOk ? TRUE : Fail(g_state.timeoutsError);
}

BOOL SetCommState(HANDLE, LPDCB dcb) {
    Lock lock(g_mutex);
    g_state.calls.push_back("SetCommState");
    g_state.statesGiven.push_back(*dcb);
    return g_state.stateOk ? TRUE : Fail(g_state.stateError);
}

BOOL GetCommState(HANDLE, LPDCB dcb) {
    Lock lock(g_mutex);
    g_state.calls.push_back("GetCommState");
    if (dcb->DCBlength != sizeof(DCB)) return Misuse("GetCommState without DCBlength");
    if (!g_state.getStateOk) return Fail(g_state.getStateError);
    *dcb = DCB{};
    dcb->DCBlength = sizeof(DCB);
    dcb->BaudRate = 9600;
    dcb->ByteSize = 8;
    return TRUE;
}

BOOL SetCommMask(HANDLE, DWORD mask) {
    Lock lock(g_mutex);
    g_state.calls.push_back("SetCommMask(" + std::to_string(mask) + ")");
    bool ok = true;
    if (!g_state.maskResults.empty()) {
        ok = g_state.maskResults.front();
        g_state.maskResults.pop_front();
    }
    if (!ok) return Fail(g_state.maskError);
    g_state.masksSet.push_back(mask);
    // Any change of the mask completes a pending wait with an empty mask.
    ++g_state.maskChanges;
    g_changed.notify_all();
    return TRUE;
}

BOOL WaitCommEvent(HANDLE, LPDWORD mask, LPOVERLAPPED overlapped) {
    Lock lock(g_mutex);
    g_state.calls.push_back("WaitCommEvent");
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
        g_stopRequested.store(true);
        ++g_state.maskChanges;
        return Fail(step.error);
    case How::StopThenPends:
        g_stopRequested.store(true);
        ++g_state.maskChanges;
        g_state.pending[overlapped] = {OpKind::Wait, WaitStep(How::UntilMaskChange, 0), mask,
                                       nullptr, 0, {}, g_state.maskChanges};
        return Fail(ERROR_IO_PENDING);
    default:
        g_state.pending[overlapped] = {OpKind::Wait, step, mask, nullptr, 0, {},
                                       g_state.maskChanges};
        return Fail(ERROR_IO_PENDING);
    }
}

BOOL ReadFile(HANDLE, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped) {
    Lock lock(g_mutex);
    g_state.calls.push_back("ReadFile");
    g_state.readSizes.push_back(toRead);
    if (!StartOp(overlapped, "ReadFile")) return FALSE;
    Step step = Next(g_state.reads, ReadStep(How::AtOnce, ""));
    switch (step.how) {
    case How::AtOnce:
        *read = Deliver(step, g_state.reads, static_cast<char *>(buffer), toRead);
        return TRUE;
    case How::DeliverThenStop:
        *read = Deliver(step, g_state.reads, static_cast<char *>(buffer), toRead);
        g_stopRequested.store(true);
        ++g_state.maskChanges;
        return TRUE;
    case How::Fails:
        return Fail(step.error);
    case How::UntilMaskChange:
        return Misuse("UntilMaskChange scripted for a read");
    default:
        g_state.pending[overlapped] = {OpKind::Read, step, nullptr, static_cast<char *>(buffer),
                                       toRead, {}, 0};
        return Fail(ERROR_IO_PENDING);
    }
}

BOOL WriteFile(HANDLE, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED overlapped) {
    Lock lock(g_mutex);
    g_state.calls.push_back("WriteFile");
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
        g_state.pending[overlapped] = {OpKind::Write, step, nullptr, nullptr, toWrite, data, 0};
        return Fail(ERROR_IO_PENDING);
    }
}

BOOL GetOverlappedResult(HANDLE, LPOVERLAPPED overlapped, LPDWORD transferred, BOOL wait) {
    Lock lock(g_mutex);
    g_state.calls.push_back("GetOverlappedResult");
    auto it = g_state.pending.find(overlapped);
    if (it == g_state.pending.end()) return Misuse("GetOverlappedResult with nothing pending");
    if (wait != TRUE) return Misuse("GetOverlappedResult without waiting");
    PendingOp op = it->second;
    g_state.pending.erase(it);
    if (op.step.how == How::PendingStopFails) {
        g_stopRequested.store(true);
        ++g_state.maskChanges;
        return Fail(op.step.error);
    }
    if (op.step.how == How::PendingFails) {
        // A read may report the bytes it got along with its failure.
        if (op.kind == OpKind::Read) *transferred = Deliver(op.step, g_state.reads, op.buffer, op.size);
        return Fail(op.step.error);
    }
    switch (op.kind) {
    case OpKind::Wait:
        if (op.step.how == How::UntilMaskChange) {
            ++g_state.blockedWaits;
            g_changed.notify_all();
            if (!WaitFor(lock, [&] { return g_state.maskChanges > op.maskChangesAtStart; })) {
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

BOOL CloseHandle(HANDLE handle) {
    Lock lock(g_mutex);
    g_state.calls.push_back("CloseHandle");
    g_state.closed.push_back(handle);
    // A call that succeeds may overwrite the last error; code that reports
    // an earlier failure must have saved it.
    t_lastError = 0;
    return TRUE;
}

// ---- Console input ----

HANDLE GetStdHandle(DWORD which) {
    Lock lock(g_mutex);
    g_state.calls.push_back("GetStdHandle");
    if (which != STD_INPUT_HANDLE) Misuse("GetStdHandle for other than input");
    return g_state.stdHandle;
}

BOOL FlushConsoleInputBuffer(HANDLE) {
    Lock lock(g_mutex);
    g_state.calls.push_back("FlushConsoleInputBuffer");
    return TRUE;
}

BOOL GetConsoleMode(HANDLE, LPDWORD mode) {
    Lock lock(g_mutex);
    g_state.calls.push_back("GetConsoleMode");
    if (!g_state.getModeOk) return Fail(g_state.getModeError);
    *mode = g_state.consoleMode;
    return TRUE;
}

BOOL SetConsoleMode(HANDLE, DWORD mode) {
    Lock lock(g_mutex);
    g_state.calls.push_back("SetConsoleMode");
    g_state.modesSet.push_back(mode);
    return g_state.setModeOk ? TRUE : Fail(g_state.setModeError);
}

BOOL ReadConsoleInputA(HANDLE, PINPUT_RECORD records, DWORD length, LPDWORD read) {
    Lock lock(g_mutex);
    g_state.calls.push_back("ReadConsoleInputA");
    ++g_state.consoleReads;
    if (!WaitFor(lock, [] { return !g_state.console.empty(); })) return Fail(kDeadlineError);
    State::ConsoleEntry &entry = g_state.console.front();
    if (entry.fails) {
        DWORD error = entry.error;
        g_state.console.pop_front();
        return Fail(error);
    }
    DWORD n = static_cast<DWORD>(std::min<std::size_t>(entry.batch.size(), length));
    std::copy(entry.batch.begin(), entry.batch.begin() + n, records);
    entry.batch.erase(entry.batch.begin(), entry.batch.begin() + n);
    if (entry.batch.empty()) g_state.console.pop_front();
    *read = n;
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD) {
    Lock lock(g_mutex);
    g_state.calls.push_back("WaitForSingleObject");
    if (handle != kConsole) return WAIT_OBJECT_0;
    if (!WaitFor(lock, [] { return !g_state.console.empty(); })) {
        t_lastError = kDeadlineError;
        return WAIT_FAILED;
    }
    return WAIT_OBJECT_0;
}

// ---- Threads and events ----

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID parameter,
                    DWORD, LPDWORD) {
    Lock lock(g_mutex);
    g_state.calls.push_back("CreateThread");
    int number = g_state.createThreadCalls++;
    HANDLE handle = HandleAt(kThreadBase + static_cast<std::uintptr_t>(number));
    switch (g_state.threadMode) {
    case ThreadMode::Fail:
        t_lastError = g_state.threadError;
        return nullptr;
    case ThreadMode::Idle:
        return handle;
    default:
        break;
    }
    auto *created = new CreatedThread;
    g_state.threads.push_back(created);
    created->thread = std::thread([created, start, parameter] {
        t_createdThread = true;
        start(parameter);
        Lock done(g_mutex);
        created->done = true;
        g_changed.notify_all();
    });
    if (g_state.threadMode == ThreadMode::RunToEnd) WaitFor(lock, [&] { return created->done; });
    return handle;
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState,
                    LPCSTR name) {
    Lock lock(g_mutex);
    g_state.calls.push_back("CreateEventA");
    if (security != nullptr || manualReset != FALSE || initialState != FALSE || name != nullptr) {
        Misuse("CreateEventA other than unnamed, auto-reset, not signalled");
    }
    if (t_createdThread ? g_state.eventFailCreated : g_state.eventFailOther) {
        t_lastError = g_state.eventError;
        return nullptr;
    }
    HANDLE event = HandleAt(kEventBase + g_state.events.size());
    g_state.events.push_back(event);
    return event;
}

// ---- Errors and modules ----

DWORD GetLastError(void) {
    Lock lock(g_mutex);
    g_state.calls.push_back("GetLastError");
    return t_lastError;
}

void SetLastError(DWORD error) { t_lastError = error; }

DWORD FormatMessageA(DWORD flags, LPCVOID, DWORD messageId, DWORD languageId, LPSTR buffer, DWORD,
                     void *) {
    Lock lock(g_mutex);
    g_state.calls.push_back("FormatMessageA");
    g_state.formatCalls.push_back({flags, languageId});
    auto it = g_state.messages.find(messageId);
    if (it == g_state.messages.end() || !(flags & FORMAT_MESSAGE_ALLOCATE_BUFFER)) {
        return Fail(kNoMessageError);
    }
    char *text = static_cast<char *>(std::malloc(it->second.size() + 1));
    std::memcpy(text, it->second.c_str(), it->second.size() + 1);
    g_state.texts.insert(text);
    ++g_state.textsAllocated;
    *reinterpret_cast<char **>(buffer) = text;
    // Like many calls, a successful one leaves a last error of its own: a
    // caller must read the number it reports before calling this.
    t_lastError = 0;
    return static_cast<DWORD>(it->second.size());
}

FILE *OpenFileStream(const char *path, const char *mode) { return std::fopen(path, mode); }

// A clear shows in the captured output as a marker of its own.
void ClearConsoleScreen() {
    std::fputs(kClearMarker, stdout);
    std::fflush(stdout);
}

HLOCAL LocalFree(HLOCAL memory) {
    Lock lock(g_mutex);
    g_state.calls.push_back("LocalFree");
    if (memory == nullptr) return nullptr;
    if (!g_state.texts.erase(memory)) {
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
