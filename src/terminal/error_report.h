// The one way a failed platform call is reported, the usage block, the screen
// clear and the key wait that ends the usage screen. Safe to call from either
// thread: their one piece of state, what the device has shown, is atomic.
#pragma once

#include <atomic>

#include "platform/win32.h"

// The publisher's web address, shown on the usage path and in the usage block.
#define PUBLISHER_ADDRESS "https://www.quellmark.example"

// Prints "message: (number) text" for the calling thread's last error, then
// the usage block. Before anything from the device has been shown the screen
// is cleared first; afterwards it is kept, since the device's last words are
// what the user needs most, and the report starts on a line of its own below
// them.
void ReportError(const char *message);

// What the console shows of the device: nothing yet, or its output ending at
// the start of a line or in the middle of one. Written by the receive loop,
// read by reports on either thread.
enum class DeviceOutput { kNothingShown, kShownAtLineStart, kShownMidLine };
extern std::atomic<DeviceOutput> g_deviceOutput;

// Called by the receive loop with the last byte of what it has just put on
// the console: from then on nothing clears the screen, and a line of the
// program's own starts below the device's output.
void NoteDeviceOutputShown(char lastByte);

// Ends the device's unfinished line, if it left one, so that what the program
// prints next starts on a line of its own.
void StartOwnLine();

void PrintUsage();
void ClearScreen();

// Throws away the console input nobody has read. Called when the program
// ends, after a session or without one: keys typed for the device must not
// reach the shell that started the program, where a drive command could run
// as a command of the computer's own.
void DiscardTypedKeys();

// Waits until a key event arrives on the console, then restores the console's
// input mode.
void WaitForAnyKey();
