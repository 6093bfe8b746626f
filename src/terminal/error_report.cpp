#include "terminal/error_report.h"

#include <cstdio>
#include <cstring>

#include "version.h"

namespace {

// The number is shown signed, as the platform's error numbers are read.
constexpr char kErrorLine[] = "%s: (%d) %s\n\n";
constexpr char kNoText[] = "unknown error";

// How DiscardTypedKeys waits for keys a console has yet to take in: rounds
// go on while keys keep coming (a paste the terminal is still delivering),
// for about a second at the most.
constexpr int kDiscardRounds = 50;
constexpr DWORD kDiscardWaitMs = 20;

// Windows ends its error texts with CR LF; the error line ends them itself.
void TrimLineEnd(char *text) {
    std::size_t length = std::strlen(text);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n')) {
        length--;
    }
    text[length] = '\0';
}

}  // namespace

std::atomic<DeviceOutput> g_deviceOutput{DeviceOutput::kNothingShown};

void NoteDeviceOutputShown(char lastByte) {
    g_deviceOutput.store(lastByte == '\n' ? DeviceOutput::kShownAtLineStart
                                           : DeviceOutput::kShownMidLine);
}

void StartOwnLine() {
    if (g_deviceOutput.load() == DeviceOutput::kShownMidLine) {
        std::printf("\n");
        g_deviceOutput.store(DeviceOutput::kShownAtLineStart);
    }
}

void ReportError(const char *message) {
    // Read first: any call below may change it.
    DWORD error = GetLastError();
    LPSTR text = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM,
                                  nullptr, error, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                  reinterpret_cast<LPSTR>(&text), 0, nullptr);
    if (length == 0) text = nullptr;
    if (text) TrimLineEnd(text);
    // Clearing after the line would wipe the report the moment it is shown,
    // so the clear comes first, and only while the device has shown nothing.
    if (g_deviceOutput.load() == DeviceOutput::kNothingShown) {
        ClearScreen();
    } else {
        StartOwnLine();
    }
    // Printed as it is formed: no buffer to cut it, none on a small stack.
    std::printf(kErrorLine, message, static_cast<int>(error), text ? text : kNoText);
    PrintUsage();
    std::fflush(stdout);
    if (text) LocalFree(text);
}

void PrintUsage() {
    std::printf("TorvaneTerminal %s - serial terminal for diagnostic ports\n", TORVANE_VERSION);
    std::printf("%s\n", PUBLISHER_ADDRESS);
    std::printf("Usage:\n");
    std::printf("%s [port] [speed]\n", kProgramFileName);
    std::printf("Example for Torvane F3: %s %s 38400\n", kProgramFileName, kExamplePortName);
}

void ClearScreen() {
    // What was printed must reach the screen before it is cleared.
    std::fflush(stdout);
    ClearConsoleScreen();
}

void DiscardTypedKeys() {
    HANDLE console = GetStdHandle(STD_INPUT_HANDLE);
    // Some consoles (Wine's on a terminal) take in what was typed only once
    // a program waits on them: the short wait brings the keys in, and the
    // flush throws them away. A few rounds catch keys still arriving; a wait
    // that times out means nothing is left. Nothing is reported if it fails:
    // there may be no console at all.
    for (int round = 0; round < kDiscardRounds; ++round) {
        DWORD ready = WaitForSingleObject(console, kDiscardWaitMs);
        if (!FlushConsoleInputBuffer(console)) return;
        if (ready != WAIT_OBJECT_0) return;
    }
}

void WaitForAnyKey() {
    std::fflush(stdout);
    HANDLE console = GetStdHandle(STD_INPUT_HANDLE);
    if (console == INVALID_HANDLE_VALUE) {
        std::printf("Problem:GetStdHandle");
        std::fflush(stdout);
    }
    DWORD savedMode = 0;
    BOOL haveMode = GetConsoleMode(console, &savedMode);
    if (!haveMode) {
        std::printf("Problem:GetConsoleMode");
        std::fflush(stdout);
    }
    if (!SetConsoleMode(console, ENABLE_WINDOW_INPUT | ENABLE_MOUSE_INPUT)) {
        std::printf("Problem:SetConsoleMode");
        std::fflush(stdout);
    }
    static INPUT_RECORD records[128];  // static: start-up may have a small stack
    for (;;) {
        DWORD count = 0;
        if (!ReadConsoleInputA(console, records, 128, &count)) {
            std::printf("\nProblem:ReadConsoleInput\n");
            std::fflush(stdout);
            // Input that cannot be read now will not become readable: waiting
            // on would only repeat this failure for ever.
            break;
        }
        bool keySeen = false;
        for (DWORD i = 0; i < count; ++i) {
            // A key going down or up both count.
            if (records[i].EventType == KEY_EVENT) keySeen = true;
        }
        if (keySeen) break;
    }
    // Restoring a mode that was never read would set a meaningless one.
    if (haveMode) SetConsoleMode(console, savedMode);
}
