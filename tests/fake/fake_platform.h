// A scriptable stand-in for the platform layer: it defines every call that
// platform/posix/win32_posix.h declares, so the program's logic links against
// it instead of the real layer. Tests script each call's result and last
// error, then read back what the program asked of the platform.
//
// Blocking calls (a pending port wait, a console read with nothing queued,
// a thread run to its end) give up after kDeadline and fail with
// kDeadlineError, so a broken program fails its test instead of hanging it.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "platform/win32.h"

// What the fake screen clear prints, so that a clear shows in the output.
constexpr char kClearMarker[] = "[clear]";

namespace fake {

constexpr auto kDeadline = std::chrono::seconds(5);
constexpr DWORD kDeadlineError = 0xDEAD;
// The error a call reports when the program misuses it (see Violations).
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

// Back to defaults: every call succeeds, waits pend until the mask changes,
// reads return 0 bytes, the console has nothing queued, no thread is running.
// Call only when no thread of the program is running.
void Reset();

// Makes every blocked call fail now and every later blocking call fail at
// once, to free a program that would otherwise hang.
void Abort();

// Port.
struct OpenCall {
    std::string name;
    DWORD access, share, disposition, flags;
    bool security, templ;
};
void ScriptOpen(HANDLE result, DWORD error);
std::vector<OpenCall> OpenCalls();
void ScriptSetCommTimeouts(bool ok, DWORD error);
void ScriptSetCommState(bool ok, DWORD error);
void ScriptGetCommState(bool ok, DWORD error);
std::vector<COMMTIMEOUTS> TimeoutsGiven();
std::vector<DCB> StatesGiven();
// SetCommMask results, one per call in order (true = success); then success.
void ScriptSetCommMask(std::vector<bool> results, DWORD error);
std::vector<DWORD> MasksSet();  // masks of successful calls, in order
void ScriptWaits(std::vector<Step> steps);
void ScriptReads(std::vector<Step> steps);
void ScriptWrites(std::vector<Step> steps);
int WaitCalls();
std::vector<DWORD> ReadSizes();  // the size each ReadFile asked for
std::string Written();           // bytes of the writes that completed, in order
int WriteCalls();
// Blocks (with a deadline) until n waits have pended for a mask change.
bool AwaitBlockedWaits(int n);
bool AwaitWritten(std::size_t n);

// Threads and events.
enum class ThreadMode {
    Run,       // a real thread runs the routine
    RunToEnd,  // as Run, but CreateThread returns only once the routine has
    Idle,      // a handle is given, the routine never runs
    Fail,      // CreateThread fails
};
void ScriptCreateThread(ThreadMode mode, DWORD error);
int CreateThreadCalls();
// Waits until every thread the fake started has returned, and joins them.
// False when one had to be forced out through Abort.
bool JoinThreads();
// CreateEventA fails on threads that CreateThread started, on the others,
// or both.
void ScriptCreateEvent(bool failOnCreatedThreads, bool failOnOtherThreads, DWORD error);
std::vector<HANDLE> EventsCreated();
std::vector<HANDLE> Closed();
bool IsEvent(HANDLE handle);
bool IsThread(HANDLE handle);

// Console input.
INPUT_RECORD Key(char character, bool down = true, WORD repeat = 1);
INPUT_RECORD Other(WORD eventType);
void ScriptStdHandle(HANDLE result);
void ScriptGetConsoleMode(bool ok, DWORD mode, DWORD error);
void ScriptSetConsoleMode(bool ok, DWORD error);
std::vector<DWORD> ModesSet();  // modes of every SetConsoleMode call
// One ReadConsoleInputA call hands out up to its length records of the front
// batch; the rest stay for the next call. A queued failure fails one call.
void PushConsole(std::vector<INPUT_RECORD> batch);
void PushConsoleFailure(DWORD error);
int ConsoleReads();

// Errors.
void ScriptMessage(DWORD error, std::string text);  // otherwise: no text
int TextsAllocated();
int TextsFreed();
struct FormatCall {
    DWORD flags, language;
};
std::vector<FormatCall> FormatCalls();

// Every call, by name, in order (SetCommMask with its mask: "SetCommMask(0)").
std::vector<std::string> Calls();
// Misuse seen: an operation on an overlapped record that is still pending,
// GetOverlappedResult with nothing pending on the record, a missing record.
std::vector<std::string> Violations();
bool DeadlineHit();

}  // namespace fake
