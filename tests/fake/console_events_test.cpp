// The console-event handler against the fake: Ctrl+Break, the close button,
// log-off and shut-down in a session and before one, and Ctrl+C. Each event
// is raised on a thread of its own, as Windows raises it; the keyboard
// thread is left out, so only the handler can stop the session.
#include <algorithm>
#include <cstdio>
#include <thread>

#include "session.h"
#include "terminal/console_events.h"
#include "test_support.h"

namespace {

using fake::How;
using fake::ReadStep;
using fake::WaitStep;

class ConsoleEventTest : public FakeTest, public ::testing::WithParamInterface<DWORD> {
protected:
    void SetUp() override {
        FakeTest::SetUp();
        fake::Edit([](fake::State &s) { s.threadMode = fake::ThreadMode::Idle; });
        WatchConsoleEvents();
    }
};

TEST_P(ConsoleEventTest, InASessionItEndsTheSessionThroughTheStopAndTheProgramWithZero) {
    std::string path = TempPath("capture.log");
    g_sessionSettings.logEnabled = 1;
    std::snprintf(g_sessionSettings.logPath, sizeof g_sessionSettings.logPath, "%s", path.c_str());
    fake::Edit([](fake::State &s) {
        s.waits = {WaitStep(How::AtOnce, EV_RXCHAR)};
        s.reads = {ReadStep(How::AtOnce, "login: ")};
    });
    PHANDLER_ROUTINE handler = fake::Snapshot().ctrlHandler;
    ASSERT_NE(handler, nullptr);
    BOOL afterCtrlC = FALSE;
    BOOL afterEvent = FALSE;
    std::vector<DWORD> masksAfterCtrlC;
    std::thread windows([&] {
        if (!fake::Await(PortWaitBlocked)) return;
        afterCtrlC = handler(CTRL_C_EVENT);
        masksAfterCtrlC = fake::Snapshot().masksSet;
        afterEvent = handler(GetParam());
    });
    EXPECT_TRUE(RunWithDeadline([] { RunSession(fake::kPort, &g_sessionSettings); }));
    windows.join();
    // Ctrl+C is the device's key: it stops nothing.
    EXPECT_TRUE(afterCtrlC);
    EXPECT_EQ(masksAfterCtrlC, std::vector<DWORD>{EV_RXCHAR});
    EXPECT_TRUE(afterEvent);
    EXPECT_EQ(Output(), "press ENTER to start, Ctrl+Q to terminate\nlogin: ");
    EXPECT_EQ(ReadWholeFile(path), "login: ");
    fake::State after = fake::Snapshot();
    EXPECT_EQ(after.masksSet, (std::vector<DWORD>{EV_RXCHAR, 0}));
    ASSERT_FALSE(after.closed.empty());
    EXPECT_EQ(after.closed.back(), fake::kPort);
    if (GetParam() == CTRL_BREAK_EVENT) {
        // The program ends by itself, as after Ctrl+Q.
        EXPECT_TRUE(after.exitCodes.empty());
    } else {
        // Windows would end the process when the handler returns: the handler
        // ends it with 0 itself, and only once the port has been closed.
        EXPECT_EQ(after.exitCodes, std::vector<UINT>{0});
        auto exit = std::find(after.calls.begin(), after.calls.end(), "ExitProcess(0)");
        auto lastClose = std::find(after.calls.rbegin(), after.calls.rend(), "CloseHandle");
        EXPECT_LE(lastClose.base() - after.calls.begin(), exit - after.calls.begin());
    }
}

INSTANTIATE_TEST_SUITE_P(Events, ConsoleEventTest,
                         ::testing::Values(CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT,
                                           CTRL_SHUTDOWN_EVENT));

TEST_F(FakeTest, AConsoleEventBeforeTheSessionEndsTheProgramWithZeroAndTheConsoleAsFound) {
    fake::Edit([](fake::State &s) { s.console.push_back({.records = {fake::Key('x')}}); });
    WatchConsoleEvents();
    // The usage screen's key wait has changed the mode.
    SetConsoleMode(fake::kConsole, ENABLE_WINDOW_INPUT | ENABLE_MOUSE_INPUT);
    PHANDLER_ROUTINE handler = fake::Snapshot().ctrlHandler;
    ASSERT_NE(handler, nullptr);
    EXPECT_TRUE(handler(CTRL_BREAK_EVENT));
    fake::State after = fake::Snapshot();
    EXPECT_EQ(after.modesSet, (std::vector<DWORD>{ENABLE_WINDOW_INPUT | ENABLE_MOUSE_INPUT,
                                                  fake::State().consoleMode}));
    EXPECT_TRUE(after.console.empty());
    EXPECT_EQ(after.exitCodes, std::vector<UINT>{0});
    EXPECT_TRUE(after.masksSet.empty());
}

}  // namespace
