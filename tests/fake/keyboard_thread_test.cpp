// KeyboardThread against the fake: which keys reach the port, the stop
// signal, the E001 to E004 roads; then whole sessions, with the keyboard
// thread running on the thread the receive loop starts for it.
#include <cstdio>
#include <functional>
#include <thread>

#include "session.h"
#include "terminal/keyboard_thread.h"
#include "terminal/receive_loop.h"
#include "test_support.h"

namespace {

using fake::How;
using fake::Key;
using fake::WriteStep;

constexpr char kPrompt[] = "press ENTER to start, Ctrl+Q to terminate\n";

class KeyboardThreadTest : public FakeTest {
protected:
    // Runs the thread's routine to its end; false if it did not end.
    static bool RunKeyboard(DWORD *result) {
        return RunWithDeadline([result] { *result = KeyboardThread(fake::kPort); });
    }
};

TEST_F(KeyboardThreadTest, EnterCtrlCAndCtrlZAreSentAndCtrlQEndsWithTheStopSignal) {
    fake::PushConsole({Key('\r'), Key(0x03), Key(0x1A), Key(0x11), Key('z')});
    DWORD result = 1;
    ASSERT_TRUE(RunKeyboard(&result));
    EXPECT_EQ(result, 0u);
    EXPECT_EQ(fake::Written(), "\r\x03\x1A");
    EXPECT_EQ(fake::WriteCalls(), 3);
    EXPECT_EQ(fake::MasksSet(), (std::vector<DWORD>{0}));
    EXPECT_TRUE(g_stopRequested.load());
    // Raw input before the prompt and again on every pass.
    EXPECT_EQ(fake::ModesSet(), (std::vector<DWORD>(5, 0)));
    EXPECT_EQ(fake::ConsoleReads(), 4) << "a key after Ctrl+Q was read";
    EXPECT_EQ(Output(), kPrompt);
}

TEST_F(KeyboardThreadTest, CtrlQGoingDownOrUpEndsWithoutSendingIt) {
    for (bool down : {true, false}) {
        SCOPED_TRACE(down ? "down" : "up");
        fake::Reset();
        fake::PushConsole({Key(0x11, down), Key('a')});
        DWORD result = 1;
        ASSERT_TRUE(RunKeyboard(&result));
        EXPECT_EQ(fake::WriteCalls(), 0);
        EXPECT_EQ(fake::MasksSet(), (std::vector<DWORD>{0}));
        EXPECT_EQ(fake::ConsoleReads(), 1);
    }
}

TEST_F(KeyboardThreadTest, ReleasesZeroCharactersAndOtherEventsSendNothing) {
    fake::PushConsole({Key('a', false), Key(0), fake::Other(MOUSE_EVENT),
                       fake::Other(FOCUS_EVENT), fake::Other(MENU_EVENT),
                       fake::Other(WINDOW_BUFFER_SIZE_EVENT)});
    fake::PushConsole({});  // a read that gives no record
    // One byte per key event, whatever its repeat count; 0xE9 as the
    // console's code page gives it.
    fake::PushConsole({Key('b', true, 5), Key('b'), Key('\xE9'), Key(0x11)});
    DWORD result = 1;
    ASSERT_TRUE(RunKeyboard(&result));
    EXPECT_EQ(fake::Written(), "bb\xE9");
    EXPECT_EQ(Output(), kPrompt);
}

TEST_F(KeyboardThreadTest, APendingWriteIsWaitedForBeforeTheNextKey) {
    fake::ScriptWrites({WriteStep(How::Pending), WriteStep(How::AtOnce), WriteStep(How::Pending)});
    fake::PushConsole({Key('a'), Key('b'), Key('c'), Key(0x11)});
    DWORD result = 1;
    ASSERT_TRUE(RunKeyboard(&result));
    // The fake flags a write started while the last one is still pending.
    EXPECT_EQ(fake::Written(), "abc");
}

TEST_F(KeyboardThreadTest, E001AnEventThatCannotBeCreatedSendsTheStopSignalAndNothingElse) {
    fake::ScriptCreateEvent(false, true, 24);
    fake::ScriptMessage(24, "Too many open files");
    fake::PushConsole({Key('a'), Key(0x11)});
    DWORD result = 1;
    ASSERT_TRUE(RunKeyboard(&result));
    EXPECT_EQ(result, 0u);
    EXPECT_EQ(Output(), Report("E001_CreateEvent failed", 24, "Too many open files"));
    EXPECT_EQ(fake::MasksSet(), (std::vector<DWORD>{0}));
    EXPECT_TRUE(g_stopRequested.load());
    EXPECT_EQ(fake::ConsoleReads(), 0);
    EXPECT_EQ(fake::WriteCalls(), 0);
    EXPECT_TRUE(fake::ModesSet().empty());
}

TEST_F(KeyboardThreadTest, E002AConsoleThatCannotBeReadEndsWithTheStopSignal) {
    fake::ScriptMessage(5, "Input/output error");
    fake::PushConsoleFailure(5);
    fake::PushConsole({Key('a')});
    DWORD result = 1;
    ASSERT_TRUE(RunKeyboard(&result));
    EXPECT_EQ(Output(),
              kPrompt + Report("E002_ReadConsoleInput failed...", 5, "Input/output error"));
    EXPECT_EQ(fake::ConsoleReads(), 1);
    EXPECT_EQ(fake::WriteCalls(), 0);
    EXPECT_EQ(fake::MasksSet(), (std::vector<DWORD>{0}));
}

TEST_F(KeyboardThreadTest, E003AndE004AFailedWriteEndsWithTheStopSignal) {
    struct Case {
        fake::Step failingWrite;
        const char *message;
    };
    const Case cases[] = {{WriteStep(How::PendingFails, 5), "E003_GetOverlappedResult failed"},
                          {WriteStep(How::Fails, 5), "E004_WriteFile failed"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        fake::Reset();
        g_stopRequested.store(false);
        fake::ScriptMessage(5, "Input/output error");
        fake::ScriptWrites({WriteStep(How::AtOnce), c.failingWrite});
        fake::PushConsole({Key('a'), Key('b'), Key('c')});
        if (!Capturing()) BeginCapture();
        DWORD result = 1;
        ASSERT_TRUE(RunKeyboard(&result));
        EXPECT_EQ(Output(), kPrompt + Report(c.message, 5, "Input/output error"));
        EXPECT_EQ(fake::Written(), "a");
        EXPECT_EQ(fake::ConsoleReads(), 2) << "a key after the failed write was read";
        EXPECT_EQ(fake::MasksSet(), (std::vector<DWORD>{0}));
        EXPECT_TRUE(g_stopRequested.load());
    }
}

TEST_F(KeyboardThreadTest, AStopSignalThatFailsPrintsTheLastErrorNumber) {
    fake::ScriptSetCommMask({false}, 6);
    fake::PushConsole({Key(0x11)});
    DWORD result = 1;
    ASSERT_TRUE(RunKeyboard(&result));
    EXPECT_EQ(result, 0u);
    // Printed directly: no cleared screen, no usage block.
    EXPECT_EQ(Output(), std::string(kPrompt) + "SetCommMask-GetLastError: 6\n");
}

// Whole sessions: the receive loop starts the keyboard thread on a real
// thread; the test types once the loop is waiting.
class SessionTest : public FakeTest {
protected:
    // Runs the loop while user acts on another thread; false if either hung.
    static bool RunSession(const std::function<void()> &user) {
        std::thread typing(user);
        bool returned = RunWithDeadline([] { ReceiveLoop(fake::kPort); });
        typing.join();
        return returned;
    }
};

TEST_F(SessionTest, KeysGoOutBytesComeInAndCtrlQEndsTheSession) {
    std::string path = TempPath("session.log");
    g_sessionSettings.logEnabled = 1;
    std::snprintf(g_sessionSettings.logPath, sizeof g_sessionSettings.logPath, "%s",
                  path.c_str());
    fake::ScriptWaits({fake::WaitStep(How::Pending, EV_RXCHAR)});
    fake::ScriptReads({fake::ReadStep(How::AtOnce, "OK>")});
    ASSERT_TRUE(RunSession([] {
        if (!fake::AwaitBlockedWaits(1)) return;
        fake::PushConsole({Key('\r'), Key(0x03)});
        if (!fake::AwaitWritten(2)) return;
        fake::PushConsole({Key(0x11)});
    }));
    EXPECT_EQ(fake::Written(), "\r\x03");
    EXPECT_EQ(fake::MasksSet(), (std::vector<DWORD>{EV_RXCHAR, 0}));
    EXPECT_EQ(fake::WaitCalls(), 2);
    EXPECT_EQ(ReadWholeFile(path), "OK>");
    std::string out = Output();
    EXPECT_NE(out.find(kPrompt), std::string::npos) << out;
    EXPECT_NE(out.find("OK>"), std::string::npos) << out;
    EXPECT_EQ(out.find("E0"), std::string::npos) << out;
}

TEST_F(SessionTest, AWriteFailureOnTheKeyboardThreadIsReportedWithItsOwnErrorAndEndsTheSession) {
    fake::ScriptMessage(5, "Input/output error");
    fake::ScriptWrites({WriteStep(How::Fails, 5)});
    // The number is the keyboard thread's own; the loop's thread meanwhile
    // holds 997 from its pending wait.
    ASSERT_TRUE(RunSession([] {
        if (fake::AwaitBlockedWaits(1)) fake::PushConsole({Key('a')});
    }));
    std::string out = Output();
    EXPECT_NE(out.find(Report("E004_WriteFile failed", 5, "Input/output error")),
              std::string::npos)
        << out;
    EXPECT_EQ(fake::MasksSet(), (std::vector<DWORD>{EV_RXCHAR, 0}));
}

TEST_F(SessionTest, AKeyboardThreadWithoutAnEventStillEndsTheSession) {
    fake::ScriptCreateThread(fake::ThreadMode::RunToEnd, 0);
    fake::ScriptCreateEvent(true, false, 24);
    fake::ScriptMessage(24, "Too many open files");
    ASSERT_TRUE(RunSession([] {}));
    EXPECT_EQ(Output(), Report("E001_CreateEvent failed", 24, "Too many open files"));
    // The loop's own event was made and closed; the wait never began.
    EXPECT_EQ(fake::EventsCreated().size(), 1u);
    EXPECT_EQ(fake::WaitCalls(), 0);
}

}  // namespace
