// The first thread's work for the whole session: everything the device sends
// goes to the console and, when asked for, to the capture file.
#pragma once

#include <atomic>

#include "platform/win32.h"

// Starts the keyboard thread, relays received bytes until the stop signal or a
// failed wait, and returns. The port must be open and configured.
void ReceiveLoop(HANDLE port);

// Raised by the keyboard thread just before it clears the port's event mask,
// and tested by the receive loop before each wait: a stop sent before the loop
// armed its mask would otherwise be undone by the arming and lost.
extern std::atomic<bool> g_stopRequested;
