// The session driver: command line, start-up order, opening and configuring
// the port, and the settings the receive loop reads.
#pragma once

#include <cstddef>

#include "platform/win32.h"
#include "terminal/session_settings.h"

// The line speed used unless the command line gives a valid one.
constexpr DWORD kDefaultLineSpeed = 38400;
constexpr DWORD kMaxLineSpeed = 4000000;

// Set by main before the receive loop starts; only read afterwards.
extern SessionSettings g_sessionSettings;

// The speed ConfigurePort gives the port.
extern DWORD g_lineSpeed;

extern char g_modulePath[kTextFieldSize];
extern char g_executableDirectory[kTextFieldSize];
extern char g_checkPath[kTextFieldSize];
extern char g_machineCode[kTextFieldSize];

// The port named on the command line, opened for exclusive overlapped use;
// INVALID_HANDLE_VALUE when it cannot be opened or is no communications
// device (the last error says why).
HANDLE OpenPort(const char *name);

// Gives the port the session's time-outs and line settings. A refusal is
// reported (E013, E014) and the session goes on with what the port has.
void ConfigurePort(HANDLE port);

// The time-outs and line settings ConfigurePort applies, built from zero.
COMMTIMEOUTS SessionTimeouts();
DCB SessionLineSettings(DWORD speed);

// True when text is a whole decimal number from 1 to kMaxLineSpeed and
// nothing else; the number then goes to speed.
bool ParseLineSpeed(const char *text, DWORD *speed);

// The name CreateFileA is given for a port. "COM" and digits become
// "\\.\COMn" where the platform names ports that way (the bare name fails
// for COM10 and above); every other name is passed exactly as typed. The
// result goes to path (size bytes); false when it does not fit.
bool PortDevicePath(const char *name, bool useDeviceNamespace, char *path, std::size_t size);

// Splits the module path at its last path separator into the executable's
// directory and the path of the "check" file beside it. Both outputs are
// kTextFieldSize fields.
void DeriveExecutablePaths(const char *modulePath, char *directory, char *checkPath);

// Fills the module path, the executable's directory and the check path from
// the program's own path. A path that does not fit its field, or cannot be
// had, leaves all three empty: an empty check path opens no file.
void ReadExecutablePaths();
