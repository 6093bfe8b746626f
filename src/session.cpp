#include "session.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "terminal/error_report.h"

SessionSettings g_sessionSettings;
DWORD g_lineSpeed = kDefaultLineSpeed;
char g_modulePath[kTextFieldSize];
char g_executableDirectory[kTextFieldSize];
char g_checkPath[kTextFieldSize];
char g_machineCode[kTextFieldSize];

bool ParseLineSpeed(const char *text, DWORD *speed) {
    if (text == nullptr || *text == '\0') return false;
    DWORD value = 0;
    for (const char *p = text; *p; ++p) {
        if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
        value = value * 10 + static_cast<DWORD>(*p - '0');
        if (value > kMaxLineSpeed) return false;  // also keeps the sum from wrapping
    }
    if (value == 0) return false;
    *speed = value;
    return true;
}

bool PortDevicePath(const char *name, bool useDeviceNamespace, char *path, std::size_t size) {
    std::size_t length = std::strlen(name);
    bool comDigits = useDeviceNamespace && length > 3 && (name[0] == 'C' || name[0] == 'c') &&
                     (name[1] == 'O' || name[1] == 'o') && (name[2] == 'M' || name[2] == 'm');
    for (std::size_t i = 3; comDigits && i < length; ++i) {
        comDigits = std::isdigit(static_cast<unsigned char>(name[i])) != 0;
    }
    int written = std::snprintf(path, size, "%s%s", comDigits ? "\\\\.\\" : "", name);
    return written >= 0 && static_cast<std::size_t>(written) < size;
}

void DeriveExecutablePaths(const char *modulePath, char *directory, char *checkPath) {
    // Windows gives backslashes, POSIX slashes; the check path uses the same
    // separator the module path does.
    const char *last = nullptr;
    for (const char *p = modulePath; *p; ++p) {
        if (*p == '\\' || *p == '/') last = p;
    }
    if (last == nullptr) {
        directory[0] = '\0';
        std::snprintf(checkPath, kTextFieldSize, "check");
        return;
    }
    std::size_t length = static_cast<std::size_t>(last - modulePath);
    if (length >= kTextFieldSize) length = kTextFieldSize - 1;
    std::memcpy(directory, modulePath, length);
    directory[length] = '\0';
    int written = std::snprintf(checkPath, kTextFieldSize, "%s%ccheck", directory, *last);
    if (written < 0 || static_cast<std::size_t>(written) >= kTextFieldSize) {
        // A path that does not fit names no file; an empty one opens nothing.
        checkPath[0] = '\0';
    }
}

void ReadExecutablePaths() {
    constexpr DWORD kModulePathSize = kTextFieldSize - 1;
    DWORD length = GetModuleFileNameA(nullptr, g_modulePath, kModulePathSize);
    if (length == 0 || length >= kModulePathSize) {
        // Cut to fit (the call fills the whole buffer then), or not known:
        // a cut path would name an ancestor folder's check file, so none is
        // named, and the AppID stays empty as for a missing file.
        g_modulePath[0] = '\0';
        g_executableDirectory[0] = '\0';
        g_checkPath[0] = '\0';
        return;
    }
    DeriveExecutablePaths(g_modulePath, g_executableDirectory, g_checkPath);
}

HANDLE OpenPort(const char *name) {
    // A name too long for the field is passed as typed: no port has such a name.
    static char device[kTextFieldSize];  // static: start-up may have a small stack
    bool fits = PortDevicePath(name, kPortNamesUseDeviceNamespace, device, sizeof device);
    // Share mode 0: no other program may open the port while the session runs.
    HANDLE port = CreateFileA(fits ? device : name, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) return port;
    // CreateFileA opens a file, a pipe or NUL as readily as a port; only a
    // communications device answers GetCommState. Anything else is let go
    // before a key could be written into it, and reported with the check's
    // own error.
    DCB current;
    std::memset(&current, 0, sizeof current);
    current.DCBlength = sizeof current;
    if (!GetCommState(port, &current)) {
        DWORD error = GetLastError();
        CloseHandle(port);
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    return port;
}

COMMTIMEOUTS SessionTimeouts() {
    COMMTIMEOUTS timeouts;
    std::memset(&timeouts, 0, sizeof timeouts);
    // A 10-byte read returns when 10 bytes have come, when the line pauses for
    // more than 2 ms, or after 11 ms (1 ms per byte + 1), possibly with nothing:
    // the drain then ends and the loop waits for the next received-character
    // event. Writes never time out.
    timeouts.ReadIntervalTimeout = 2;
    timeouts.ReadTotalTimeoutMultiplier = 1;
    timeouts.ReadTotalTimeoutConstant = 1;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    return timeouts;
}

DCB SessionLineSettings(DWORD speed) {
    // Built from zero rather than from the port's current state, so nothing a
    // previous program left behind (flow control, error characters) survives.
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = speed;
    dcb.fBinary = 1;  // Windows supports nothing else; no end-of-file character
    dcb.fParity = 0;
    // DTR and RTS raised for the whole session: many devices only talk to a
    // peer that asserts them. No hardware or software flow control, so every
    // byte value, XON and XOFF included, is data.
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    // A framing or parity error must not stop all further reads and writes.
    dcb.fAbortOnError = 0;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    return dcb;
}

void ConfigurePort(HANDLE port) {
    COMMTIMEOUTS timeouts = SessionTimeouts();
    if (!SetCommTimeouts(port, &timeouts)) ReportError("E013_SetCommTimeouts failed");
    DCB dcb = SessionLineSettings(g_lineSpeed);
    if (!SetCommState(port, &dcb)) ReportError("E014_SetCommState failed");
}
