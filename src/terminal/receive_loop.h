// The first thread's work for the whole session: everything the device sends
// goes to the console and, when asked for, to the capture file.
#pragma once

#include "platform/win32.h"
#include "terminal/session_settings.h"

// Starts the keyboard thread, relays received bytes until the stop signal or a
// failed wait, and returns. The port must be open and configured; settings
// say whether and where to capture. True when no keyboard thread reads the
// console any more (it ended, or never started), so that the caller may
// discard what was typed; false when it did not end in time.
bool ReceiveLoop(HANDLE port, const SessionSettings *settings);
