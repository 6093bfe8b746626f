// The second thread: every key pressed goes to the port as one byte; Ctrl+Q
// ends the session.
#pragma once

#include "platform/win32.h"

// The key that ends the session instead of being sent (Ctrl+Q).
constexpr char kStopKey = 0x11;

// Thread start routine; the parameter is the port handle.
DWORD WINAPI KeyboardThread(LPVOID port);
