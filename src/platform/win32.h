// The one include through which the program reaches the platform: the Win32
// API, on Windows the real thing, on Linux the small layer in platform/linux
// (only the subset the program calls, with the same names and meanings).
#pragma once

// Windows reaches COM10 and above only through the device namespace (\\.\COMn).
#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <lm.h>
#include <wininet.h>
#include <share.h>
#include <cstdio>
#include <cstdlib>
// Windows has no FIFO that a plain open could wait on. A file opened for
// writing (the capture) is shared for reading only: a second session naming
// it is refused by the system before anything is emptied.
inline FILE *OpenFileStream(const char *path, const char *mode) {
    if (mode[0] == 'w') return _fsopen(path, mode, _SH_DENYWR);
    return std::fopen(path, mode);
}
// The command interpreter clears the console window; "clear" serves where
// CLS is not a command.
inline void ClearConsoleScreen() {
    if (std::system("CLS") != 0) std::system("clear");
}
constexpr bool kPortNamesUseDeviceNamespace = true;
// How the usage block names the program and the port in its example.
constexpr char kProgramFileName[] = "TorvaneTerminal.exe";
constexpr char kExamplePortName[] = "COM3";
// The system's own way to ask a program for help, beside --help and -h.
constexpr char kSystemHelpOption[] = "/?";
#else
#include "linux/win32_linux.h"
constexpr bool kPortNamesUseDeviceNamespace = false;
constexpr char kProgramFileName[] = "TorvaneTerminal";
constexpr char kExamplePortName[] = "/dev/ttyUSB0";
constexpr char kSystemHelpOption[] = "--help";
#endif

#include <string>
#include <vector>

// Not a Win32 call: a serial port the system knows. name is what the user
// types to open it; adapter is the name the system gives the device behind
// it (Linux: its /dev/serial/by-id entry), empty where it gives none.
struct SerialPort {
    std::string name;
    std::string adapter;
};

// Not a Win32 call: the serial ports the system knows, in no set order,
// taken from what the system already records: no device is opened. What
// cannot be read is left out; an empty list is no failure.
std::vector<SerialPort> ListSerialPorts();
