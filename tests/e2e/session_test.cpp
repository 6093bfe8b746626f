// A running session: bytes from the device to the console and the capture
// file, keys to the device, and every way a session ends.
#include <csignal>
#include <cstdint>
#include <fstream>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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

// Fills the port's output queue as a device that stopped reading leaves it:
// written from the test's own hold on the port until it takes no more, in
// ever smaller pieces (the terminal may refuse a large piece where a small
// one still fits) and again after a pause (it moves bytes on meanwhile).
std::string FillOutputQueue(const ProgramRun &run) {
    std::string filled;
    const std::string chunk(1024, 'F');
    for (std::size_t before = std::string::npos; filled.size() != before;) {
        before = filled.size();
        for (std::size_t size : {std::size_t{1024}, std::size_t{64}, std::size_t{1}}) {
            for (ssize_t put; (put = write(run.deviceSlave(), chunk.data(), size)) > 0;) {
                filled.append(chunk, 0, static_cast<std::size_t>(put));
            }
        }
        pollfd room = {run.deviceSlave(), POLLOUT, 0};
        poll(&room, 1, 200);
    }
    return filled;
}

TEST(Keys, CtrlQEndsTheSessionWhileTheDeviceTakesNothing) {
    ProgramRun run;
    E2E_START(run, LaunchOptions{{kDevicePlaceholder}});
    ASSERT_TRUE(run.WaitForConsole(kReadyLine)) << run.consoleText();

    // Keys typed while the device reads nothing wait, a paste of many
    // thousands too; once it reads again, even after a second, they all
    // arrive, in order.
    run.SetDeviceReading(false);
    std::string expected = FillOutputQueue(run);
    ASSERT_FALSE(expected.empty());
    std::string keys;
    for (int i = 0; i < 20000; ++i) keys.push_back(static_cast<char>('0' + i % 10));
    ASSERT_TRUE(run.Type(keys));
    run.WaitUntil([] { return false; }, milliseconds(1000));
    run.SetDeviceReading(true);
    expected += keys;
    ASSERT_TRUE(run.WaitForDeviceBytes(expected.size())) << run.deviceBytes().size();
    EXPECT_TRUE(SameBytes(expected, run.deviceBytes()));

    // Stopped for good: hundreds of keys, then Ctrl+Q still ends the session.
    run.SetDeviceReading(false);
    ASSERT_FALSE(FillOutputQueue(run).empty());
    ASSERT_TRUE(run.Type(std::string(400, 'k')));
    ASSERT_TRUE(run.Type("\x11"));
    const Clock::time_point typed = Clock::now();
    ASSERT_TRUE(run.Finish(milliseconds(3000))) << run.consoleText();
    const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - typed);
    RecordProperty("ctrl_q_to_end_ms", static_cast<int>(took.count()));
    EXPECT_TRUE(EndedCleanly(run));
}

TEST(Keys, EachKeyReachesTheDeviceAsOneByteAndCtrlQEndsTheSession) {
    // Also on a console another program left half raw (no line editing, no
    // echo, no signals, but XON/XOFF and CR-to-LF still on): the session's
    // mode is applied in full all the same.
    for (tcflag_t cleared : {tcflag_t{0}, tcflag_t{ICANON | ECHO | ISIG}}) {
        SCOPED_TRACE(cleared ? "a half-raw console" : "a console in its usual mode");
        LaunchOptions options{{kDevicePlaceholder}};
        options.clearedConsoleFlags = cleared;
        ProgramRun run;
        E2E_START(run, options);
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
        // Linux console's F1, F1 with modifiers in the SS3 form, and
        // sequences longer than any key's (one longer than the read-ahead),
        // even typed together with a key that has one.
        ASSERT_TRUE(run.Type("\x1b[A\x1bOP\x1b[1;5C\x1b[15~\x1b[[A\x1bO2P\x1bO5P\x1bO1;2P\x1b[" +
                             std::string(40, '0') + "m\x1b[" + std::string(5000, '1') + "mz"));
        ASSERT_TRUE(run.WaitForDeviceBytes(12));
        // Nor do the strings and mouse reports a terminal sends on its own:
        // OSC, DCS, APC and PM, ended by BEL or ST, and X10 reports (one with
        // a byte above 0x7F).
        ASSERT_TRUE(run.Type("\x1b]11;rgb:0000/0000/0000\x07\x1bP>|tmux 3.3a\x1b\\"
                             "\x1b_app\x1b\\\x1b^pm\x07\x1b[M !!\x1b[M\xe0!!y"));
        ASSERT_TRUE(run.WaitForDeviceBytes(13));
        // A lone Esc is the Esc key, once nothing follows it for a moment;
        // so are Esc and the key of Alt+Shift+O, Alt+[, Alt+] and Alt+Shift+P.
        for (const char *alone : {"\x1b", "\x1bO", "\x1b[", "\x1b]", "\x1bP"}) {
            ASSERT_TRUE(run.Type(alone));
            ASSERT_TRUE(run.WaitForDeviceBytes(run.deviceBytes().size() + std::strlen(alone)));
        }
        const std::string sent("\r\x03\x1a" "AT+X?\r\x13\x08" "zy\x1b\x1bO\x1b[\x1b]\x1bP");
        EXPECT_EQ(run.deviceBytes(), sent);

        // Ctrl+Q inside an SS3 sequence or a terminal's string is not taken
        // as part of it: it still ends the session. The keys typed before it
        // all reach the device, though it reads them only after the end;
        // the rest of the paste is thrown away, never left for the shell.
        const std::string lastKeys(100, 'k');
        const char *stop = cleared ? "\x1b]0;title\x11" : "\x1bO1;2\x11";
        run.SetDeviceReading(false);
        ASSERT_TRUE(run.Type(lastKeys + stop + std::string(12000, 'y') + "\recho PWNED\r"));
        ASSERT_TRUE(run.Finish()) << run.consoleText();
        EXPECT_TRUE(EndedCleanly(run));
        run.SetDeviceReading(true);
        ASSERT_TRUE(run.WaitForDeviceBytes(sent.size() + lastKeys.size()));
        std::string unread;
        ASSERT_TRUE(run.UnreadConsoleInput(&unread));
        EXPECT_EQ(unread.size(), 0u);
        // Ctrl+Q itself is never sent, and nothing typed was echoed.
        EXPECT_EQ(run.deviceBytes(), sent + lastKeys);
        EXPECT_EQ(run.consoleText(), shownBeforeKeys + "still here\n");
    }
}

class NotAConsole : public ::testing::TestWithParam<bool> {};

// Standard input from /dev/null, or closed: a closed descriptor must not be
// taken by the port, whose bytes the keyboard thread would send back to it.
TEST_P(NotAConsole, EndsTheSessionWithE002AndSendsTheDeviceNothing) {
    ProgramRun run;
    LaunchOptions options;
    options.args = {kDevicePlaceholder};
    options.stdinFromNull = !GetParam();
    options.closeStdin = GetParam();
    E2E_START(run, options);
    ASSERT_TRUE(run.Finish()) << run.consoleText();
    EXPECT_TRUE(EndedCleanly(run));
    const std::string text = run.consoleText();
    EXPECT_TRUE(AppearInOrder(text, {"E002_ReadConsoleInput failed...: (", UsageBlock()}));
    EXPECT_EQ(CountOf(text, "E002_"), 1u) << text;
    // The port was found: the session's own reports name no others.
    EXPECT_EQ(text.find("Serial ports"), std::string::npos) << text;
    EXPECT_EQ(run.deviceBytes(), "");
}

INSTANTIATE_TEST_SUITE_P(Keys, NotAConsole, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return info.param ? "StdinClosed" : "StdinFromDevNull";
                         });

TEST(Keys, AClosedStandardOutputSendsTheDeviceNothingOfTheProgramsOwn) {
    ProgramRun run;
    LaunchOptions options;
    options.args = {kDevicePlaceholder};
    options.closeStdout = true;
    E2E_START(run, options);
    ASSERT_TRUE(run.WaitForRawConsole());
    ASSERT_TRUE(run.DeviceSends("ping\n"));
    ASSERT_TRUE(run.Type("k"));
    ASSERT_TRUE(run.WaitForDeviceBytes(1));
    ASSERT_TRUE(run.Type("\x11"));
    ASSERT_TRUE(run.Finish());
    EXPECT_TRUE(EndedCleanly(run));
    // Only the key: no banner, no echo of what the device sent.
    EXPECT_EQ(run.deviceBytes(), "k");
}

// --- How a session ends -------------------------------------------------------------

// Ended by Ctrl+Q (signal 0) or by each signal that ends a process.
class SessionEnd : public ::testing::TestWithParam<SignalCase> {};

TEST_P(SessionEnd, ConsoleIsRestoredAndTheCaptureHoldsWhatWasShown) {
    const SignalCase &c = GetParam();
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
    // The port is not left exclusive for the next user (root would pass the
    // flag, so it is asked for, not tried).
    EXPECT_FALSE(run.DeviceExclusive());
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

INSTANTIATE_TEST_SUITE_P(Key, SessionEnd, ::testing::Values(SignalCase{"CtrlQ", 0}),
                         SignalCaseName);
INSTANTIATE_TEST_SUITE_P(Signals, SessionEnd, ::testing::ValuesIn(kEndingSignals),
                         SignalCaseName);

TEST(SessionEnd, DeviceThatHangsUpEndsTheSessionPromptly) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string capture = dir.path() + "/capture.log";
    // A terminal that can clear: the screen is cleared at start-up, with no
    // shell (nothing says "CLS: not found") and the scrollback kept.
    LaunchOptions options = CapturingSession(capture);
    options.environment = {"TERM=xterm"};
    ProgramRun run;
    E2E_START(run, options);
    ASSERT_TRUE(run.WaitForConsole(kReadyLine)) << run.consoleText();
    ASSERT_TRUE(run.DeviceSends("FATAL: head crash\nbye"));
    ASSERT_TRUE(run.WaitForConsole("bye")) << run.consoleText();

    run.HangUpDevice();
    // No key is needed: the failed wait ends the session by itself.
    ASSERT_TRUE(run.Finish()) << run.consoleText();
    EXPECT_TRUE(EndedCleanly(run));
    const std::string text = run.consoleText();
    EXPECT_EQ(text.rfind("\x1b[H\x1b[2J", 0), 0u) << text;
    EXPECT_EQ(CountOf(text, "\x1b[2J"), 1u) << text;
    EXPECT_EQ(text.find("\x1b[3J"), std::string::npos) << text;
    EXPECT_EQ(text.find("not found"), std::string::npos) << text;
    // The device's last words stay on screen, the report on a line below.
    const bool waitFailed = text.find("FATAL: head crash\nbye\nE008_GetOverlappedResult failed: (") !=
                                std::string::npos ||
                            text.find("FATAL: head crash\nbye\nE009_WaitCommEvent failed: (") !=
                                std::string::npos;
    EXPECT_TRUE(waitFailed) << text;
    std::string captured;
    ASSERT_TRUE(ReadWholeFile(capture, &captured));
    EXPECT_EQ(captured, "FATAL: head crash\nbye");
}

TEST(SessionEnd, JobControlAndOutsideChangesLeaveTheSessionRawAgain) {
    ProgramRun run;
    LaunchOptions options;
    options.args = {kDevicePlaceholder};
    options.asShellJob = true;
    E2E_START(run, options);
    ASSERT_TRUE(run.WaitForConsole(kReadyLine)) << run.consoleText();

    // Stopped: the user's own mode while the shell has the terminal.
    run.Signal(SIGTSTP);
    ASSERT_TRUE(run.WaitForStopped(true)) << run.DescribeEnd();
    termios stopped;
    ASSERT_TRUE(run.ConsoleSettingsNow(&stopped));
    EXPECT_TRUE(SameConsoleSettings(run.consoleBefore(), stopped));
    // Resumed: raw again, so Ctrl+C is a key, not a signal.
    run.Signal(SIGCONT);
    ASSERT_TRUE(run.WaitForStopped(false));
    ASSERT_TRUE(run.WaitForRawConsole());
    ASSERT_TRUE(run.Type("\x03"));
    ASSERT_TRUE(run.WaitForDeviceBytes(1));

    // Set cooked from outside (stty sane): the next key read puts the
    // session's mode back.
    ASSERT_TRUE(run.SetConsoleSettings(run.consoleBefore()));
    ASSERT_TRUE(run.Type("b\n"));
    ASSERT_TRUE(run.WaitForDeviceBytes(3));
    ASSERT_TRUE(run.WaitForRawConsole());
    ASSERT_TRUE(run.Type("\x03\x11"));
    ASSERT_TRUE(run.Finish()) << run.consoleText();
    EXPECT_TRUE(EndedCleanly(run));
    EXPECT_EQ(run.deviceBytes(), "\x03" "b\n\x03");
}

TEST(SessionEnd, APortThatIsTheConsoleItselfLeavesTheConsoleAsFound) {
    // The port set-up changes the console's own settings; what is restored
    // must be what the console had before that.
    ProgramRun run;
    E2E_START(run, LaunchOptions{{"/dev/tty"}});
    ASSERT_TRUE(run.WaitForConsole(kReadyLine)) << run.consoleText();
    // Keys would go to either reader of the one terminal: end it so.
    run.Signal(SIGTERM);
    ASSERT_TRUE(run.Finish()) << run.consoleText();
    termios after;
    ASSERT_TRUE(run.ConsoleSettingsNow(&after));
    EXPECT_TRUE(SameConsoleSettings(run.consoleBefore(), after));
}

struct CaptureFailure {
    const char *name;
    const char *path;              // nullptr: a file in a fresh folder
    unsigned long fileSizeLimit;   // 0: none
    const char *reason;
};

class CaptureWrite : public ::testing::TestWithParam<CaptureFailure> {};

TEST_P(CaptureWrite, FailureEndsTheSessionWithItsReasonAfterShowingWhatCame) {
    const CaptureFailure &c = GetParam();
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string capture = c.path ? c.path : dir.path() + "/capture.log";
    LaunchOptions options = CapturingSession(capture);
    options.rawConsoleOutput = true;  // the bytes as they came, to compare
    if (c.fileSizeLimit) options.limits.push_back({RLIMIT_FSIZE, c.fileSizeLimit});
    ProgramRun run;
    E2E_START(run, options);
    ASSERT_TRUE(run.WaitForConsole(kReadyLine)) << run.consoleText();
    // More than the file may hold, and more than any buffer on the way: not
    // all of it is taken, since the session ends by itself on the failure.
    const std::string data = AllValuesAndABurst() + AllValuesAndABurst() + AllValuesAndABurst();
    run.DeviceSends(data);
    ASSERT_TRUE(run.Finish()) << run.consoleText();
    EXPECT_TRUE(EndedCleanly(run));
    const std::string report = "Cannot write capture file " + capture + ": " + c.reason + "\n";
    const std::string &bytes = run.consoleBytes();
    ASSERT_EQ(CountOf(bytes, report), 1u) << bytes.substr(bytes.size() > 300 ? bytes.size() - 300 : 0);

    // Every byte taken off the port was shown before the report: what was
    // shown, what is still in the port and what it never took make up all
    // that was sent. (A line feed of the program's own may start the report.)
    const std::size_t start = bytes.find(kReadyLine) + kReadyLine.size();
    std::string shown = bytes.substr(start, bytes.rfind(report) - start);
    if (!shown.empty() && data.compare(0, shown.size(), shown) != 0) shown.pop_back();
    std::string rest;
    char buffer[4096];
    for (ssize_t got; (got = read(run.deviceSlave(), buffer, sizeof buffer)) > 0;) {
        rest.append(buffer, static_cast<std::size_t>(got));
    }
    EXPECT_TRUE(SameBytes(data, shown + rest + run.deviceBytesUnsent()));
}

INSTANTIATE_TEST_SUITE_P(
    Receive, CaptureWrite,
    ::testing::Values(CaptureFailure{"FullDevice", "/dev/full", 0, "No space left on device"},
                      CaptureFailure{"FileSizeLimit", nullptr, 64 * 1024, "File too large"}),
    [](const ::testing::TestParamInfo<CaptureFailure> &info) { return info.param.name; });

}  // namespace
}  // namespace e2e
