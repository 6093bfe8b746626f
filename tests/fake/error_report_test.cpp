// ReportError, ClearScreen and the usage screen's key wait against the fake.
#include <algorithm>
#include <vector>

#include "terminal/error_report.h"
#include "test_support.h"

namespace {

using ErrorReportTest = FakeTest;

TEST_F(ErrorReportTest, ClearsTheScreenThenPrintsTheErrorLineThenTheUsageBlock) {
    fake::Edit([](fake::State &s) { s.messages[2] = "No such file or directory"; });
    SetLastError(2);
    ReportError("E012_Failed to open port");
    // The clear comes first: clearing after the line would wipe it at once.
    EXPECT_EQ(Output(), Report("E012_Failed to open port", 2, "No such file or directory"));
}

TEST_F(ErrorReportTest, ReadsTheLastErrorBeforeAnyOtherCallAndFreesTheText) {
    // The fake's FormatMessageA leaves a last error of its own, so a number
    // read after it would be wrong.
    fake::Edit([](fake::State &s) { s.messages[87] = "Invalid argument"; });
    SetLastError(87);
    ReportError("E014_SetCommState failed");
    EXPECT_EQ(Output(), Report("E014_SetCommState failed", 87, "Invalid argument"));

    fake::State after = fake::Snapshot();
    ASSERT_FALSE(after.calls.empty());
    EXPECT_EQ(after.calls.front(), "GetLastError");
    // The port was found: a report lists no others.
    EXPECT_EQ(std::count(after.calls.begin(), after.calls.end(), "ListSerialPorts"), 0);
    ASSERT_EQ(after.formatCalls.size(), 1u);
    EXPECT_EQ(after.formatCalls[0].flags, 0x1100u);
    EXPECT_EQ(after.formatCalls[0].language, 0x0400u);
    EXPECT_EQ(after.textsAllocated, 1);
    EXPECT_EQ(after.textsFreed, 1);
}

TEST_F(ErrorReportTest, ShowsUnknownErrorWhenTheSystemHasNoTextAndTheNumberSigned) {
    SetLastError(1234);
    ReportError("E009_WaitCommEvent failed");
    SetLastError(0xFFFFFFFFu);
    ReportError("E008_GetOverlappedResult failed");
    EXPECT_EQ(Output(), Report("E009_WaitCommEvent failed", 1234, "unknown error") +
                            Report("E008_GetOverlappedResult failed", -1, "unknown error"));
    // Nothing was allocated, so nothing may be freed.
    EXPECT_EQ(fake::Snapshot().textsFreed, 0);
}

TEST_F(ErrorReportTest, OnceTheDeviceHasShownSomethingTheScreenIsKeptBelowItsLastWords) {
    // Windows ends its texts with CR LF; the line must not end twice.
    fake::Edit([](fake::State &s) { s.messages[109] = "The pipe has been ended.\r\n"; });
    NoteDeviceOutputShown('!');
    SetLastError(109);
    ReportError("E010_GetOverlappedResult failed");
    NoteDeviceOutputShown('\n');
    SetLastError(109);
    ReportError("E008_GetOverlappedResult failed");
    // No clear: the first report starts below the device's unfinished line,
    // the second needs no line of its own.
    const std::string line = ": (109) The pipe has been ended.\n\n";
    EXPECT_EQ(Output(), "\nE010_GetOverlappedResult failed" + line + UsageBlock() +
                            "E008_GetOverlappedResult failed" + line + UsageBlock());
}

using KeyWaitTest = FakeTest;

TEST_F(KeyWaitTest, EndsOnAKeyGoingDownOrUpAndRestoresTheSavedMode) {
    for (bool down : {true, false}) {
        SCOPED_TRACE(down ? "key down" : "key up");
        fake::Reset();
        fake::Edit([&](fake::State &s) {
            s.consoleMode = 0x1F7;
            s.console.push_back({.records = {fake::Key('a', down)}});
            s.console.push_back({.records = {fake::Key('b')}});
        });
        WaitForAnyKey();
        fake::State after = fake::Snapshot();
        EXPECT_EQ(after.consoleReads, 1);
        EXPECT_EQ(after.modesSet, (std::vector<DWORD>{0x18, 0x1F7}));
    }
    EXPECT_EQ(Output(), "");
}

TEST_F(KeyWaitTest, IgnoresMouseWindowFocusAndMenuRecords) {
    fake::Edit([](fake::State &s) {
        s.console.push_back(
            {.records = {fake::Other(MOUSE_EVENT), fake::Other(WINDOW_BUFFER_SIZE_EVENT)}});
        s.console.push_back({.records = {fake::Other(FOCUS_EVENT), fake::Other(MENU_EVENT)}});
        s.console.push_back({});
        // A key behind other records in the same batch still ends the wait.
        s.console.push_back({.records = {fake::Other(MOUSE_EVENT), fake::Key('\r', false)}});
        s.console.push_back({.records = {fake::Key('x')}});
    });
    WaitForAnyKey();
    EXPECT_EQ(fake::Snapshot().consoleReads, 4);
    EXPECT_EQ(Output(), "");
}

TEST_F(KeyWaitTest, OneFailedReadEndsTheWaitInsteadOfLooping) {
    fake::Edit([](fake::State &s) {
        s.console.push_back({.fails = true, .error = 6});
        s.console.push_back({.fails = true, .error = 6});
    });
    WaitForAnyKey();
    fake::State after = fake::Snapshot();
    EXPECT_EQ(after.consoleReads, 1);
    EXPECT_EQ(after.modesSet, (std::vector<DWORD>{0x18, 0x1F7}));
    EXPECT_EQ(Output(), "\nProblem:ReadConsoleInput\n");
}

TEST_F(KeyWaitTest, ProblemsWithTheConsoleArePrintedAndTheWaitGoesOn) {
    fake::Edit([](fake::State &s) {
        s.stdHandle = INVALID_HANDLE_VALUE;
        s.getModeOk = false;
        s.getModeError = 6;
        s.setModeOk = false;
        s.setModeError = 6;
        s.console.push_back({.records = {fake::Key('a')}});
    });
    WaitForAnyKey();
    fake::State after = fake::Snapshot();
    EXPECT_EQ(after.consoleReads, 1);
    // A mode that was never read is not "restored".
    EXPECT_EQ(after.modesSet, (std::vector<DWORD>{0x18}));
    EXPECT_EQ(Output(), "Problem:GetStdHandleProblem:GetConsoleModeProblem:SetConsoleMode");
}

}  // namespace
