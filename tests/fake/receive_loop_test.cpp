// ReceiveLoop against the fake: the bytes it relays, the stop signal, and the
// failures E005 to E011 with what follows each. The keyboard thread is left out
// here (its thread never runs) unless a test says otherwise; the test itself
// sends the stop signal the way that thread does, by clearing the port's mask.
#include <algorithm>
#include <cstdio>
#include <deque>
#include <fstream>
#include <thread>

#include "session.h"
#include "terminal/console_events.h"
#include "terminal/receive_loop.h"
#include "terminal/stop_signal.h"
#include "test_support.h"

namespace {

using fake::How;
using fake::ReadStep;
using fake::WaitStep;

constexpr char kPrompt[] = "press ENTER to start, Ctrl+Q to terminate\n";

class ReceiveLoopTest : public FakeTest {
protected:
    void SetUp() override {
        FakeTest::SetUp();
        LeaveKeyboardOut();
    }

    static void LeaveKeyboardOut() {
        fake::Edit([](fake::State &s) { s.threadMode = fake::ThreadMode::Idle; });
    }

    // Runs the loop; when stopWhenIdle, sends the stop signal once the loop
    // waits with nothing more scripted. False if the loop did not return.
    static bool RunLoop(bool stopWhenIdle) {
        std::thread stopper;
        if (stopWhenIdle) {
            stopper = std::thread([] {
                if (fake::Await(PortWaitBlocked)) SetCommMask(fake::kPort, 0);
            });
        }
        bool returned = RunWithDeadline([] { ReceiveLoop(fake::kPort, &g_sessionSettings); });
        if (stopper.joinable()) stopper.join();
        return returned;
    }

    static void CaptureTo(const std::string &path) {
        g_sessionSettings.logEnabled = 1;
        std::snprintf(g_sessionSettings.logPath, sizeof g_sessionSettings.logPath, "%s",
                      path.c_str());
    }

    // What the loop showed after its prompt, which must come before anything
    // the device sent.
    std::string Shown() {
        std::string out = Output();
        if (out.rfind(kPrompt, 0) != 0) {
            ADD_FAILURE() << "the prompt is not the first thing shown:\n" << out;
            return out;
        }
        return out.substr(sizeof kPrompt - 1);
    }

    static bool EventClosed(const fake::State &s) {
        return std::any_of(s.closed.begin(), s.closed.end(), fake::IsEvent);
    }
};

TEST_F(ReceiveLoopTest, ABurstIsReadInChunksOfTenUntilAnEmptyReadThenTheLoopWaitsAgain) {
    const std::string burst = "0123456789abcdefghijKLMNO";
    fake::Edit([&](fake::State &s) {
        s.waits = {WaitStep(How::AtOnce, EV_RXCHAR)};
        // Nothing waits when the mask is armed; the burst comes with the event.
        s.reads = {ReadStep(How::AtOnce, ""), ReadStep(How::AtOnce, burst.substr(0, 10)),
                   ReadStep(How::Pending, burst.substr(10, 10)),
                   ReadStep(How::AtOnce, burst.substr(20))};
    });
    ASSERT_TRUE(RunLoop(true));
    EXPECT_EQ(Shown(), burst);
    fake::State after = fake::Snapshot();
    // The empty drain before the first wait; three reads with data and the
    // empty one that ends the drain, each asking for ten bytes; then the
    // second wait, which the stop ended.
    EXPECT_EQ(after.readSizes, (std::vector<DWORD>{10, 10, 10, 10, 10}));
    EXPECT_EQ(after.waitCalls, 2);
    EXPECT_EQ(after.masksSet, (std::vector<DWORD>{EV_RXCHAR, 0}));
}

TEST_F(ReceiveLoopTest, EveryByteValueReachesConsoleAndCaptureInOrderAndTheCaptureIsEmptied) {
    std::string path = TempPath("capture.log");
    { std::ofstream(path) << "left from an earlier session"; }
    CaptureTo(path);
    std::string all;
    for (int value = 0; value < 256; ++value) all += static_cast<char>(value);
    // Chunks of every size up to ten, some completing at once, some pending,
    // and a device pause (an empty read) in the middle.
    std::deque<fake::Step> reads;
    std::size_t at = 0;
    bool paused = false;
    for (std::size_t size = 1; at < all.size(); size = size % 10 + 1) {
        std::size_t chunk = std::min(size, all.size() - at);
        reads.push_back(ReadStep(chunk % 2 ? How::AtOnce : How::Pending, all.substr(at, chunk)));
        at += chunk;
        if (at >= 128 && !paused) {
            reads.push_back(ReadStep(How::AtOnce, ""));
            paused = true;
        }
    }
    fake::Edit([&](fake::State &s) {
        s.waits = {WaitStep(How::AtOnce, EV_RXCHAR), WaitStep(How::Pending, EV_RXCHAR)};
        s.reads = reads;
    });
    ASSERT_TRUE(RunLoop(true));
    EXPECT_EQ(Shown(), all);
    EXPECT_EQ(ReadWholeFile(path), all);
    EXPECT_EQ(fake::Snapshot().waitCalls, 3);
}

TEST_F(ReceiveLoopTest, TheStopSignalWhileWaitingEndsTheLoopAndClosesEverything) {
    std::string path = TempPath("capture.log");
    CaptureTo(path);
    fake::Edit([](fake::State &s) {
        s.waits = {WaitStep(How::AtOnce, EV_RXCHAR)};
        s.reads = {ReadStep(How::AtOnce, "login: ")};
    });
    ASSERT_TRUE(RunLoop(true));
    EXPECT_EQ(Shown(), "login: ");
    // Closed, so everything received so far is in the file.
    EXPECT_EQ(ReadWholeFile(path), "login: ");
    fake::State after = fake::Snapshot();
    EXPECT_TRUE(EventClosed(after));
    // The keyboard thread's handle is closed once the thread has been told.
    EXPECT_EQ(std::count_if(after.closed.begin(), after.closed.end(), fake::IsThread), 1);
}

TEST_F(ReceiveLoopTest, AMaskWithoutReceivedCharactersReadsNothingAndWaitsAgain) {
    fake::Edit([](fake::State &s) {
        s.waits = {WaitStep(How::AtOnce, 0x0004), WaitStep(How::Pending, 0x0080)};
    });
    ASSERT_TRUE(RunLoop(true));
    fake::State after = fake::Snapshot();
    // Only the drain before the first wait reads.
    EXPECT_EQ(after.readSizes.size(), 1u);
    EXPECT_EQ(after.waitCalls, 3);
    EXPECT_EQ(Shown(), "");
}

TEST_F(ReceiveLoopTest, WithoutCaptureNoFileIsCreated) {
    std::string path = TempPath("not-asked-for.log");
    std::snprintf(g_sessionSettings.logPath, sizeof g_sessionSettings.logPath, "%s",
                  path.c_str());
    g_sessionSettings.logEnabled = 0;
    fake::Edit([](fake::State &s) {
        s.waits = {WaitStep(How::AtOnce, EV_RXCHAR)};
        s.reads = {ReadStep(How::AtOnce, "x")};
    });
    ASSERT_TRUE(RunLoop(true));
    EXPECT_EQ(Shown(), "x");
    EXPECT_FALSE(FileExists(path));
}

TEST_F(ReceiveLoopTest, ACaptureFileThatCannotBeCreatedEndsTheSessionBeforeItStarts) {
    std::string path = TempPath("missing-folder") + "/capture.log";
    CaptureTo(path);
    // Keys typed for the device meanwhile: with no session to send them,
    // they are thrown away, not left for the shell.
    fake::Edit([](fake::State &s) { s.console.push_back({.records = {fake::Key('x')}}); });
    WatchConsoleEvents();
    ASSERT_TRUE(RunWithDeadline([] { RunSession(fake::kPort, &g_sessionSettings); }));
    std::string out = Output();
    EXPECT_NE(out.find(path), std::string::npos) << out;
    EXPECT_NE(out.find("No such file or directory"), std::string::npos) << out;
    fake::State after = fake::Snapshot();
    EXPECT_EQ(after.createThreadCalls, 0);
    EXPECT_TRUE(after.masksSet.empty());
    EXPECT_EQ(after.waitCalls, 0);
    EXPECT_TRUE(after.console.empty());
}

TEST_F(ReceiveLoopTest, E005AThreadThatCannotStartEndsTheLoopAtOnce) {
    fake::Edit([](fake::State &s) {
        s.threadMode = fake::ThreadMode::Fail;
        s.threadError = 11;
        s.messages[11] = "Resource temporarily unavailable";
    });
    ASSERT_TRUE(RunLoop(false));
    EXPECT_EQ(Output(), kPrompt +
              Report("E005_CreateThread failed", 11, "Resource temporarily unavailable"));
    fake::State after = fake::Snapshot();
    EXPECT_TRUE(after.events.empty());
    EXPECT_TRUE(after.masksSet.empty());
    EXPECT_EQ(after.waitCalls, 0);
}

TEST_F(ReceiveLoopTest, E006AnEventThatCannotBeCreatedIsReportedAndTheLoopGoesOn) {
    fake::Edit([](fake::State &s) {
        s.eventFailsOnOtherThreads = true;
        s.eventError = 12;
        s.messages[12] = "Cannot allocate memory";
        s.waits = {WaitStep(How::AtOnce, EV_RXCHAR)};
        s.reads = {ReadStep(How::Pending, "still here")};
    });
    ASSERT_TRUE(RunLoop(true));
    EXPECT_EQ(Shown(),
              Report("E006_CreateEvent failed", 12, "Cannot allocate memory") + "still here");
    fake::State after = fake::Snapshot();
    EXPECT_EQ(after.masksSet, (std::vector<DWORD>{EV_RXCHAR, 0}));
    // The event that was never made is not closed.
    EXPECT_EQ(std::count(after.closed.begin(), after.closed.end(), nullptr), 0);
}

TEST_F(ReceiveLoopTest, E007AMaskThatCannotBeArmedIsReportedAndTheLoopGoesOn) {
    fake::Edit([](fake::State &s) {
        s.setMaskResults = {false};
        s.setMaskError = 22;
        s.messages[22] = "Invalid argument";
        s.waits = {WaitStep(How::AtOnce, EV_RXCHAR)};
        s.reads = {ReadStep(How::AtOnce, "ok")};
    });
    ASSERT_TRUE(RunLoop(true));
    EXPECT_EQ(Shown(), Report("E007_SetCommMask failed", 22, "Invalid argument") + "ok");
    EXPECT_EQ(fake::Snapshot().waitCalls, 2);
}

TEST_F(ReceiveLoopTest, E008AndE009AFailedWaitEndsTheLoopWithCleanUp) {
    struct Case {
        fake::Step failingWait;
        const char *message;
    };
    const Case cases[] = {{WaitStep(How::PendingFails, 0, 5), "E008_GetOverlappedResult failed"},
                          {WaitStep(How::Fails, 0, 5), "E009_WaitCommEvent failed"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        NextCase();
        LeaveKeyboardOut();
        std::string path = TempPath("capture.log");
        CaptureTo(path);
        fake::Edit([&](fake::State &s) {
            s.messages[5] = "Input/output error";
            s.waits = {WaitStep(How::AtOnce, EV_RXCHAR), c.failingWait};
            s.reads = {ReadStep(How::AtOnce, "before")};
        });
        if (!Capturing()) BeginCapture();
        ASSERT_TRUE(RunLoop(false));
        EXPECT_EQ(Shown(), "before" + ReportBelowDeviceOutput(c.message, 5, "Input/output error"));
        fake::State after = fake::Snapshot();
        // No further wait and no read after the failure.
        EXPECT_EQ(after.waitCalls, 2);
        EXPECT_EQ(after.readSizes.size(), 3u);
        EXPECT_TRUE(EventClosed(after));
        EXPECT_EQ(ReadWholeFile(path), "before");
    }
}

TEST_F(ReceiveLoopTest, AWaitRefusedBecauseTheStopJustEmptiedTheMaskEndsTheLoopWithoutAReport) {
    LeaveKeyboardOut();
    std::string path = TempPath("capture.log");
    CaptureTo(path);
    fake::Edit([](fake::State &s) {
        s.messages[87] = "Invalid argument";
        s.waits = {WaitStep(How::AtOnce, EV_RXCHAR), WaitStep(How::StopThenFails, 0, 87)};
        s.reads = {ReadStep(How::AtOnce, "bye")};
    });
    ASSERT_TRUE(RunLoop(false));
    EXPECT_EQ(Shown(), "bye");
    fake::State after = fake::Snapshot();
    EXPECT_EQ(after.waitCalls, 2);
    EXPECT_TRUE(EventClosed(after));
    EXPECT_EQ(ReadWholeFile(path), "bye");
}

TEST_F(ReceiveLoopTest, E010AndE011AFailedReadEndsTheDrainAndLaterBytesStillShow) {
    struct Case {
        fake::Step failingRead;
        const char *message;
    };
    const Case cases[] = {{ReadStep(How::PendingFails, "", 5), "E010_GetOverlappedResult failed"},
                          {ReadStep(How::Fails, "", 5), "E011_ReadFile failed"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        NextCase();
        LeaveKeyboardOut();
        std::string path = TempPath("capture.log");
        CaptureTo(path);
        fake::Edit([&](fake::State &s) {
            s.messages[5] = "Input/output error";
            s.waits = {WaitStep(How::AtOnce, EV_RXCHAR), WaitStep(How::Pending, EV_RXCHAR)};
            // The failure ends the first drain; "after" comes with the next event.
            s.reads = {ReadStep(How::AtOnce, "before"), c.failingRead,
                       ReadStep(How::AtOnce, "after")};
        });
        if (!Capturing()) BeginCapture();
        ASSERT_TRUE(RunLoop(true));
        EXPECT_EQ(Shown(),
                  "before" + ReportBelowDeviceOutput(c.message, 5, "Input/output error") + "after");
        fake::State after = fake::Snapshot();
        EXPECT_EQ(after.readSizes.size(), 5u);
        EXPECT_EQ(after.waitCalls, 3);
        EXPECT_EQ(ReadWholeFile(path), "beforeafter");
    }
}

TEST_F(ReceiveLoopTest, AStopSentBeforeTheMaskIsArmedIsNotLost) {
    // The keyboard thread runs to its end (Ctrl+Q at once) before the loop
    // arms its mask, which would otherwise undo the stop.
    fake::Edit([](fake::State &s) {
        s.threadMode = fake::ThreadMode::RunToEnd;
        s.console.push_back({.records = {fake::Key(0x11)}});
    });
    ASSERT_TRUE(RunLoop(false));
    fake::State after = fake::Snapshot();
    EXPECT_EQ(after.masksSet, (std::vector<DWORD>{0, EV_RXCHAR}));
    EXPECT_EQ(after.waitCalls, 0);
    EXPECT_TRUE(EventClosed(after));
    EXPECT_EQ(Shown(), "");
}

TEST_F(ReceiveLoopTest, BytesThatCameBeforeTheMaskWasArmedShowBeforeTheFirstWait) {
    // A device that greets as soon as DTR rises: no event is raised for it.
    fake::Edit([](fake::State &s) { s.reads = {ReadStep(How::AtOnce, "F3 T>")}; });
    ASSERT_TRUE(RunLoop(true));
    EXPECT_EQ(Shown(), "F3 T>");
    std::vector<std::string> calls = fake::Snapshot().calls;
    auto armed = std::find(calls.begin(), calls.end(), "SetCommMask(1)");
    auto read = std::find(calls.begin(), calls.end(), "ReadFile");
    auto wait = std::find(calls.begin(), calls.end(), "WaitCommEvent");
    EXPECT_TRUE(armed < read && read < wait);
}

TEST_F(ReceiveLoopTest, AStopEndsTheDrainOfADeviceThatNeverPauses) {
    std::deque<fake::Step> reads = {ReadStep(How::AtOnce, "0123456789"),
                                    ReadStep(How::DeliverThenStop, "abcdefghij")};
    for (int i = 0; i < 50; ++i) reads.push_back(ReadStep(How::AtOnce, "klmnopqrst"));
    std::string path = TempPath("capture.log");
    CaptureTo(path);
    fake::Edit([&](fake::State &s) { s.reads = reads; });
    ASSERT_TRUE(RunLoop(false));
    // What came before the stop is shown and captured; nothing is read after.
    EXPECT_EQ(Shown(), "0123456789abcdefghij");
    EXPECT_EQ(ReadWholeFile(path), "0123456789abcdefghij");
    fake::State after = fake::Snapshot();
    EXPECT_EQ(after.readSizes.size(), 2u);
    EXPECT_EQ(after.waitCalls, 0);
}

TEST_F(ReceiveLoopTest, WaitsThatEndOddlyAfterTheStopAreTheStopNotAFailure) {
    // A driver that keeps a wait on an emptied mask pending: the loop empties
    // the mask again once the wait pends. A driver that ends the wait with
    // "operation aborted" (Wine): no E008.
    const fake::Step waits[] = {WaitStep(How::StopThenPends, 0),
                                WaitStep(How::PendingStopFails, 0, ERROR_OPERATION_ABORTED)};
    for (const fake::Step &w : waits) {
        SCOPED_TRACE(static_cast<int>(w.how));
        NextCase();
        g_stopRequested.store(false);
        LeaveKeyboardOut();
        fake::Edit([&](fake::State &s) {
            s.messages[ERROR_OPERATION_ABORTED] = "Operation aborted";
            s.waits = {w};
        });
        if (!Capturing()) BeginCapture();
        ASSERT_TRUE(RunLoop(false));
        EXPECT_EQ(Shown(), "");
        EXPECT_EQ(fake::Snapshot().waitCalls, 1);
    }
}

TEST_F(ReceiveLoopTest, AReadCompletedWithATimeoutIsAShortReadNotE010) {
    fake::Edit([](fake::State &s) {
        s.messages[ERROR_TIMEOUT] = "Timeout";
        s.reads = {ReadStep(How::PendingFails, "part", ERROR_TIMEOUT),
                   ReadStep(How::AtOnce, "ial")};
    });
    ASSERT_TRUE(RunLoop(true));
    EXPECT_EQ(Shown(), "partial");
}

TEST_F(ReceiveLoopTest, ACaptureThatCannotBeWrittenEndsTheSessionAfterShowingTheBytes) {
    CaptureTo("/dev/full");
    // What the port held when the capture failed is shown too, and no more:
    // the device goes on sending.
    fake::Edit([](fake::State &s) {
        s.inQueue = 8;
        s.reads = {ReadStep(How::AtOnce, "hello"), ReadStep(How::AtOnce, "12345678 and more")};
    });
    ASSERT_TRUE(RunLoop(false));
    EXPECT_EQ(Shown(),
              "hello12345678\nCannot write capture file /dev/full: No space left on device\n");
    fake::State after = fake::Snapshot();
    EXPECT_EQ(after.readSizes, (std::vector<DWORD>{10, 8}));
    EXPECT_EQ(after.waitCalls, 0);
    EXPECT_TRUE(EventClosed(after));
}

}  // namespace
