// The one include through which the program reaches the platform: the Win32
// API, on Windows the real thing, elsewhere the small layer in platform/posix
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
#include <cstdio>
// Windows has no FIFO that a plain open could wait on.
inline FILE *OpenFileStream(const char *path, const char *mode) { return std::fopen(path, mode); }
constexpr bool kPortNamesUseDeviceNamespace = true;
#else
#include "posix/win32_posix.h"
constexpr bool kPortNamesUseDeviceNamespace = false;
#endif
