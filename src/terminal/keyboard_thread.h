// The second thread: a key with a character goes to the port as that byte, in
// the order typed; a key without one sends nothing; Ctrl+Q ends the session.
#pragma once

#include "platform/win32.h"

// The key that ends the session instead of being sent (Ctrl+Q).
constexpr char kStopKey = 0x11;

// Thread start routine; the parameter is the port handle.
DWORD WINAPI KeyboardThread(LPVOID port);
