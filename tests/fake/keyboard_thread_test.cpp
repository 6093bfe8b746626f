// KeyboardThread against the fake: which keys reach the port, the stop
// signal, every failure from E001 to E004; then whole sessions, with the keyboard
// thread running on the thread the receive loop starts for it.
#include <algorithm>
#include <cstdio>
#include <functional>
#include <thread>

#include "session.h"
#include "terminal/keyboard_thread.h"
#include "terminal/receive_loop.h"
#include "terminal/stop_signal.h"
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
    fake::Edit([](fake::State &s) {
        s.console.push_back({.records = {Key('\r'), Key(0x03), Key(0x1A), Key(0x11), Key('z')}});
    });
    DWORD result = 1;
    ASSERT_TRUE(RunKeyboard(&result));
    EXPECT_EQ(result, 0u);
    fake::State after = fake::Snapshot();
    EXPECT_EQ(after.written, "\r\x03\x1A");
    EXPECT_EQ(after.writeCalls, 3);
    EXPECT_EQ(after.masksSet, (std::vector<DWORD>{0}));
    EXPECT_TRUE(g_stopRequested.load());
    // Raw input on every pass.
    EXPECT_EQ(after.modesSet, (std::vector<DWORD>(4, 0)));
    EXPECT_EQ(after.consoleReads, 4) << "a key after Ctrl+Q was read";
    EXPECT_TRUE(after.calls.end() ==
                std::find(after.calls.begin(), after.calls.end(), "CancelIo"));
    // The receive loop prints the prompt, before the thread starts.
    EXPECT_EQ(Output(), "");
}

TEST_F(KeyboardThreadTest, CtrlQGoingDownOrUpEndsWithoutSendingIt) {
    for (bool down : {true, false}) {
        SCOPED_TRACE(down ? "down" : "up");
        NextCase();
        fake::Edit([&](fake::State &s) {
            s.console.push_back({.records = {Key(0x11, down), Key('a')}});
        });
        DWORD result = 1;
        ASSERT_TRUE(RunKeyboard(&result));
        fake::State after = fake::Snapshot();
        EXPECT_EQ(after.writeCalls, 0);
        EXPECT_EQ(after.masksSet, (std::vector<DWORD>{0}));
        EXPECT_EQ(after.consoleReads, 1);
    }
}

TEST_F(KeyboardThreadTest, ReleasesZeroCharactersAndOtherEventsSendNothing) {
    fake::Edit([](fake::State &s) {
        s.console.push_back({.records = {Key('a', false), Key(0), fake::Other(MOUSE_EVENT),
                                         fake::Other(FOCUS_EVENT), fake::Other(MENU_EVENT),
                                         fake::Other(WINDOW_BUFFER_SIZE_EVENT)}});
        s.console.push_back({});  // a read that gives no record
        // A held key's record sends its byte as often as its repeat count
        // says; 0xE9 as the console's code page gives it.
        s.console.push_back({.records = {Key('b', true, 5), Key('b'), Key('\xE9'), Key(0x11)}});
    });
    DWORD result = 1;
    ASSERT_TRUE(RunKeyboard(&result));
    EXPECT_EQ(fake::Snapshot().written, "bbbbbb\xE9");
    EXPECT_EQ(Output(), "");
}

TEST_F(KeyboardThreadTest, APendingWriteIsWaitedForBeforeTheNextKey) {
    fake::Edit([](fake::State &s) {
        s.writes = {WriteStep(How::Pending), WriteStep(How::AtOnce), WriteStep(How::Pending)};
        s.console.push_back({.records = {Key('a'), Key('b'), Key('c'), Key(0x11)}});
    });
    DWORD result = 1;
    ASSERT_TRUE(RunKeyboard(&result));
    // The fake flags a write started while the last one is still pending.
    EXPECT_EQ(fake::Snapshot().written, "abc");
}

TEST_F(KeyboardThreadTest, ADeviceSlowerThanTheTypistStillGetsEveryKeyInOrder) {
    // More keys than the queue holds, read while writes pend; a held key too.
    std::vector<INPUT_RECORD> keys;
    std::string typed;
    for (int i = 0; i < 600; ++i) {
        keys.push_back(Key(static_cast<char>('a' + i % 26)));
        typed += static_cast<char>('a' + i % 26);
    }
    keys.push_back(Key('#', true, 300));
    typed += std::string(300, '#');
    fake::Edit([&](fake::State &s) {
        s.writes.assign(typed.size(), WriteStep(How::Slow));
        s.console.push_back({.records = keys});
    });
    // Ctrl+Q once everything has gone, so nothing typed is left unsent.
    std::thread user([&] {
        if (fake::Await([&](const fake::State &s) { return s.written.size() == typed.size(); })) {
            fake::Edit([](fake::State &s) { s.console.push_back({.records = {Key(0x11)}}); });
        }
    });
    DWORD result = 1;
    bool ended = RunKeyboard(&result);
    user.join();
    ASSERT_TRUE(ended);
    EXPECT_EQ(fake::Snapshot().written, typed);
}

TEST_F(KeyboardThreadTest, CtrlQEndsTheSessionWhileTheDeviceTakesNothing) {
    // The first write never completes; hundreds of keys follow, then Ctrl+Q.
    std::vector<INPUT_RECORD> keys(401, Key('x'));
    keys.back() = Key(0x11);
    fake::Edit([&](fake::State &s) {
        s.writes = {WriteStep(How::Stalled)};
        s.console.push_back({.records = keys});
    });
    DWORD result = 1;
    ASSERT_TRUE(RunKeyboard(&result));
    fake::State after = fake::Snapshot();
    EXPECT_EQ(after.written, "");
    EXPECT_EQ(after.consoleReads, 401);
    EXPECT_EQ(after.writeCalls, 1);
    // The pending write is withdrawn before the stop.
    auto cancel = std::find(after.calls.begin(), after.calls.end(), "CancelIo");
    auto stop = std::find(after.calls.begin(), after.calls.end(), "SetCommMask(0)");
    EXPECT_TRUE(cancel < stop);
    EXPECT_TRUE(g_stopRequested.load());
}

TEST_F(KeyboardThreadTest, E001AnEventThatCannotBeCreatedSendsTheStopSignalAndNothingElse) {
    fake::Edit([](fake::State &s) {
        s.eventFailsOnOtherThreads = true;
        s.eventError = 24;
        s.messages[24] = "Too many open files";
        s.console.push_back({.records = {Key('a'), Key(0x11)}});
    });
    DWORD result = 1;
    ASSERT_TRUE(RunKeyboard(&result));
    EXPECT_EQ(result, 0u);
    EXPECT_EQ(Output(), Report("E001_CreateEvent failed", 24, "Too many open files"));
    fake::State after = fake::Snapshot();
    EXPECT_EQ(after.masksSet, (std::vector<DWORD>{0}));
    EXPECT_TRUE(g_stopRequested.load());
    EXPECT_EQ(after.consoleReads, 0);
    EXPECT_EQ(after.writeCalls, 0);
    EXPECT_TRUE(after.modesSet.empty());
}

TEST_F(KeyboardThreadTest, E002AConsoleThatCannotBeReadEndsWithTheStopSignal) {
    fake::Edit([](fake::State &s) {
        s.messages[5] = "Input/output error";
        s.console.push_back({.fails = true, .error = 5});
        s.console.push_back({.records = {Key('a')}});
    });
    DWORD result = 1;
    ASSERT_TRUE(RunKeyboard(&result));
    EXPECT_EQ(Output(), Report("E002_ReadConsoleInput failed...", 5, "Input/output error"));
    fake::State after = fake::Snapshot();
    EXPECT_EQ(after.consoleReads, 1);
    EXPECT_EQ(after.writeCalls, 0);
    EXPECT_EQ(after.masksSet, (std::vector<DWORD>{0}));
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
        NextCase();
        g_stopRequested.store(false);
        fake::Edit([&](fake::State &s) {
            s.messages[5] = "Input/output error";
            s.writes = {WriteStep(How::AtOnce), c.failingWrite};
            s.console.push_back({.records = {Key('a'), Key('b'), Key('c')}});
        });
        if (!Capturing()) BeginCapture();
        DWORD result = 1;
        ASSERT_TRUE(RunKeyboard(&result));
        EXPECT_EQ(Output(), Report(c.message, 5, "Input/output error"));
        fake::State after = fake::Snapshot();
        EXPECT_EQ(after.written, "a");
        EXPECT_EQ(after.consoleReads, 2) << "a key after the failed write was read";
        EXPECT_EQ(after.masksSet, (std::vector<DWORD>{0}));
        EXPECT_TRUE(g_stopRequested.load());
    }
}

TEST_F(KeyboardThreadTest, AStopSignalThatFailsPrintsTheLastErrorNumber) {
    fake::Edit([](fake::State &s) {
        s.setMaskResults = {false};
        s.setMaskError = 6;
        s.console.push_back({.records = {Key(0x11)}});
    });
    DWORD result = 1;
    ASSERT_TRUE(RunKeyboard(&result));
    EXPECT_EQ(result, 0u);
    // Printed directly: no cleared screen, no usage block.
    EXPECT_EQ(Output(), "SetCommMask-GetLastError: 6\n");
}

// Whole sessions: the receive loop starts the keyboard thread on a real
// thread; the test types once the loop is waiting.
class SessionTest : public FakeTest {
protected:
    // Runs the loop while user acts on another thread; false if either hung.
    static bool RunSession(const std::function<void()> &user) {
        std::thread typing(user);
        bool returned = RunWithDeadline([] { ReceiveLoop(fake::kPort, &g_sessionSettings); });
        typing.join();
        return returned;
    }

    // The user types keys while the session runs.
    static void Type(std::vector<INPUT_RECORD> keys) {
        fake::Edit([&](fake::State &s) { s.console.push_back({.records = std::move(keys)}); });
    }
};

TEST_F(SessionTest, KeysGoOutBytesComeInAndCtrlQEndsTheSession) {
    std::string path = TempPath("session.log");
    g_sessionSettings.logEnabled = 1;
    std::snprintf(g_sessionSettings.logPath, sizeof g_sessionSettings.logPath, "%s",
                  path.c_str());
    fake::Edit([](fake::State &s) {
        s.waits = {fake::WaitStep(How::Pending, EV_RXCHAR)};
        s.reads = {fake::ReadStep(How::AtOnce, "OK>")};
    });
    ASSERT_TRUE(RunSession([] {
        if (!fake::Await(PortWaitBlocked)) return;
        Type({Key('\r'), Key(0x03)});
        if (!fake::Await([](const fake::State &s) { return s.written.size() >= 2; })) return;
        Type({Key(0x11)});
    }));
    fake::State after = fake::Snapshot();
    EXPECT_EQ(after.written, "\r\x03");
    EXPECT_EQ(after.masksSet, (std::vector<DWORD>{EV_RXCHAR, 0}));
    EXPECT_EQ(after.waitCalls, 2);
    EXPECT_EQ(ReadWholeFile(path), "OK>");
    std::string out = Output();
    EXPECT_NE(out.find(kPrompt), std::string::npos) << out;
    EXPECT_NE(out.find("OK>"), std::string::npos) << out;
    EXPECT_EQ(out.find("E0"), std::string::npos) << out;
}

TEST_F(SessionTest, AWriteFailureOnTheKeyboardThreadIsReportedWithItsOwnErrorAndEndsTheSession) {
    fake::Edit([](fake::State &s) {
        s.messages[5] = "Input/output error";
        s.writes = {WriteStep(How::Fails, 5)};
    });
    // The number is the keyboard thread's own; the loop's thread meanwhile
    // holds 997 from its pending wait.
    ASSERT_TRUE(RunSession([] {
        if (fake::Await(PortWaitBlocked)) Type({Key('a')});
    }));
    std::string out = Output();
    EXPECT_NE(out.find(Report("E004_WriteFile failed", 5, "Input/output error")),
              std::string::npos)
        << out;
    EXPECT_EQ(fake::Snapshot().masksSet, (std::vector<DWORD>{EV_RXCHAR, 0}));
}

TEST_F(SessionTest, AKeyboardThreadWithoutAnEventStillEndsTheSession) {
    fake::Edit([](fake::State &s) {
        s.threadMode = fake::ThreadMode::RunToEnd;
        s.eventFailsOnCreatedThreads = true;
        s.eventError = 24;
        s.messages[24] = "Too many open files";
    });
    ASSERT_TRUE(RunSession([] {}));
    EXPECT_EQ(Output(), kPrompt + Report("E001_CreateEvent failed", 24, "Too many open files"));
    fake::State after = fake::Snapshot();
    // The loop's own event was made and closed; the wait never began.
    EXPECT_EQ(after.events.size(), 1u);
    EXPECT_EQ(after.waitCalls, 0);
}

}  // namespace
