#include "terminal/console_events.h"

#include <atomic>
#include <cstdio>

#include "terminal/error_report.h"
#include "terminal/receive_loop.h"
#include "terminal/stop_signal.h"

namespace {

// Where the program is, as the handler sees it: no session (start-up, the
// usage screen, an error before the session), a session an event may stop,
// a session the handler is stopping (it uses the port), a session over (its
// port closed or about to be).
enum class Phase { kNoSession, kSession, kStopping, kOver };
std::atomic<Phase> g_phase{Phase::kNoSession};
HANDLE g_sessionPort = nullptr;  // written before the phase becomes kSession

// Auto-reset events: the handler is done with the port; the session is over
// and everything is closed.
HANDLE g_portReleased = nullptr;
HANDLE g_sessionOver = nullptr;

// The console's input mode at start, put back when an event ends the program
// before any session (the usage screen's key wait changes it).
DWORD g_startingMode = 0;
bool g_haveStartingMode = false;

// After the close button, log-off or shut-down Windows allows a handler about
// five seconds before it ends the process regardless.
constexpr DWORD kEndWaitMs = 4000;

void EndWithoutSession() {
    HANDLE console = GetStdHandle(STD_INPUT_HANDLE);
    // Nothing to report if these fail: the program is ending, maybe with
    // its console already gone.
    if (g_haveStartingMode) SetConsoleMode(console, g_startingMode);
    DiscardTypedKeys();
    ExitProcess(0);
}

}  // namespace

void WatchConsoleEvents() {
    g_phase.store(Phase::kNoSession);
    g_portReleased = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    g_sessionOver = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    g_haveStartingMode = GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &g_startingMode) != 0;
    // Without its events the handler could not wait for the session's end.
    // A handler that is not registered leaves Windows' default (the process
    // ended at once), which is no reason to refuse the user a session: the
    // result changes nothing.
    if (g_portReleased == nullptr || g_sessionOver == nullptr) return;
    static_cast<void>(SetConsoleCtrlHandler(OnConsoleEvent, TRUE));
}

void RunSession(HANDLE port, const SessionSettings *settings) {
    g_sessionPort = port;
    g_phase.store(Phase::kSession);
    bool consoleFree = ReceiveLoop(port, settings);
    // A handler that is sending the stop still uses the port: it is closed
    // only once the handler is done with it.
    if (g_phase.exchange(Phase::kOver) == Phase::kStopping) {
        WaitForSingleObject(g_portReleased, kEndWaitMs);
    }
    CloseHandle(port);
    std::fflush(stdout);
    // What was typed for the device and not read (the rest of a paste that
    // held Ctrl+Q, keys typed while the port closed) must not reach the shell.
    if (consoleFree) DiscardTypedKeys();
    SetEvent(g_sessionOver);
}

BOOL WINAPI OnConsoleEvent(DWORD event) {
    Phase phase = g_phase.load();
    if (phase == Phase::kNoSession) {
        // Ctrl+C too: before the session it interrupts start-up.
        EndWithoutSession();
        return TRUE;
    }
    // In a session Ctrl+C is a key for the device: processed input is off,
    // so the console raises no event for it, and one sent by another program
    // ends nothing.
    if (event == CTRL_C_EVENT) return TRUE;
    if (phase == Phase::kSession && g_phase.compare_exchange_strong(phase, Phase::kStopping)) {
        SendStopSignal(g_sessionPort);
        SetEvent(g_portReleased);
    }
    // After Ctrl+Break the program ends by itself, as after Ctrl+Q.
    if (event == CTRL_BREAK_EVENT) return TRUE;
    // After the others Windows ends the process as soon as the handler
    // returns: the handler waits for the session's end (capture and port
    // closed, everything shown), then ends the process with status 0 itself.
    WaitForSingleObject(g_sessionOver, kEndWaitMs);
    ExitProcess(0);
    return TRUE;
}
