// The stop: how the keyboard thread tells the receive loop that the session
// is over. The two threads share nothing else.
#pragma once

#include <atomic>

#include "platform/win32.h"

// Raised just before the port's event mask is cleared, and tested by the
// receive loop before each wait: a stop sent before the loop armed its mask
// would otherwise be undone by the arming and lost. The receive loop raises
// it too when it ends by itself, and the keyboard thread then ends without
// sending another key.
extern std::atomic<bool> g_stopRequested;

// Ends the session: raises the flag and clears the port's event mask, which
// completes the receive loop's pending wait with an empty mask. A mask that
// cannot be cleared is shown with the error number.
void SendStopSignal(HANDLE port);
