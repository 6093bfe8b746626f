// What the tests against the fake platform share: a fixture that resets the
// process-wide state, standard output captured at the descriptor (so the
// fake screen clear lands in it too, in order), and a
// runner that gives up on code that does not return.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "fake_platform.h"

// The usage block, word for word.
std::string UsageBlock();

// Standard output, descriptor 1, goes to a temporary file until EndCapture.
void BeginCapture();
std::string EndCapture();
bool Capturing();

// Runs work on its own thread; false if it had not returned within the
// deadline (the fake is then aborted so that the thread can be joined).
bool RunWithDeadline(const std::function<void()> &work);

// For fake::Await: a port wait has blocked until the mask changes, so the
// program waits for the device or for the stop.
bool PortWaitBlocked(const fake::State &state);

// A fresh path in a fresh temporary directory; the file does not exist.
std::string TempPath(const char *name);
std::string ReadWholeFile(const std::string &path);
bool FileExists(const std::string &path);

// Resets the fake and the program's process-wide state before each test and
// captures standard output; afterwards checks that no thread was left
// running, no fake call ran into its deadline and the program misused none.
class FakeTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Between the cases of one test: the fake as new, and no session ending
    // (every session's end raises the stop flag).
    static void NextCase();
    // Everything printed since the test began; ends the capture.
    std::string Output();
};

// What ReportError shows: the screen cleared, the error line, the usage block.
std::string Report(const char *message, long number, const char *text);
// The same once the device has shown a line it did not end: no clear, and
// the report on a line of its own.
std::string ReportBelowDeviceOutput(const char *message, long number, const char *text);

int Count(const std::string &haystack, const std::string &needle);
