// The one way a failed platform call is reported, the usage block, the screen
// clear and the key wait that ends the usage screen. Safe to call from either
// thread: they keep no state of their own.
#pragma once

#include <cstddef>

#include "platform/win32.h"

// The publisher's web address, shown on the usage path and in the usage block.
#define PUBLISHER_ADDRESS "https://www.quellmark.example"

// The program name the usage block shows, whatever the program was started as.
#define USAGE_PROGRAM_NAME "TorvaneTerminal.exe"

// Clears the screen, prints "message: (number) text" for the calling thread's
// last error, then the usage block.
void ReportError(const char *message);

// Writes the error line for a message, an error number and the system's text
// for it (NULL when the system has none) into line (size bytes); false when
// it had to be cut.
bool FormatErrorLine(char *line, std::size_t size, const char *message, DWORD error,
                     const char *systemText);

void PrintUsage();
void ClearScreen();

// Waits until a key event arrives on the console, then restores the console's
// input mode.
void WaitForAnyKey();
