// Console control events: Ctrl+Break, the window's close button, log-off and
// shut-down. Windows raises them even with processed input off and by default
// ends the process on the spot (exit status 0xC000013A), the capture cut
// wherever the C library last flushed it. Here they end a session as Ctrl+Q
// does, and the program with status 0 on every road.
#pragma once

#include "platform/win32.h"
#include "terminal/session_settings.h"

// Registers the handler; main calls it before anything else can take long.
void WatchConsoleEvents();

// Runs the session on the open, configured port (the receive loop and its
// keyboard thread); meanwhile a console event ends it through the stop
// signal. Closes the port once no event can reach it any more.
void RunSession(HANDLE port, const SessionSettings *settings);

// The handler, which Windows calls on a thread of its own.
BOOL WINAPI OnConsoleEvent(DWORD event);
