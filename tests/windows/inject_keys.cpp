// Puts key presses into the console of a running program, as a user's keys
// reach it: one key-down and one key-up record per byte. The smoke tests need
// it for Ctrl+C, because the first 0x03 typed on the pseudo-terminal behind
// Wine's console stops Wine's console reader, so no later key would arrive,
// and for a held key: HEXxN gives its key-down record the repeat count N.
//
//   inject_keys.exe PROGRAM.exe HEX[xN]...   e.g. inject_keys.exe TorvaneTerminal.exe 03 61x3 11
//
// The program is found by its file name; exactly one must be running.
// Exit status: 0 when every record was written, 1 otherwise (reason on stderr).
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

int Fail(const char *what) {
    std::fprintf(stderr, "inject_keys: %s (error %lu)\n", what,
                 static_cast<unsigned long>(GetLastError()));
    return 1;
}

// The process id of the one running process with this file name; 0 when there
// is none or more than one.
DWORD FindProcess(const char *name) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof entry;
    DWORD found = 0;
    int matches = 0;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        if (lstrcmpiA(entry.szExeFile, name) == 0) {
            found = entry.th32ProcessID;
            ++matches;
        }
    }
    CloseHandle(snapshot);
    return matches == 1 ? found : 0;
}

void AddKey(std::vector<INPUT_RECORD> *records, unsigned char byte, WORD repeat) {
    INPUT_RECORD record;
    std::memset(&record, 0, sizeof record);
    record.EventType = KEY_EVENT;
    KEY_EVENT_RECORD &key = record.Event.KeyEvent;
    key.wRepeatCount = repeat;
    key.uChar.AsciiChar = static_cast<CHAR>(byte);
    if (byte == '\r') {
        key.wVirtualKeyCode = VK_RETURN;
    } else if (byte >= 1 && byte <= 26) {
        // Ctrl and a letter, as the keyboard gives them.
        key.wVirtualKeyCode = static_cast<WORD>('A' + byte - 1);
        key.dwControlKeyState = LEFT_CTRL_PRESSED;
    } else {
        key.wVirtualKeyCode = static_cast<WORD>(VkKeyScanA(static_cast<CHAR>(byte)) & 0xFF);
    }
    key.wVirtualScanCode = static_cast<WORD>(MapVirtualKeyA(key.wVirtualKeyCode, 0));
    key.bKeyDown = TRUE;
    records->push_back(record);
    key.bKeyDown = FALSE;
    key.wRepeatCount = 1;
    records->push_back(record);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: inject_keys.exe PROGRAM.exe HEX[xN]...\n");
        return 1;
    }
    std::vector<INPUT_RECORD> records;
    for (int i = 2; i < argc; ++i) {
        char *end = nullptr;
        unsigned long byte = std::strtoul(argv[i], &end, 16);
        unsigned long repeat = 1;
        if (*end == 'x') repeat = std::strtoul(end + 1, &end, 10);
        if (*argv[i] == '\0' || *end != '\0' || byte > 0xFF || repeat == 0 || repeat > 0xFFFF) {
            std::fprintf(stderr, "inject_keys: not a byte in hex (with xN): %s\n", argv[i]);
            return 1;
        }
        AddKey(&records, static_cast<unsigned char>(byte), static_cast<WORD>(repeat));
    }
    DWORD process = FindProcess(argv[1]);
    if (process == 0) return Fail("not exactly one such process is running");
    FreeConsole();
    if (!AttachConsole(process)) return Fail("AttachConsole failed");
    HANDLE input = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                               nullptr);
    if (input == INVALID_HANDLE_VALUE) return Fail("cannot open the console's input");
    DWORD written = 0;
    if (!WriteConsoleInputA(input, records.data(), static_cast<DWORD>(records.size()),
                            &written) ||
        written != records.size()) {
        return Fail("WriteConsoleInputA failed");
    }
    CloseHandle(input);
    return 0;
}
