// The console's input: its mode, key events and the wait for them.
//
// Standard input is the console. Input modes map onto termios; the mode
// found at the first change is restored when the process ends, on every
// road (normal end, error, SIGTERM, SIGHUP, SIGINT, SIGQUIT), because the
// program itself never restores the raw mode it sets while a session runs.
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "platform/posix/handles.h"

namespace {

struct ConsoleHandle : HandleBase {
    int fd;
};

ConsoleHandle g_console{{HandleKind::Console}, STDIN_FILENO};

// The mode the console had before the program changed anything. Written once
// under the lock, before the restore hooks can run.
std::mutex g_modeLock;
termios g_original;
std::atomic<bool> g_originalSaved{false};
DWORD g_originalMode = 0;
bool g_modeInForce = false;
DWORD g_currentMode = 0;

// Keys read together are handed out one event at a time; only one thread
// reads the console at a time (the key wait, later the keyboard thread).
unsigned char g_keys[4096];
std::size_t g_keysStart = 0;
std::size_t g_keysEnd = 0;

constexpr int kRestoredSignals[] = {SIGTERM, SIGHUP, SIGINT, SIGQUIT};

void RestoreOriginalMode() {
    // tcsetattr is async-signal-safe; nothing else here may allocate or lock.
    if (g_originalSaved.load()) tcsetattr(g_console.fd, TCSANOW, &g_original);
}

void RestoreOnSignal(int signal) {
    int savedErrno = errno;
    RestoreOriginalMode();
    // The handler was installed with SA_RESETHAND: raising again ends the
    // process as the signal would have.
    raise(signal);
    errno = savedErrno;
}

DWORD ModeOf(const termios &settings) {
    DWORD mode = 0;
    if (settings.c_lflag & ISIG) mode |= ENABLE_PROCESSED_INPUT;
    if (settings.c_lflag & ICANON) mode |= ENABLE_LINE_INPUT;
    if (settings.c_lflag & ECHO) mode |= ENABLE_ECHO_INPUT;
    return mode;
}

// Saves the console's starting mode once and arranges its restoration.
bool SaveOriginalMode() {
    if (g_originalSaved.load()) return true;
    termios settings;
    if (tcgetattr(g_console.fd, &settings) != 0) return false;
    g_original = settings;
    g_originalMode = ModeOf(settings);
    g_originalSaved.store(true);
    std::atexit(RestoreOriginalMode);
    for (int signal : kRestoredSignals) {
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        sigaction(signal, nullptr, &action);
        // A signal the caller chose to ignore stays ignored.
        if (action.sa_handler == SIG_IGN) continue;
        std::memset(&action, 0, sizeof action);
        action.sa_handler = RestoreOnSignal;
        action.sa_flags = SA_RESETHAND;
        sigemptyset(&action.sa_mask);
        sigaction(signal, &action, nullptr);
    }
    return true;
}

// The termios for a console input mode. Only the input side changes: output
// processing stays on, so a received line feed still starts a new line.
termios SettingsFor(DWORD mode) {
    if (mode == g_originalMode) return g_original;
    termios settings = g_original;
    auto setFlag = [](tcflag_t &flags, tcflag_t bits, bool on) {
        flags = on ? (flags | bits) : (flags & ~bits);
    };
    setFlag(settings.c_lflag, ICANON, mode & ENABLE_LINE_INPUT);
    setFlag(settings.c_lflag, ECHO | ECHOE | ECHOK | ECHONL, (mode & ENABLE_ECHO_INPUT) != 0);
    if (!(mode & ENABLE_PROCESSED_INPUT)) {
        // Control keys arrive as characters: no signals from Ctrl+C, no XON/
        // XOFF swallowing Ctrl+Q and Ctrl+S, and Enter stays 0x0D.
        settings.c_lflag &= ~(ISIG | IEXTEN);
        settings.c_iflag &= ~(IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP);
    } else {
        settings.c_lflag |= ISIG;
    }
    if (!(mode & ENABLE_LINE_INPUT)) {
        settings.c_cc[VMIN] = 1;
        settings.c_cc[VTIME] = 0;
    }
    return settings;
}

ConsoleHandle *AsConsole(HANDLE handle) {
    return IsHandleOfKind(handle, HandleKind::Console) ? static_cast<ConsoleHandle *>(handle)
                                                       : nullptr;
}

}  // namespace

HANDLE GetStdHandle(DWORD which) {
    if (which != STD_INPUT_HANDLE) {
        FailWith(EINVAL);
        return INVALID_HANDLE_VALUE;
    }
    return &g_console;
}

BOOL GetConsoleMode(HANDLE handle, LPDWORD mode) {
    ConsoleHandle *console = AsConsole(handle);
    if (console == nullptr || mode == nullptr) return FailWith(EINVAL);
    termios settings;
    if (tcgetattr(console->fd, &settings) != 0) return FailWith(errno);
    std::lock_guard<std::mutex> guard(g_modeLock);
    if (!SaveOriginalMode()) return FailWith(errno);
    *mode = ModeOf(settings);
    return TRUE;
}

BOOL SetConsoleMode(HANDLE handle, DWORD mode) {
    ConsoleHandle *console = AsConsole(handle);
    if (console == nullptr) return FailWith(EINVAL);
    // Only the input bits mean anything here; window and mouse input have
    // no terminal counterpart.
    mode &= ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT;
    std::lock_guard<std::mutex> guard(g_modeLock);
    // The keyboard thread sets its mode before every key: a change already in
    // force costs nothing.
    if (g_modeInForce && mode == g_currentMode) return TRUE;
    if (!SaveOriginalMode()) return FailWith(errno);
    termios settings = SettingsFor(mode);
    if (tcsetattr(console->fd, TCSANOW, &settings) != 0) return FailWith(errno);
    g_modeInForce = true;
    g_currentMode = mode;
    return TRUE;
}

DWORD WaitForConsoleInput(HANDLE handle, DWORD milliseconds) {
    ConsoleHandle *console = AsConsole(handle);
    if (console == nullptr) {
        FailWith(EINVAL);
        return WAIT_FAILED;
    }
    if (g_keysStart < g_keysEnd) return WAIT_OBJECT_0;
    pollfd fds = {console->fd, POLLIN, 0};
    int timeout = milliseconds == INFINITE ? -1 : static_cast<int>(milliseconds);
    for (;;) {
        int ready = poll(&fds, 1, timeout);
        if (ready > 0) return WAIT_OBJECT_0;  // input, or an end the read will report
        if (ready == 0) return 258;           // WAIT_TIMEOUT
        if (errno != EINTR) {
            FailWith(errno);
            return WAIT_FAILED;
        }
    }
}

BOOL ReadConsoleInputA(HANDLE handle, PINPUT_RECORD records, DWORD length, LPDWORD read) {
    ConsoleHandle *console = AsConsole(handle);
    if (console == nullptr || records == nullptr || read == nullptr) return FailWith(EINVAL);
    *read = 0;
    // Input that is not a terminal has no keys. Keys already read ahead came
    // from a terminal, so only a read that has to go to the system asks.
    if (g_keysStart == g_keysEnd && !isatty(console->fd)) return FailWith(ENOTTY);
    while (g_keysStart == g_keysEnd) {
        // Blocks until at least one key, as the console read does.
        ssize_t got = ::read(console->fd, g_keys, sizeof g_keys);
        if (got > 0) {
            g_keysStart = 0;
            g_keysEnd = static_cast<std::size_t>(got);
        } else if (got == 0) {
            return FailWith(EIO);  // the terminal went away
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            pollfd fds = {console->fd, POLLIN, 0};
            if (poll(&fds, 1, -1) < 0 && errno != EINTR) return FailWith(errno);
        } else if (errno != EINTR) {
            return FailWith(errno);
        }
    }
    DWORD count = 0;
    while (count < length && g_keysStart < g_keysEnd) {
        INPUT_RECORD &record = records[count++];
        std::memset(&record, 0, sizeof record);
        record.EventType = KEY_EVENT;
        record.Event.KeyEvent.bKeyDown = TRUE;
        record.Event.KeyEvent.wRepeatCount = 1;
        record.Event.KeyEvent.uChar.AsciiChar = static_cast<CHAR>(g_keys[g_keysStart++]);
    }
    *read = count;
    return TRUE;
}
