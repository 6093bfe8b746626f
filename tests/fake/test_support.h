// What the tests against the fake platform share: a fixture that resets the
// process-wide state, standard output captured at the descriptor (so the
// output of the screen-clear commands lands in it too, in order), and a
// runner that gives up on code that does not return.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "fake_platform.h"

// What the fake clear command prints, so that a clear shows in the output.
constexpr char kClearMarker[] = "[clear]";
// What the fake CLS command prints when it is made to succeed.
constexpr char kClsMarker[] = "[CLS]";

// The usage block, word for word.
std::string UsageBlock();

// Makes CLS succeed (printing kClsMarker) or fail as it does on POSIX.
void SetClsWorks(bool works);

// Standard output, descriptor 1, goes to a temporary file until EndCapture.
void BeginCapture();
std::string EndCapture();
bool Capturing();

// Runs work on its own thread; false if it had not returned within the
// deadline (the fake is then aborted so that the thread can be joined).
bool RunWithDeadline(const std::function<void()> &work);

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
    // Everything printed since the test began; ends the capture.
    std::string Output();
};

// What ReportError shows: the screen cleared, the error line, the usage block.
std::string Report(const char *message, long number, const char *text);

int Count(const std::string &haystack, const std::string &needle);
