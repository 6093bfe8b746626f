// The console's input: its mode, key events and the wait for them.
//
// Standard input is the console. Input modes map onto termios. The mode the
// console had when the program started is saved before anything else touches
// it (the port may be the program's own terminal) and put back when the
// process ends, however it ends (process.cpp has the signals).
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <pthread.h>
#include <termios.h>
#include <unistd.h>

#include "platform/linux/handles.h"

namespace {

struct ConsoleHandle : HandleBase {
    int fd;
};
ConsoleHandle g_console{{HandleKind::Console}, STDIN_FILENO};

// The mode the console had before the program changed anything, and the
// settings the program last put in force, which a resumed session puts back.
// Written under the lock; the signal handlers only read them.
pthread_mutex_t g_modeLock = PTHREAD_MUTEX_INITIALIZER;
termios g_original;
termios g_inForce;
std::atomic<bool> g_originalSaved{false};
std::atomic<bool> g_inForceSaved{false};
DWORD g_originalMode = 0;

// Keys read together are handed out one event at a time; only one thread
// reads the console at a time (the key wait, later the keyboard thread).
unsigned char g_keys[4096];
std::size_t g_keysStart = 0;
std::size_t g_keysEnd = 0;

// How long the rest of a key's escape sequence may take to arrive; an Esc
// with nothing after it for this long is the Esc key itself.
constexpr int kEscapeWaitMs = 50;
constexpr unsigned char kEsc = 0x1B;
constexpr unsigned char kBel = 0x07;
// An X10 mouse report: "ESC [ M" and three bytes (button, column, row).
constexpr std::size_t kMouseReportLength = 6;

// False when the process is in the background, where changing the terminal
// would stop it (SIGTTOU) and the mode belongs to the shell.
bool InForeground() {
    pid_t foreground = tcgetpgrp(g_console.fd);
    return foreground == -1 || foreground == getpgrp();
}

DWORD ModeOf(const termios &settings) {
    return ((settings.c_lflag & ISIG) ? ENABLE_PROCESSED_INPUT : 0) |
           ((settings.c_lflag & ICANON) ? ENABLE_LINE_INPUT : 0) |
           ((settings.c_lflag & ECHO) ? ENABLE_ECHO_INPUT : 0);
}

// Saves the console's starting mode once and arranges its restoration.
// Called with the lock held, or before any other thread exists.
bool SaveOriginalMode() {
    if (g_originalSaved.load()) return true;
    if (tcgetattr(g_console.fd, &g_original) != 0) return false;
    g_originalMode = ModeOf(g_original);
    g_originalSaved.store(true);
    std::atexit(RestoreConsoleMode);
    return true;
}

// Puts settings in force unless the terminal already has them: asked for
// before every key, a change costs a system call only when something (an
// outside stty, a job-control stop) really changed the terminal. Keys already
// read ahead were read under the mode then in force: the terminal is asked
// again before the next read from it.
bool Apply(const termios &settings) {
    termios now;
    bool same = (g_keysStart < g_keysEnd && g_inForceSaved.load())
                    ? std::memcmp(&settings, &g_inForce, sizeof settings) == 0
                    : tcgetattr(g_console.fd, &now) == 0 && now.c_iflag == settings.c_iflag &&
                          now.c_oflag == settings.c_oflag && now.c_cflag == settings.c_cflag &&
                          now.c_lflag == settings.c_lflag &&
                          std::memcmp(now.c_cc, settings.c_cc, sizeof now.c_cc) == 0;
    if (!same && tcsetattr(g_console.fd, TCSANOW, &settings) != 0) return false;
    g_inForce = settings;
    g_inForceSaved.store(true);
    return true;
}

// The termios for a console input mode. Only the input side changes: output
// processing stays on, so a received line feed still starts a new line.
termios SettingsFor(DWORD mode) {
    // Restoring the starting mode gives back the starting settings exactly.
    // Raw input (mode 0) is always built in full: a starting mode that only
    // looks raw may still have XON/XOFF or CR-to-LF translation on, which
    // would swallow Ctrl+Q and turn Enter into 0x0A.
    if (mode == g_originalMode && mode != 0) return g_original;
    termios settings = g_original;
    settings.c_lflag &= ~(ICANON | ECHO | ECHOE | ECHOK | ECHONL);
    if (mode & ENABLE_LINE_INPUT) settings.c_lflag |= ICANON;
    if (mode & ENABLE_ECHO_INPUT) settings.c_lflag |= ECHO | ECHOE | ECHOK;
    if (mode & ENABLE_PROCESSED_INPUT) {
        settings.c_lflag |= ISIG;
    } else {
        // Control keys arrive as characters: no signals from Ctrl+C, no XON/
        // XOFF swallowing Ctrl+Q and Ctrl+S, and Enter stays 0x0D.
        settings.c_lflag &= ~(ISIG | IEXTEN);
        settings.c_iflag &= ~(IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP);
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

// Reads what the console has into the read-ahead, behind the keys still
// there. Waits at most timeoutMs (-1: as long as it takes). Returns the
// bytes added, 0 on time-out, -1 on failure (EIO: the terminal went away).
ssize_t ReadKeys(int timeoutMs) {
    std::memmove(g_keys, g_keys + g_keysStart, g_keysEnd - g_keysStart);
    g_keysEnd -= g_keysStart;
    g_keysStart = 0;
    if (g_keysEnd == sizeof g_keys) return 0;
    const long long deadline = timeoutMs < 0 ? -1 : DeadlineAfter(static_cast<DWORD>(timeoutMs));
    for (;;) {
        pollfd fds = {g_console.fd, POLLIN, 0};
        int ready = PollUntil(&fds, 1, deadline);
        if (ready == 0) return 0;
        std::size_t room = sizeof g_keys - g_keysEnd;
        ssize_t got = ready < 0 ? -1 : read(g_console.fd, g_keys + g_keysEnd, room);
        if (got > 0) {
            g_keysEnd += static_cast<std::size_t>(got);
            return got;
        }
        if (got == 0) errno = EIO;
        if (got == 0 || (errno != EINTR && errno != EAGAIN)) return -1;
    }
}

bool IsFinalByte(unsigned char byte) { return byte >= 0x40 && byte <= 0x7E; }

// The bytes that may stand between a sequence's introducer and its final
// byte: CSI takes parameter and intermediate bytes, SS3 parameter bytes only
// (the modifier digits of "ESC O 2 P", Shift+F1 in some terminals).
bool IsInnerByte(unsigned char introducer, unsigned char byte) {
    unsigned char lowest = introducer == '[' ? 0x20 : 0x30;
    return byte >= lowest && byte <= 0x3F;
}

// The length of a sequence whose last byte, at position at, must be a final
// byte: a byte that is not one (Ctrl+Q right after "ESC [ [", say) is a key of
// its own and ends the sequence just before it. 0 while it has not come.
std::size_t EndedByFinalByte(const unsigned char *keys, std::size_t available, std::size_t at) {
    if (available <= at) return 0;
    return IsFinalByte(keys[at]) ? at + 1 : at;
}

bool IsControlByte(unsigned char byte) { return byte < 0x20 || byte == 0x7F; }

// The strings a terminal sends on its own, never a key: OSC (ESC ]), DCS
// (ESC P), APC (ESC _) and PM (ESC ^), the answers to a device's queries.
bool IsStringIntroducer(unsigned char byte) {
    return byte == ']' || byte == 'P' || byte == '_' || byte == '^';
}

// A terminal's string runs to BEL or ST (ESC \). Any other control byte, or
// an Esc that does not begin ST, ends it just before itself: Ctrl+Q in it is
// still the stop key. 0 while it goes on.
std::size_t StringLength(const unsigned char *keys, std::size_t available) {
    for (std::size_t i = 2; i < available; ++i) {
        if (keys[i] == kBel) return i + 1;
        if (keys[i] == kEsc && i + 1 == available) return 0;  // ST may be coming
        if (keys[i] == kEsc) return keys[i + 1] == '\\' ? i + 2 : i;
        if (IsControlByte(keys[i])) return i;
    }
    return 0;
}

// A mouse report's three bytes are 0x20 and above: a control byte among
// them is a key of its own, typed as the report was cut short.
std::size_t MouseReportLength(const unsigned char *keys, std::size_t available) {
    for (std::size_t i = 3; i < available && i < kMouseReportLength; ++i) {
        if (IsControlByte(keys[i])) return i;
    }
    return available >= kMouseReportLength ? kMouseReportLength : 0;
}

bool IsMouseReport(const unsigned char *keys, std::size_t available) {
    return available > 2 && keys[1] == '[' && keys[2] == 'M';
}

// The length of the escape sequence a key sent (CSI "ESC [ ... final", SS3
// "ESC O ... final", the Linux console's "ESC [ [ x") or a terminal sent on
// its own (a string, a mouse report), 1 for a lone Esc followed by another
// key, or 0 while the sequence is still incomplete. A byte that cannot stand
// inside the sequence (a control byte: Ctrl+Q) ends a malformed one just
// before it and is a key of its own.
std::size_t EscapeLength(const unsigned char *keys, std::size_t available) {
    if (available < 2) return 0;
    if (IsStringIntroducer(keys[1])) return StringLength(keys, available);
    if (keys[1] != '[' && keys[1] != 'O') return 1;
    if (IsMouseReport(keys, available)) return MouseReportLength(keys, available);
    if (keys[1] == '[' && available > 2 && keys[2] == '[') {
        return EndedByFinalByte(keys, available, 3);
    }
    for (std::size_t i = 2; i < available; ++i) {
        if (IsFinalByte(keys[i])) return i + 1;
        if (!IsInnerByte(keys[1], keys[i])) return i;
    }
    return 0;
}

// Keeps an incomplete sequence or string from filling the read-ahead,
// however long it grows: the inner bytes it holds beyond the introducer and
// the last one are thrown away (they mean nothing to the device), so the
// rest of it can still be read and dropped with it, none of it left over as
// typed text. The last byte stays: it may be the Esc that begins ST. A mouse
// report is short and counted by position: it is left whole.
void ShortenIncompleteSequence() {
    constexpr std::size_t kKept = 3;  // Esc, the introducer, one inner byte
    if (g_keysEnd - g_keysStart <= kKept) return;
    if (IsMouseReport(g_keys + g_keysStart, g_keysEnd - g_keysStart)) return;
    g_keys[g_keysStart + kKept - 1] = g_keys[g_keysEnd - 1];
    g_keysEnd = g_keysStart + kKept;
}

// What an escape sequence that stopped coming is: "ESC O", "ESC [", "ESC ]",
// "ESC P" with nothing after them are Alt and a key (Alt+Shift+O, Alt+[,
// Alt+], Alt+Shift+P): Esc and then the key (1: only the Esc is taken now);
// anything longer was a key without a character or a terminal's string, cut
// short, and goes whole.
std::size_t LengthOfUnfinished() {
    std::size_t available = g_keysEnd - g_keysStart;
    return available == 2 ? 1 : available;
}

// The next key in the read-ahead as its character (0 for a key that has
// none), consuming its bytes; false when the read-ahead holds only the start
// of an escape sequence whose rest may still come.
bool TakeKey(CHAR *character, bool waitForRest) {
    if (g_keys[g_keysStart] != kEsc) {
        // The terminal's Backspace is DEL; the Windows console gives 0x08.
        unsigned char key = g_keys[g_keysStart++];
        *character = static_cast<CHAR>(key == 0x7F ? 0x08 : key);
        return true;
    }
    std::size_t length = EscapeLength(g_keys + g_keysStart, g_keysEnd - g_keysStart);
    while (length == 0 && waitForRest) {
        ShortenIncompleteSequence();
        if (ReadKeys(kEscapeWaitMs) <= 0) length = LengthOfUnfinished();
        else length = EscapeLength(g_keys + g_keysStart, g_keysEnd - g_keysStart);
    }
    if (length == 0) return false;
    *character = length == 1 ? static_cast<CHAR>(kEsc) : 0;
    g_keysStart += length;
    return true;
}

}  // namespace

// Only async-signal-safe calls in these two: the signal handlers use them.
void RestoreConsoleMode() {
    if (g_originalSaved.load() && InForeground()) tcsetattr(g_console.fd, TCSANOW, &g_original);
}
void ReapplyConsoleMode() {
    if (g_inForceSaved.load() && InForeground()) tcsetattr(g_console.fd, TCSANOW, &g_inForce);
}

namespace {

// Saves the starting mode, then keeps keys typed while start-up runs as
// typed for the device: not echoed or edited by the terminal, Enter not
// turned into a line feed, Ctrl+Q not taken as XON. Ctrl+C still interrupts
// a start-up that hangs.
void PrepareConsole() {
    pthread_mutex_lock(&g_modeLock);
    if (isatty(g_console.fd) && SaveOriginalMode()) {
        termios early = g_original;
        early.c_lflag &= ~(ICANON | ECHO | ECHOE | ECHOK | ECHONL);
        early.c_iflag &= ~(ICRNL | IXON);
        early.c_cc[VMIN] = 1;
        early.c_cc[VTIME] = 0;
        Apply(early);
    }
    pthread_mutex_unlock(&g_modeLock);
}

}  // namespace

// The console is prepared the first time the program asks for it, at the
// very start of every road that uses it. Answering --version or --help asks
// for no console, so those leave its settings untouched, and a job started
// in the background is not stopped by the kernel for changing them.
HANDLE GetStdHandle(DWORD which) {
    static std::atomic<bool> prepared{false};
    if (which != STD_INPUT_HANDLE) {
        FailWith(EINVAL);
        return INVALID_HANDLE_VALUE;
    }
    if (!prepared.exchange(true)) PrepareConsole();
    return &g_console;
}

BOOL GetConsoleMode(HANDLE handle, LPDWORD mode) {
    ConsoleHandle *console = AsConsole(handle);
    termios settings;
    if (console == nullptr || mode == nullptr) return FailWith(EINVAL);
    pthread_mutex_lock(&g_modeLock);
    bool read = SaveOriginalMode() && tcgetattr(console->fd, &settings) == 0;
    int error = errno;
    pthread_mutex_unlock(&g_modeLock);
    if (!read) return FailWith(error);
    *mode = ModeOf(settings);
    return TRUE;
}

BOOL SetConsoleMode(HANDLE handle, DWORD mode) {
    if (AsConsole(handle) == nullptr) return FailWith(EINVAL);
    pthread_mutex_lock(&g_modeLock);
    // Only the input bits mean anything here; window and mouse input have no
    // terminal counterpart.
    bool applied = SaveOriginalMode() &&
                   Apply(SettingsFor(mode & (ENABLE_PROCESSED_INPUT | ENABLE_LINE_INPUT |
                                             ENABLE_ECHO_INPUT)));
    int error = errno;
    pthread_mutex_unlock(&g_modeLock);
    return applied ? TRUE : FailWith(error);
}

// No console events on Linux (see the declaration): registering succeeds and
// the handler is never called.
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE, BOOL) { return TRUE; }

BOOL FlushConsoleInputBuffer(HANDLE handle) {
    ConsoleHandle *console = AsConsole(handle);
    if (console == nullptr) return FailWith(EINVAL);
    // Keys already read ahead go too: they were typed for the device.
    g_keysStart = 0;
    g_keysEnd = 0;
    if (!isatty(console->fd)) return TRUE;
    if (tcflush(console->fd, TCIFLUSH) != 0) return FailWith(errno);
    return TRUE;
}

void ClearConsoleScreen() {
    // Only a terminal that understands the sequence gets it: a log file or a
    // pipe would keep it as garbage, and a "dumb" terminal would print it.
    const char *type = std::getenv("TERM");
    if (!isatty(STDOUT_FILENO) || type == nullptr || type[0] == '\0' ||
        std::strcmp(type, "dumb") == 0) {
        return;
    }
    // Cursor home, then erase the display; the scrollback (ESC [3J) is the
    // user's and stays.
    std::fputs("\033[H\033[2J", stdout);
    std::fflush(stdout);
}

bool ConsoleKeysReady(HANDLE handle, int *pollFd) {
    ConsoleHandle *console = AsConsole(handle);
    *pollFd = console != nullptr ? console->fd : -1;
    return console != nullptr && g_keysStart < g_keysEnd;
}

DWORD WaitForConsoleInput(HANDLE handle, DWORD milliseconds) {
    ConsoleHandle *console = AsConsole(handle);
    if (console == nullptr) {
        FailWith(EINVAL);
        return WAIT_FAILED;
    }
    if (g_keysStart < g_keysEnd) return WAIT_OBJECT_0;
    pollfd fds = {console->fd, POLLIN, 0};
    int ready = PollUntil(&fds, 1, DeadlineAfter(milliseconds));
    if (ready > 0) return WAIT_OBJECT_0;  // input, or an end the read will report
    if (ready == 0) return WAIT_TIMEOUT;
    FailWith(errno);
    return WAIT_FAILED;
}

BOOL ReadConsoleInputA(HANDLE handle, PINPUT_RECORD records, DWORD length, LPDWORD read) {
    ConsoleHandle *console = AsConsole(handle);
    if (console == nullptr || records == nullptr || read == nullptr) return FailWith(EINVAL);
    *read = 0;
    // Input that is not a terminal has no keys. Keys already read ahead came
    // from a terminal, so only a read that has to go to the system asks.
    if (g_keysStart == g_keysEnd && !isatty(console->fd)) return FailWith(ENOTTY);
    // Blocks until at least one key, as the console read does.
    while (g_keysStart == g_keysEnd) {
        if (ReadKeys(-1) < 0) return FailWith(errno);
    }
    // Only the first key may wait for the rest of its sequence: keys already
    // in hand are not held back for the next one.
    CHAR character = 0;
    DWORD count = 0;
    while (count < length && g_keysStart < g_keysEnd && TakeKey(&character, count == 0)) {
        INPUT_RECORD &record = records[count++];
        std::memset(&record, 0, sizeof record);
        record.EventType = KEY_EVENT;
        record.Event.KeyEvent.bKeyDown = TRUE;
        record.Event.KeyEvent.wRepeatCount = 1;
        record.Event.KeyEvent.uChar.AsciiChar = character;
    }
    *read = count;
    return TRUE;
}
