// The Win32 subset the program calls, provided on Linux. Types and
// constants mirror the Windows SDK's (sizes and values included), so that the
// same program source builds against either; each function's Linux meaning is
// documented where it is implemented.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

typedef int BOOL;
typedef uint8_t BYTE, *LPBYTE;
typedef uint16_t WORD, WCHAR;
typedef uint32_t DWORD, *LPDWORD, NET_API_STATUS;
typedef unsigned int UINT;
typedef char CHAR, *LPSTR;
typedef const char *LPCSTR;
typedef void *HANDLE, *HLOCAL, *HMODULE, *HINTERNET, *LPVOID;
typedef const void *LPCVOID;
typedef wchar_t *LMSTR;
typedef uintptr_t ULONG_PTR, DWORD_PTR;
typedef size_t SIZE_T;

#define WINAPI

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
constexpr DWORD INFINITE = 0xFFFFFFFFu;
constexpr DWORD MAXDWORD = 0xFFFFFFFFu;
// GetLastError() otherwise carries errno values; this one cannot collide.
constexpr DWORD ERROR_IO_PENDING = 997u;

constexpr DWORD ERROR_OPERATION_ABORTED = 995u;
constexpr DWORD ERROR_TIMEOUT = 1460u;

// CreateFileA and the serial port
constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;
constexpr DWORD OPEN_EXISTING = 3u;
constexpr DWORD FILE_FLAG_OVERLAPPED = 0x40000000u;
constexpr DWORD EV_RXCHAR = 0x0001u;
constexpr DWORD DTR_CONTROL_DISABLE = 0u;
constexpr DWORD DTR_CONTROL_ENABLE = 1u;
constexpr DWORD RTS_CONTROL_DISABLE = 0u;
constexpr DWORD RTS_CONTROL_ENABLE = 1u;
constexpr int NOPARITY = 0;
constexpr int ONESTOPBIT = 0;

typedef struct _SECURITY_ATTRIBUTES SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
} COMMTIMEOUTS, *LPCOMMTIMEOUTS;

// Same layout as the SDK's: 28 bytes, the flag bits in one 32-bit word.
typedef struct _DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
} DCB, *LPDCB;

typedef struct _OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    union {
        struct {
            DWORD Offset;
            DWORD OffsetHigh;
        };
        LPVOID Pointer;
    };
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE templ);
BOOL SetCommTimeouts(HANDLE port, LPCOMMTIMEOUTS timeouts);
BOOL SetCommState(HANDLE port, LPDCB dcb);
BOOL GetCommState(HANDLE port, LPDCB dcb);
BOOL SetCommMask(HANDLE port, DWORD mask);
BOOL WaitCommEvent(HANDLE port, LPDWORD mask, LPOVERLAPPED overlapped);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written,
               LPOVERLAPPED overlapped);
BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD transferred, BOOL wait);
BOOL CancelIo(HANDLE file);
BOOL CloseHandle(HANDLE handle);

// Same size as the SDK's; its flag bits are never read, so one word holds them.
typedef struct _COMSTAT {
    DWORD flags;
    DWORD cbInQue;
    DWORD cbOutQue;
} COMSTAT, *LPCOMSTAT;
BOOL ClearCommError(HANDLE port, LPDWORD errors, LPCOMSTAT status);

// Console input
constexpr DWORD STD_INPUT_HANDLE = static_cast<DWORD>(-10);
constexpr DWORD ENABLE_PROCESSED_INPUT = 0x0001u;
constexpr DWORD ENABLE_LINE_INPUT = 0x0002u;
constexpr DWORD ENABLE_ECHO_INPUT = 0x0004u;
constexpr DWORD ENABLE_WINDOW_INPUT = 0x0008u;
constexpr DWORD ENABLE_MOUSE_INPUT = 0x0010u;
constexpr DWORD WAIT_OBJECT_0 = 0u;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;
constexpr DWORD WAIT_TIMEOUT = 258u;
constexpr int KEY_EVENT = 0x0001;
constexpr int MOUSE_EVENT = 0x0002;
constexpr int WINDOW_BUFFER_SIZE_EVENT = 0x0004;
constexpr int MENU_EVENT = 0x0008;
constexpr int FOCUS_EVENT = 0x0010;
typedef struct _KEY_EVENT_RECORD {
    BOOL bKeyDown;
    WORD wRepeatCount;
    WORD wVirtualKeyCode;
    WORD wVirtualScanCode;
    union {
        WCHAR UnicodeChar;
        CHAR AsciiChar;
    } uChar;
    DWORD dwControlKeyState;
} KEY_EVENT_RECORD;

// Only key events come from the layer; the other kinds exist for the tests.
typedef struct _INPUT_RECORD {
    WORD EventType;
    union {
        KEY_EVENT_RECORD KeyEvent;
        BYTE other[16];
    } Event;
} INPUT_RECORD, *PINPUT_RECORD;

HANDLE GetStdHandle(DWORD which);
BOOL FlushConsoleInputBuffer(HANDLE console);
BOOL GetConsoleMode(HANDLE console, LPDWORD mode);
BOOL SetConsoleMode(HANDLE console, DWORD mode);
BOOL ReadConsoleInputA(HANDLE console, PINPUT_RECORD records, DWORD length, LPDWORD read);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL waitAll,
                             DWORD milliseconds);

// Console control events. Linux raises none: a terminal's hang-up and the
// other signals are handled where the process is prepared (process.cpp: the
// console restored, then the signal ends the process). A handler registers,
// and nothing ever calls it.
constexpr DWORD CTRL_C_EVENT = 0u;
constexpr DWORD CTRL_BREAK_EVENT = 1u;
constexpr DWORD CTRL_CLOSE_EVENT = 2u;
constexpr DWORD CTRL_LOGOFF_EVENT = 5u;
constexpr DWORD CTRL_SHUTDOWN_EVENT = 6u;
typedef BOOL(WINAPI *PHANDLER_ROUTINE)(DWORD event);
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add);

// Threads and events; WaitForSingleObject also waits for a thread's end.
typedef DWORD(WINAPI *LPTHREAD_START_ROUTINE)(LPVOID parameter);
HANDLE CreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD flags, LPDWORD threadId);
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState,
                    LPCSTR name);
BOOL SetEvent(HANDLE event);

// Errors and modules
constexpr DWORD FORMAT_MESSAGE_ALLOCATE_BUFFER = 0x00000100u;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x1000u;
constexpr int LANG_NEUTRAL = 0x00;
constexpr int SUBLANG_DEFAULT = 0x01;
#define MAKELANGID(primary, sub) ((((WORD)(sub)) << 10) | (WORD)(primary))
DWORD GetLastError(void);
void SetLastError(DWORD error);
DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId,
                     LPSTR buffer, DWORD size, void *arguments);
HLOCAL LocalFree(HLOCAL memory);
DWORD GetModuleFileNameA(HMODULE module, LPSTR filename, DWORD size);
void ExitProcess(UINT exitCode);

// Network management
constexpr DWORD NERR_Success = 0u;
constexpr DWORD MAX_PREFERRED_LENGTH = static_cast<DWORD>(-1);
typedef struct _WKSTA_TRANSPORT_INFO_0 {
    DWORD wkti0_quality_of_service;
    DWORD wkti0_number_of_vcs;
    LMSTR wkti0_transport_name;
    LMSTR wkti0_transport_address;
    BOOL wkti0_wan_ish;
} WKSTA_TRANSPORT_INFO_0, *LPWKSTA_TRANSPORT_INFO_0;

NET_API_STATUS NetWkstaTransportEnum(LMSTR serverName, DWORD level, LPBYTE *buffer, DWORD maximum,
                                     LPDWORD entriesRead, LPDWORD total, LPDWORD resumeHandle);
NET_API_STATUS NetApiBufferFree(LPVOID buffer);

// Not a Win32 call: fopen for the program's own files ("w" or "r+b") that
// never blocks. A FIFO with no reader is refused (ENXIO) instead of waited
// on, and a file opened for reading must be a regular file, since a read from
// a FIFO or a device could wait for ever.
// A regular file opened for writing is locked (flock) before it is emptied:
// one that another session holds is refused with EBUSY, untouched.
FILE *OpenFileStream(const char *path, const char *mode);

// Not a Win32 call: clears the visible screen when standard output is a
// terminal that can do it (cursor home, erase display), and does nothing
// otherwise. No shell runs, and the terminal's scrollback is kept.
void ClearConsoleScreen();

// Internet client
constexpr DWORD INTERNET_OPEN_TYPE_DIRECT = 1u;
constexpr DWORD INTERNET_FLAG_NO_CACHE_WRITE = 0x04000000u;
constexpr DWORD INTERNET_FLAG_NO_AUTH = 0x00040000u;
constexpr DWORD INTERNET_FLAG_NO_UI = 0x00000200u;
constexpr DWORD INTERNET_FLAG_PRAGMA_NOCACHE = 0x00000100u;
constexpr DWORD INTERNET_FLAG_FORMS_SUBMIT = 0x40u;
HINTERNET InternetOpenA(LPCSTR agent, DWORD accessType, LPCSTR proxy, LPCSTR proxyBypass,
                        DWORD flags);
HINTERNET InternetOpenUrlA(HINTERNET session, LPCSTR url, LPCSTR headers, DWORD headersLength,
                           DWORD flags, DWORD_PTR context);
