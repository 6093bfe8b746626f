// The Win32 subset the program calls, provided on POSIX systems.
//
// Types and constants mirror the Windows SDK's (sizes and values included), so
// that the same program source builds against either. Only what the program
// uses is here; each function's POSIX meaning is documented where it is
// implemented (port.cpp, console.cpp, sync.cpp, system.cpp, net.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef char CHAR;
typedef uint16_t WCHAR;
typedef void *HANDLE;
typedef void *HLOCAL;
typedef void *HMODULE;
typedef void *HINTERNET;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef char *LPSTR;
typedef const char *LPCSTR;
typedef wchar_t *LPWSTR;
typedef wchar_t *LMSTR;
typedef BYTE *LPBYTE;
typedef DWORD *LPDWORD;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t DWORD_PTR;
typedef size_t SIZE_T;
typedef DWORD NET_API_STATUS;

#define WINAPI

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define INFINITE 0xFFFFFFFFu
#define MAXDWORD 0xFFFFFFFFu

// Errors. GetLastError() otherwise carries errno values; this one cannot
// collide with them.
#define ERROR_SUCCESS 0u
#define ERROR_IO_PENDING 997u
#define ERROR_OPERATION_ABORTED 995u
#define ERROR_TIMEOUT 1460u

// CreateFileA
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define OPEN_EXISTING 3u
#define FILE_FLAG_OVERLAPPED 0x40000000u

// Serial port
#define EV_RXCHAR 0x0001u
#define DTR_CONTROL_DISABLE 0u
#define DTR_CONTROL_ENABLE 1u
#define RTS_CONTROL_DISABLE 0u
#define RTS_CONTROL_ENABLE 1u
#define NOPARITY 0
#define ODDPARITY 1
#define EVENPARITY 2
#define ONESTOPBIT 0
#define TWOSTOPBITS 2

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
BOOL CloseHandle(HANDLE handle);

// Console input
#define STD_INPUT_HANDLE ((DWORD)-10)
#define ENABLE_PROCESSED_INPUT 0x0001u
#define ENABLE_LINE_INPUT 0x0002u
#define ENABLE_ECHO_INPUT 0x0004u
#define ENABLE_WINDOW_INPUT 0x0008u
#define ENABLE_MOUSE_INPUT 0x0010u

#define KEY_EVENT 0x0001
#define MOUSE_EVENT 0x0002
#define WINDOW_BUFFER_SIZE_EVENT 0x0004
#define MENU_EVENT 0x0008
#define FOCUS_EVENT 0x0010

#define WAIT_OBJECT_0 0u
#define WAIT_FAILED 0xFFFFFFFFu

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

// Only key events ever come from the layer; the other kinds exist so that the
// program's handling of them can be exercised.
typedef struct _INPUT_RECORD {
    WORD EventType;
    union {
        KEY_EVENT_RECORD KeyEvent;
        BYTE other[16];
    } Event;
} INPUT_RECORD, *PINPUT_RECORD;

HANDLE GetStdHandle(DWORD which);
BOOL GetConsoleMode(HANDLE console, LPDWORD mode);
BOOL SetConsoleMode(HANDLE console, DWORD mode);
BOOL ReadConsoleInputA(HANDLE console, PINPUT_RECORD records, DWORD length, LPDWORD read);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);

// Threads and events
typedef DWORD(WINAPI *LPTHREAD_START_ROUTINE)(LPVOID parameter);
HANDLE CreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stackSize,
                    LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                    LPDWORD threadId);
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState,
                    LPCSTR name);

// Errors and modules
#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100u
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000u
#define LANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
#define MAKELANGID(primary, sub) ((((WORD)(sub)) << 10) | (WORD)(primary))

DWORD GetLastError(void);
void SetLastError(DWORD error);
DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId,
                     LPSTR buffer, DWORD size, void *arguments);
HLOCAL LocalFree(HLOCAL memory);
DWORD GetModuleFileNameA(HMODULE module, LPSTR filename, DWORD size);

// Network management
#define NERR_Success 0u
#define MAX_PREFERRED_LENGTH ((DWORD)-1)

typedef struct _WKSTA_TRANSPORT_INFO_0 {
    DWORD wkti0_quality_of_service;
    DWORD wkti0_number_of_vcs;
    LMSTR wkti0_transport_name;
    LMSTR wkti0_transport_address;
    BOOL wkti0_wan_ish;
} WKSTA_TRANSPORT_INFO_0, *LPWKSTA_TRANSPORT_INFO_0;

NET_API_STATUS NetWkstaTransportEnum(LMSTR serverName, DWORD level, LPBYTE *buffer,
                                     DWORD preferredMaximumLength, LPDWORD entriesRead,
                                     LPDWORD totalEntries, LPDWORD resumeHandle);
NET_API_STATUS NetApiBufferFree(LPVOID buffer);

// Not a Win32 call: fopen for the program's own files ("w" or "r+b") that
// never blocks. A FIFO with no reader is refused (ENXIO) instead of waited
// on, and a file opened for reading must be a regular file, since a read from
// a FIFO or a device could wait for ever.
FILE *OpenFileStream(const char *path, const char *mode);

// Internet client
#define INTERNET_OPEN_TYPE_DIRECT 1u
#define INTERNET_FLAG_NO_CACHE_WRITE 0x04000000u
#define INTERNET_FLAG_NO_AUTH 0x00040000u
#define INTERNET_FLAG_NO_UI 0x00000200u
#define INTERNET_FLAG_PRAGMA_NOCACHE 0x00000100u
#define INTERNET_FLAG_FORMS_SUBMIT 0x00000040u

HINTERNET InternetOpenA(LPCSTR agent, DWORD accessType, LPCSTR proxy, LPCSTR proxyBypass,
                        DWORD flags);
HINTERNET InternetOpenUrlA(HINTERNET session, LPCSTR url, LPCSTR headers, DWORD headersLength,
                           DWORD flags, DWORD_PTR context);
