// A scriptable stand-in for the platform layer: it defines every call that
// platform/linux/win32_linux.h declares, so the program's logic links against
// it instead of the real layer. Tests script each call's result and last
// error in the fake's State through Edit, then read back what the program
// asked of the platform through Snapshot.
//
// Blocking calls (a pending port wait, a console read with nothing queued,
// a thread run to its end) give up after kDeadline and fail with
// kDeadlineError, so a broken program fails its test instead of hanging it.
#pragma once

#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/win32.h"

// What the fake screen clear prints, so that a clear shows in the output.
constexpr char kClearMarker[] = "[clear]";

namespace fake {

constexpr auto kDeadline = std::chrono::seconds(5);
constexpr DWORD kDeadlineError = 0xDEAD;
// The error a call reports when the program misuses it (see State::violations).
constexpr DWORD kMisuseError = 0xBAD;

extern const HANDLE kPort;
extern const HANDLE kConsole;

// How a port operation completes.
enum class How {
    AtOnce,           // the call succeeds at once
    Pending,          // the call pends (997); GetOverlappedResult succeeds
    Fails,            // the call fails at once with the step's error
    PendingFails,     // the call pends; GetOverlappedResult fails with the error
    UntilMaskChange,  // waits only: pends until SetCommMask is called, then mask 0
    StopThenFails,    // waits only: the keyboard thread's stop lands just as the
                      // wait starts (flag raised, mask emptied); the wait fails
    StopThenPends,    // waits only: as StopThenFails, but the wait pends until
                      // the mask changes again (a driver that pends on an
                      // empty mask)
    PendingStopFails, // waits only: pends; the stop lands meanwhile and the
                      // completion fails with the error (Wine: 995)
    DeliverThenStop,  // reads only: delivers its bytes, then the stop lands
    Slow,             // writes only: pends; its event is signalled only when
                      // no console input is waiting in the same wait (a device
                      // slower than the typist)
    Stalled,          // writes only: pends until CancelIo (a device that takes
                      // nothing); then its result fails with 995
};

struct Step {
    How how = How::AtOnce;
    DWORD mask = 0;     // waits: the events reported
    std::string bytes;  // reads: the bytes delivered (at most what was asked)
    DWORD error = 0;    // Fails, PendingFails
};

inline Step WaitStep(How how, DWORD mask, DWORD error = 0) { return {how, mask, {}, error}; }
inline Step ReadStep(How how, std::string bytes, DWORD error = 0) {
    return {how, 0, std::move(bytes), error};
}
inline Step WriteStep(How how, DWORD error = 0) { return {how, 0, {}, error}; }

enum class ThreadMode {
    Run,       // a real thread runs the routine
    RunToEnd,  // as Run, but CreateThread returns only once the routine has
    Idle,      // a handle is given, the routine never runs
    Fail,      // CreateThread fails
};

// What one ReadConsoleInputA call finds at the front of the console's queue:
// it hands out up to its length of the records, the rest stay for the next
// call; a failure fails one call. A test names only the members it needs (the
// {} lets a designated initializer leave the records out).
struct ConsoleInput {
    std::vector<INPUT_RECORD> records{};
    bool fails = false;
    DWORD error = 0;  // when it fails
};

inline INPUT_RECORD Key(char character, bool down = true, WORD repeat = 1) {
    INPUT_RECORD record;
    std::memset(&record, 0, sizeof record);
    record.EventType = KEY_EVENT;
    record.Event.KeyEvent.bKeyDown = down ? TRUE : FALSE;
    record.Event.KeyEvent.wRepeatCount = repeat;
    record.Event.KeyEvent.uChar.AsciiChar = character;
    return record;
}

inline INPUT_RECORD Other(WORD eventType) {
    INPUT_RECORD record;
    // Whatever the other kinds carry must not be read as a key's character.
    std::memset(&record, 'x', sizeof record);
    record.EventType = eventType;
    return record;
}

struct OpenCall {
    std::string name;
    DWORD access;
    DWORD share;
    DWORD disposition;
    DWORD flags;
    bool security;
    bool templ;
};

struct FormatCall {
    DWORD flags;
    DWORD language;
};

// Everything a test scripts and everything the fake records. A new fake call
// adds its script and its record here, with defaults under which it succeeds.
struct State {
    // ---- Scripted: how the calls answer ----
    // CreateFileA's result, and its last error when that is INVALID_HANDLE_VALUE.
    HANDLE openResult = kPort;
    DWORD openError = 0;
    bool setTimeoutsOk = true;  // SetCommTimeouts
    DWORD setTimeoutsError = 0;
    bool setStateOk = true;  // SetCommState
    DWORD setStateError = 0;
    bool getStateOk = true;  // GetCommState
    DWORD getStateError = 0;
    // SetCommMask's results, one per call in order (true = success); then success.
    std::deque<bool> setMaskResults;
    DWORD setMaskError = 0;
    // One step per call in order; then waits pend until the mask changes,
    // reads give 0 bytes at once and writes complete at once.
    std::deque<Step> waits;
    std::deque<Step> reads;
    std::deque<Step> writes;
    ThreadMode threadMode = ThreadMode::Run;
    DWORD threadError = 0;  // when threadMode is Fail
    // CreateEventA fails on threads that CreateThread started, on the others,
    // or both.
    bool eventFailsOnCreatedThreads = false;
    bool eventFailsOnOtherThreads = false;
    DWORD eventError = 0;
    HANDLE stdHandle = kConsole;  // GetStdHandle
    bool getModeOk = true;  // GetConsoleMode
    DWORD consoleMode = 0x1F7;
    DWORD getModeError = 0;
    bool setModeOk = true;  // SetConsoleMode
    DWORD setModeError = 0;
    // ClearCommError: its result and the input queue it reports.
    bool clearErrorOk = true;
    DWORD inQueue = 0;
    // Waited for by ReadConsoleInputA and by a wait on the console.
    std::deque<ConsoleInput> console;
    // FormatMessageA's text for each error; other errors have none.
    std::map<DWORD, std::string> messages;

    // ---- Recorded: what the program asked of the platform ----
    // Every call, by name, in order (SetCommMask with its mask: "SetCommMask(0)").
    std::vector<std::string> calls;
    // Misuse seen: an operation on an overlapped record that is still pending,
    // GetOverlappedResult with nothing pending on the record, a missing record.
    std::vector<std::string> violations;
    bool deadlineHit = false;
    std::vector<OpenCall> openCalls;
    std::vector<COMMTIMEOUTS> timeoutsGiven;
    std::vector<DCB> statesGiven;
    std::vector<DWORD> masksSet;  // masks of successful calls, in order
    int waitCalls = 0;
    int blockedWaits = 0;  // waits that pended until the mask changed
    std::vector<DWORD> readSizes;  // the size each ReadFile asked for
    std::string written;  // bytes of the writes that completed, in order
    int writeCalls = 0;
    int createThreadCalls = 0;
    std::vector<HANDLE> events;  // created, in order
    std::vector<HANDLE> closed;
    std::vector<DWORD> modesSet;  // modes of every SetConsoleMode call
    int consoleReads = 0;
    int textsAllocated = 0;
    int textsFreed = 0;
    std::vector<FormatCall> formatCalls;
    PHANDLER_ROUTINE ctrlHandler = nullptr;  // the last one registered
    std::vector<UINT> exitCodes;  // of ExitProcess, which records and returns
};

// Runs edit on the fake's state under its lock, then wakes every fake call
// that waits for a change (queued console input, for one).
void Edit(const std::function<void(State &)> &edit);
// A copy of the fake's state, taken under its lock.
State Snapshot();

// Back to State's defaults, with nothing pending and no thread left.
// Call only when no thread of the program is running.
void Reset();

// Makes every blocked call fail now and every later blocking call fail at
// once, to free a program that would otherwise hang.
void Abort();

// Blocks (with a deadline) until the state meets the condition; false if it
// never did. The condition is checked under the fake's lock whenever the fake
// wakes its waiters: when Edit runs, a wait blocks, a write completes, the
// mask changes or a thread ends.
bool Await(const std::function<bool(const State &)> &until);

// Waits until every thread the fake started has returned, and joins them.
// False when one had to be forced out through Abort.
bool JoinThreads();

bool IsEvent(HANDLE handle);
bool IsThread(HANDLE handle);

}  // namespace fake
