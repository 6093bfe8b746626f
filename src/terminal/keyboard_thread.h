// The second thread: the character of every key pressed goes to the port as
// one byte (keys without one send nothing), in the order typed, waiting for
// a slow device; Ctrl+Q ends the session.
#pragma once

#include "platform/win32.h"

// The key that ends the session instead of being sent (Ctrl+Q).
constexpr char kStopKey = 0x11;

// Thread start routine; the parameter is the port handle.
DWORD WINAPI KeyboardThread(LPVOID port);
