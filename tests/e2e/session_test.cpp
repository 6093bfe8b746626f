// A running session: bytes from the device to the console and the capture
// file, keys to the device, and every way a session ends.
#include <csignal>
#include <cstdint>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>

#include "e2e_support.h"

namespace e2e {
namespace {

// Every byte value once, then a long pseudo-random stream: more than any
// buffer on the way holds, so the relay has to keep up with a flood.
std::string AllValuesAndABurst() {
    std::string data;
    for (int value = 0; value < 256; ++value) data.push_back(static_cast<char>(value));
    std::uint32_t state = 0x2545F491u;
    for (int i = 0; i < 64 * 1024; ++i) {
        state = state * 1664525u + 1013904223u;
        data.push_back(static_cast<char>(state >> 24));
    }
    return data;
}

LaunchOptions CapturingSession(const std::string &capturePath) {
    LaunchOptions options;
    options.args = {kDevicePlaceholder, "38400", "3", "4", "5", capturePath};
    return options;
}

// --- From the device -----------------------------------------------------------

TEST(Receive, AllByteValuesAndABurstReachConsoleAndCaptureUnchanged) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string capture = dir.path() + "/capture.bin";
    LaunchOptions options = CapturingSession(capture);
    // Output processing off, so the console shows the bytes as they came
    // (with it on, the terminal itself would add a CR before each LF).
    options.rawConsoleOutput = true;
    ProgramRun run;
    E2E_START(run, options);
    ASSERT_TRUE(run.WaitForConsole(kReadyLine)) << run.consoleText();
    const std::size_t start = run.consoleBytes().find(kReadyLine) + kReadyLine.size();
    ASSERT_EQ(start, run.consoleBytes().size()) << "console output after the ready line";

    const std::string data = AllValuesAndABurst();
    ASSERT_TRUE(run.DeviceSends(data));
    ASSERT_TRUE(run.WaitForConsoleBytes(start + data.size()))
        << "console got " << run.consoleBytes().size() - start << " of " << data.size();
    EXPECT_TRUE(SameBytes(data, run.consoleBytes().substr(start)));

    ASSERT_TRUE(run.Type("\x11"));
    ASSERT_TRUE(run.Finish());
    EXPECT_TRUE(EndedCleanly(run));
    EXPECT_TRUE(SameBytes(data, run.consoleBytes().substr(start)));
    std::string captured;
    ASSERT_TRUE(ReadWholeFile(capture, &captured));
    EXPECT_TRUE(SameBytes(data, captured));
    // The port does not echo: nothing went back to the device.
    EXPECT_EQ(run.deviceBytes(), "");
}

TEST(Receive, PromptWithoutLineFeedShowsAtOnceAndIsAlreadyCaptured) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string capture = dir.path() + "/capture.log";
    // An earlier capture of the same name is emptied, not appended to.
    std::ofstream(capture) << "left from an earlier session\n";
    ProgramRun run;
    E2E_START(run, CapturingSession(capture));
    ASSERT_TRUE(run.WaitForConsole(kReadyLine)) << run.consoleText();

    ASSERT_TRUE(run.DeviceSends("login: "));
    // Nothing more comes from the device: the prompt must not wait in a buffer.
    ASSERT_TRUE(run.WaitForConsole("login: ")) << run.consoleText();
    // The capture is written before the console, so it already holds what
    // the console shows.
    std::string captured;
    ASSERT_TRUE(ReadWholeFile(capture, &captured));
    EXPECT_EQ(captured, "login: ");

    ASSERT_TRUE(run.Type("\x11"));
    ASSERT_TRUE(run.Finish());
    EXPECT_TRUE(EndedCleanly(run));
    ASSERT_TRUE(ReadWholeFile(capture, &captured));
    EXPECT_EQ(captured, "login: ");
}

TEST(Receive, CapturePathOfTheFullFieldLengthIsUsed) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    // 1023 characters: the longest path that fits, built of folders short
    // enough for the file system.
    std::string capture = dir.path();
    while (capture.size() + 1 + 200 + 1 + 100 < 1023) {
        capture += "/" + std::string(200, 'd');
        ASSERT_EQ(mkdir(capture.c_str(), 0700), 0) << capture;
    }
    capture += "/";
    capture += std::string(1023 - capture.size(), 'f');
    ASSERT_EQ(capture.size(), 1023u);

    ProgramRun run;
    E2E_START(run, CapturingSession(capture));
    ASSERT_TRUE(run.WaitForConsole(kReadyLine)) << run.consoleText();
    ASSERT_TRUE(run.DeviceSends("captured\n"));
    ASSERT_TRUE(run.WaitForConsole("captured\n")) << run.consoleText();
    ASSERT_TRUE(run.Type("\x11"));
    ASSERT_TRUE(run.Finish());
    EXPECT_TRUE(EndedCleanly(run));
    std::string captured;
    ASSERT_TRUE(ReadWholeFile(capture, &captured));
    EXPECT_EQ(captured, "captured\n");
}

// --- From the keyboard -----------------------------------------------------------

TEST(Keys, EachKeyReachesTheDeviceAsOneByteAndCtrlQEndsTheSession) {
    ProgramRun run;
    E2E_START(run, LaunchOptions{{kDevicePlaceholder}});
    ASSERT_TRUE(run.WaitForConsole(kReadyLine)) << run.consoleText();
    const std::string shownBeforeKeys = run.consoleText();

    ASSERT_TRUE(run.Type("\r"));  // Enter
    ASSERT_TRUE(run.WaitForDeviceBytes(1));
    EXPECT_EQ(run.deviceBytes(), "\r");

    ASSERT_TRUE(run.Type("\x03"));  // Ctrl+C: a byte like any other
    ASSERT_TRUE(run.WaitForDeviceBytes(2));
    EXPECT_EQ(run.deviceBytes(), "\r\x03");
    // Still running: the device is still heard.
    ASSERT_TRUE(run.DeviceSends("still here\n"));
    ASSERT_TRUE(run.WaitForConsole("still here\n")) << run.consoleText();
    EXPECT_FALSE(run.ended());

    ASSERT_TRUE(run.Type("\x1a"));  // Ctrl+Z
    ASSERT_TRUE(run.WaitForDeviceBytes(3));
    EXPECT_EQ(run.deviceBytes(), "\r\x03\x1a");

    // Keys typed together all arrive, in order; Backspace (DEL from the
    // terminal) is sent as the Windows console gives it, 0x08.
    ASSERT_TRUE(run.Type("AT+X?\r\x13\x7f"));
    ASSERT_TRUE(run.WaitForDeviceBytes(11));
    EXPECT_EQ(run.deviceBytes(), std::string("\r\x03\x1a" "AT+X?\r\x13\x08"));

    // Keys without a character send nothing: Up, F1, Ctrl+Right, F5, the
    // Linux console's F1, even typed together with a key that has one.
    ASSERT_TRUE(run.Type("\x1b[A\x1bOP\x1b[1;5C\x1b[15~\x1b[[Az"));
    ASSERT_TRUE(run.WaitForDeviceBytes(12));
    // A lone Esc is the Esc key, once nothing follows it for a moment.
    ASSERT_TRUE(run.Type("\x1b"));
    ASSERT_TRUE(run.WaitForDeviceBytes(13));
    const std::string sent("\r\x03\x1a" "AT+X?\r\x13\x08" "z\x1b");
    EXPECT_EQ(run.deviceBytes(), sent);

    ASSERT_TRUE(run.Type("\x11"));  // Ctrl+Q
    ASSERT_TRUE(run.Finish()) << run.consoleText();
    EXPECT_TRUE(EndedCleanly(run));
    // Ctrl+Q itself is never sent, and nothing typed was echoed.
    EXPECT_EQ(run.deviceBytes(), sent);
    EXPECT_EQ(run.consoleText(), shownBeforeKeys + "still here\n");
}

TEST(Keys, ConsoleThatIsNotATerminalEndsTheSessionWithE002) {
    ProgramRun run;
    LaunchOptions options;
    options.args = {kDevicePlaceholder};
    options.stdinFromNull = true;
    E2E_START(run, options);
    ASSERT_TRUE(run.Finish()) << run.consoleText();
    EXPECT_TRUE(EndedCleanly(run));
    const std::string text = run.consoleText();
    EXPECT_TRUE(AppearInOrder(text, {"E002_ReadConsoleInput failed...: (", UsageBlock()}));
    EXPECT_EQ(CountOf(text, "E002_"), 1u) << text;
    EXPECT_EQ(run.deviceBytes(), "");
}

// --- How a session ends -------------------------------------------------------------

struct EndingCase {
    const char *name;
    int signal;  // 0: Ctrl+Q
};

class SessionEnd : public ::testing::TestWithParam<EndingCase> {};

TEST_P(SessionEnd, ConsoleIsRestoredAndTheCaptureHoldsWhatWasShown) {
    const EndingCase &c = GetParam();
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string capture = dir.path() + "/capture.log";
    ProgramRun run;
    E2E_START(run, CapturingSession(capture));
    ASSERT_TRUE(run.WaitForConsole(kReadyLine)) << run.consoleText();
    termios during;
    ASSERT_TRUE(run.ConsoleSettingsNow(&during));
    // Raw for the session: no line editing, no echo, no signals from keys,
    // Ctrl+Q and Enter unchanged; output processing stays as it was.
    EXPECT_EQ(during.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(during.c_iflag & (IXON | ICRNL), 0u);
    EXPECT_EQ(during.c_oflag, run.consoleBefore().c_oflag);

    ASSERT_TRUE(run.DeviceSends("before the end\n"));
    ASSERT_TRUE(run.WaitForConsole("before the end\n")) << run.consoleText();

    if (c.signal == 0) {
        ASSERT_TRUE(run.Type("\x11"));
    } else {
        run.Signal(c.signal);
    }
    ASSERT_TRUE(run.Finish()) << run.consoleText();
    termios after;
    ASSERT_TRUE(run.ConsoleSettingsNow(&after));
    EXPECT_TRUE(SameConsoleSettings(run.consoleBefore(), after));
    if (c.signal == 0) {
        EXPECT_TRUE(EndedCleanly(run));
    } else {
        // Ended by that signal or by itself, not by a crash.
        int status = run.status();
        EXPECT_TRUE((WIFSIGNALED(status) && WTERMSIG(status) == c.signal) ||
                    (WIFEXITED(status) && WEXITSTATUS(status) == 0))
            << run.DescribeEnd() << "\n" << run.consoleText();
    }
    EXPECT_EQ(run.consoleText().find("Sanitizer"), std::string::npos) << run.consoleText();
    // A capture never lags what the console showed, however the session ends.
    std::string captured;
    ASSERT_TRUE(ReadWholeFile(capture, &captured));
    EXPECT_EQ(captured, "before the end\n");
}

INSTANTIATE_TEST_SUITE_P(Roads, SessionEnd,
                         ::testing::Values(EndingCase{"CtrlQ", 0}, EndingCase{"Terminate", SIGTERM},
                                           EndingCase{"HangUpSignal", SIGHUP},
                                           EndingCase{"Interrupt", SIGINT}),
                         [](const ::testing::TestParamInfo<EndingCase> &info) {
                             return info.param.name;
                         });

TEST(SessionEnd, DeviceThatHangsUpEndsTheSessionPromptly) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string capture = dir.path() + "/capture.log";
    ProgramRun run;
    E2E_START(run, CapturingSession(capture));
    ASSERT_TRUE(run.WaitForConsole(kReadyLine)) << run.consoleText();
    ASSERT_TRUE(run.DeviceSends("bye\n"));
    ASSERT_TRUE(run.WaitForConsole("bye\n")) << run.consoleText();

    run.HangUpDevice();
    // No key is needed: the failed wait ends the session by itself.
    ASSERT_TRUE(run.Finish()) << run.consoleText();
    EXPECT_TRUE(EndedCleanly(run));
    const std::string text = run.consoleText();
    const bool waitFailed = text.find("E008_GetOverlappedResult failed: (") != std::string::npos ||
                            text.find("E009_WaitCommEvent failed: (") != std::string::npos;
    EXPECT_TRUE(waitFailed) << text;
    std::string captured;
    ASSERT_TRUE(ReadWholeFile(capture, &captured));
    EXPECT_EQ(captured, "bye\n");
}

}  // namespace
}  // namespace e2e
