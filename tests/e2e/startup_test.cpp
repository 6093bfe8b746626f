// The program's start-up, its usage road and the ways bad input is refused
// before a session begins.
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include "e2e_support.h"

namespace e2e {
namespace {

// --- Start-up lines and the speed -------------------------------------------

struct SpeedCase {
    const char *name;
    std::vector<std::string> args;  // after the device
    speed_t expectedSpeed;
    bool notice;  // the "not a whole number" line is expected
};

class StartupSpeed : public ::testing::TestWithParam<SpeedCase> {};

TEST_P(StartupSpeed, LinesEchoTheCommandLineAndThePortRunsAtTheSpeed) {
    const SpeedCase &c = GetParam();
    ProgramRun run;
    LaunchOptions options;
    options.args = {kDevicePlaceholder};
    options.args.insert(options.args.end(), c.args.begin(), c.args.end());
    E2E_START(run, options);
    ASSERT_TRUE(run.WaitForConsole(kReadyLine)) << run.consoleText();

    const std::string text = run.consoleText();
    std::smatch startup;
    ASSERT_TRUE(std::regex_search(text, startup, StartupLinesPattern())) << text;
    const std::string after = startup.suffix();
    std::vector<std::string> expected;
    if (!c.args.empty()) {
        // Both echoed exactly as typed, whatever the rate holds.
        expected.push_back("Selected PORT " + run.devicePath() + "\n");
        expected.push_back("Selected RATE " + c.args[0] + "\n");
    }
    if (c.notice) expected.push_back("Speed " + c.args[0] + " is not a whole number from 1 to 4000000, using 38400\n");
    expected.push_back(kReadyLine);
    EXPECT_TRUE(AppearInOrder(after, expected));
    if (c.args.empty()) {
        EXPECT_EQ(text.find("Selected"), std::string::npos) << text;
    }
    if (!c.notice) {
        EXPECT_EQ(text.find("is not a whole number"), std::string::npos) << text;
    }

    // The device's side of the line, as the program left it for the session:
    // the speed, 8N1, and raw, so every byte value passes both ways.
    termios device;
    ASSERT_EQ(tcgetattr(run.deviceSlave(), &device), 0);
    EXPECT_EQ(cfgetospeed(&device), c.expectedSpeed);
    EXPECT_EQ(cfgetispeed(&device), c.expectedSpeed);
    EXPECT_EQ(device.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(device.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(device.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(device.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP | PARMRK), 0u);
    EXPECT_EQ(device.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(device.c_oflag & OPOST, 0u);

    // And the session runs on these settings, both ways.
    ASSERT_TRUE(run.DeviceSends("ping\n"));
    ASSERT_TRUE(run.WaitForConsole("ping\n")) << run.consoleText();
    ASSERT_TRUE(run.Type("k"));
    ASSERT_TRUE(run.WaitForDeviceBytes(1));
    EXPECT_EQ(run.deviceBytes(), "k");

    ASSERT_TRUE(run.Type("\x11"));
    ASSERT_TRUE(run.Finish());
    EXPECT_TRUE(EndedCleanly(run));
}

INSTANTIATE_TEST_SUITE_P(
    Speeds, StartupSpeed,
    ::testing::Values(SpeedCase{"PortOnly", {}, B38400, false},
                      SpeedCase{"Default", {"38400"}, B38400, false},
                      SpeedCase{"Faster", {"115200"}, B115200, false},
                      SpeedCase{"Word", {"fast"}, B38400, true},
                      SpeedCase{"TrailingJunk", {"9600baud"}, B38400, true},
                      SpeedCase{"MoreArgumentsThanRead", {"19200", "x", "y"}, B19200, false}),
    [](const ::testing::TestParamInfo<SpeedCase> &info) { return info.param.name; });

// --- The usage road -----------------------------------------------------------

TEST(UsageRoad, NoArgumentsShowsTheUsageScreenAndWaitsForOneKey) {
    ProgramRun run;
    E2E_START(run, LaunchOptions{});
    ASSERT_TRUE(run.WaitForConsole(UsageBlock())) << run.consoleText();

    const std::string text = run.consoleText();
    std::smatch startup;
    ASSERT_TRUE(std::regex_search(text, startup, StartupLinesPattern())) << text;
    EXPECT_TRUE(AppearInOrder(startup.suffix(),
                              {"TorvaneTerminal " + kVersion + " \n",
                               "Quellmark  - https://www.quellmark.example\n\n", UsageBlock()}));
    EXPECT_EQ(text.find("Selected"), std::string::npos) << text;
    EXPECT_EQ(text.find(kReadyLine), std::string::npos) << text;

    // The key wait makes the console raw, so one key, without Enter, is read.
    ASSERT_TRUE(run.WaitForRawConsole()) << run.consoleText();
    // Nothing but a key ends the wait (a bounded look, not a synchronisation).
    EXPECT_FALSE(run.EndsWithin(milliseconds(300))) << run.consoleText();
    ASSERT_TRUE(run.Type("x"));
    ASSERT_TRUE(run.Finish()) << run.consoleText();
    EXPECT_TRUE(EndedCleanly(run));
    EXPECT_EQ(run.consoleText().find("Problem:"), std::string::npos) << run.consoleText();
    EXPECT_TRUE(PortsLineFollowsUsage(run.consoleText()));
}

TEST(UsageRoad, KeyWaitWithoutAConsoleEndsAfterOneFailedRead) {
    ProgramRun run;
    LaunchOptions options;
    options.stdinFromNull = true;
    E2E_START(run, options);
    ASSERT_TRUE(run.Finish()) << run.consoleText();
    EXPECT_TRUE(EndedCleanly(run));
    const std::string text = run.consoleText();
    EXPECT_TRUE(AppearInOrder(text, {UsageBlock(), "\nProblem:ReadConsoleInput\n"}));
    EXPECT_EQ(CountOf(text, "Problem:ReadConsoleInput"), 1u) << text;
}

TEST(UsageRoad, HelpAndVersionAnswerAtOnceAndLeaveTheConsoleAlone) {
    for (const char *option : {"--help", "-h", "--version"}) {
      // Started in the background too: touching the console would stop it.
      for (bool background : {false, true}) {
        SCOPED_TRACE(std::string(option) + (background ? " &" : ""));
        LaunchOptions options{{option}};
        options.inBackground = background;
        // Typed before the program could read anything, and not echoed.
        options.clearedConsoleFlags = ICANON | ECHO;
        ProgramRun run;
        E2E_START(run, options);
        ASSERT_TRUE(run.Type("ab"));
        // No key wait: it ends by itself.
        ASSERT_TRUE(run.Finish()) << run.consoleText();
        EXPECT_TRUE(EndedCleanly(run));
        // Nothing but the answer: no screen clear, no start-up lines.
        const std::string text = run.consoleText();
        if (std::strcmp(option, "--version") == 0) {
            EXPECT_EQ(text, "TorvaneTerminal " + kVersion + "\n");
        } else {
            EXPECT_EQ(text.rfind(UsageBlock(), 0), 0u) << text;
            EXPECT_NE(text.find("Ctrl+Q ends the session"), std::string::npos) << text;
            EXPECT_EQ(text.find("Machine Code"), std::string::npos) << text;
        }
        // What was typed is left for whoever reads the console next.
        std::string unread;
        ASSERT_TRUE(run.UnreadConsoleInput(&unread));
        EXPECT_EQ(unread, "ab");
      }
    }
    // With anything after it, it is a port name like any other.
    ProgramRun run;
    E2E_START(run, LaunchOptions{{"--help", "38400"}});
    ASSERT_TRUE(run.Finish()) << run.consoleText();
    EXPECT_NE(run.consoleText().find("E012_Failed to open port: (2) "), std::string::npos)
        << run.consoleText();
}

// --- A port that cannot be opened ----------------------------------------------

enum class PortProblem { Missing, Locked, NotATerminal };

struct OpenFailureCase {
    const char *name;
    PortProblem problem;
    const char *errorLine;
};

class PortOpenFailure : public ::testing::TestWithParam<OpenFailureCase> {};

TEST_P(PortOpenFailure, ReportsE012WithTheSystemsReasonThenUsage) {
    const OpenFailureCase &c = GetParam();
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    ProgramRun run;
    LaunchOptions options;
    std::string port;
    switch (c.problem) {
    case PortProblem::Missing:
        port = dir.path() + "/no-such-port";
        break;
    case PortProblem::Locked:
        // Held the way another program using the port holds it.
        port = kDevicePlaceholder;
        options.lockDevice = true;
        break;
    case PortProblem::NotATerminal:
        port = dir.path() + "/plain-file";
        std::ofstream(port) << "not a port\n";
        break;
    }
    options.args = {port, "38400"};
    E2E_START(run, options);
    ASSERT_TRUE(run.Finish()) << run.consoleText();
    EXPECT_TRUE(EndedCleanly(run));
    const std::string text = run.consoleText();
    // The report survives the screen clear: the line, then the usage block.
    EXPECT_NE(text.find(std::string(c.errorLine) + UsageBlock()), std::string::npos) << text;
    EXPECT_TRUE(PortsLineFollowsUsage(text));
    EXPECT_EQ(text.find(kReadyLine), std::string::npos) << text;
    if (c.problem == PortProblem::NotATerminal) {
        std::string content;
        ASSERT_TRUE(ReadWholeFile(port, &content));
        EXPECT_EQ(content, "not a port\n");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Ports, PortOpenFailure,
    ::testing::Values(
        OpenFailureCase{"Missing", PortProblem::Missing,
                        "E012_Failed to open port: (2) No such file or directory\n\n"},
        OpenFailureCase{"HeldByAnother", PortProblem::Locked,
                        "E012_Failed to open port: (16) Device or resource busy\n\n"},
        OpenFailureCase{"NotATerminal", PortProblem::NotATerminal,
                        "E012_Failed to open port: (25) Inappropriate ioctl for device\n\n"}),
    [](const ::testing::TestParamInfo<OpenFailureCase> &info) { return info.param.name; });

TEST(PortOpenFailure, SecondInstanceOnAPortInUseGetsE012AndTheFirstRunsOn) {
    ProgramRun first;
    E2E_START(first, LaunchOptions{{kDevicePlaceholder}});
    ASSERT_TRUE(first.WaitForConsole(kReadyLine)) << first.consoleText();

    ProgramRun second;
    E2E_START(second, LaunchOptions{{first.devicePath(), "38400"}});
    ASSERT_TRUE(second.Finish()) << second.consoleText();
    EXPECT_TRUE(EndedCleanly(second));
    EXPECT_NE(second.consoleText().find("E012_Failed to open port: (16) Device or resource busy\n\n" +
                                        UsageBlock()),
              std::string::npos)
        << second.consoleText();

    // The refused opener did not disturb the session holding the port.
    ASSERT_TRUE(first.DeviceSends("still mine"));
    ASSERT_TRUE(first.WaitForConsole("still mine")) << first.consoleText();
    ASSERT_TRUE(first.Type("\r"));
    ASSERT_TRUE(first.WaitForDeviceBytes(1));
    EXPECT_EQ(first.deviceBytes(), "\r");
    ASSERT_TRUE(first.Type("\x11"));
    ASSERT_TRUE(first.Finish());
    EXPECT_TRUE(EndedCleanly(first));
}

// --- A capture path that cannot be used ----------------------------------------

TEST(CapturePath, LongerThanTheFieldIsRefusedBeforeThePortIsOpened) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    // The port does not exist either: had it been opened, E012 would show.
    const std::string port = dir.path() + "/no-such-port";
    const std::string capture(1024, 'c');
    ProgramRun run;
    E2E_START(run, LaunchOptions{{port, "38400", "3", "4", "5", capture}});
    ASSERT_TRUE(run.Finish()) << run.consoleText();
    EXPECT_TRUE(EndedCleanly(run));
    const std::string text = run.consoleText();
    EXPECT_NE(text.find("Capture path is too long: 1024 characters, at most 1023\n" + UsageBlock()),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("E012"), std::string::npos) << text;
    EXPECT_EQ(text.find(kReadyLine), std::string::npos) << text;
}

TEST(CapturePath, InAFolderThatDoesNotExistIsNamedAndNoSessionRuns) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string capture = dir.path() + "/missing-folder/capture.log";
    ProgramRun run;
    E2E_START(run, LaunchOptions{{kDevicePlaceholder, "38400", "3", "4", "5", capture}});
    ASSERT_TRUE(run.Finish()) << run.consoleText();
    EXPECT_TRUE(EndedCleanly(run));
    const std::string text = run.consoleText();
    EXPECT_NE(text.find("Cannot create capture file " + capture + ": No such file or directory\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find(kReadyLine), std::string::npos) << text;
    struct stat info;
    EXPECT_NE(stat((dir.path() + "/missing-folder").c_str(), &info), 0);
}

TEST(CapturePath, InUseByAnotherSessionIsRefusedAndLeftWhole) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string capture = dir.path() + "/capture.log";
    ProgramRun first;
    E2E_START(first, LaunchOptions{{kDevicePlaceholder, "38400", "3", "4", "5", capture}});
    ASSERT_TRUE(first.WaitForConsole(kReadyLine)) << first.consoleText();
    ASSERT_TRUE(first.DeviceSends("first words\n"));
    ASSERT_TRUE(first.WaitForConsole("first words\n")) << first.consoleText();

    ProgramRun second;
    E2E_START(second, LaunchOptions{{kDevicePlaceholder, "38400", "3", "4", "5", capture}});
    ASSERT_TRUE(second.Finish()) << second.consoleText();
    EXPECT_TRUE(EndedCleanly(second));
    EXPECT_NE(second.consoleText().find("Cannot create capture file " + capture +
                                        ": Device or resource busy\n"),
              std::string::npos)
        << second.consoleText();
    EXPECT_EQ(second.consoleText().find(kReadyLine), std::string::npos) << second.consoleText();

    // The first session's capture was not emptied and goes on.
    ASSERT_TRUE(first.DeviceSends("and more\n"));
    ASSERT_TRUE(first.WaitForConsole("and more\n")) << first.consoleText();
    ASSERT_TRUE(first.Type("\x11"));
    ASSERT_TRUE(first.Finish()) << first.consoleText();
    std::string captured;
    ASSERT_TRUE(ReadWholeFile(capture, &captured));
    EXPECT_EQ(captured, "first words\nand more\n");
}

TEST(CapturePath, ThePortItselfByAnyNameIsRefused) {
    // Captured into, the port would get every byte received back: an echoing
    // device would answer it without end.
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string link = dir.path() + "/port-link";
    for (bool byLink : {false, true}) {
        SCOPED_TRACE(byLink ? "a link to the port" : "the port's path");
        LaunchOptions options{{kDevicePlaceholder, "38400", "3", "4", "5",
                               byLink ? link : kDevicePlaceholder}};
        // Held until the link is made: the port's name is known only now.
        options.holdConsoleOutput = true;
        ProgramRun run;
        E2E_START(run, options);
        ASSERT_TRUE(!byLink || symlink(run.devicePath().c_str(), link.c_str()) == 0);
        ASSERT_TRUE(run.ReleaseConsoleOutput());
        ASSERT_TRUE(run.Finish()) << run.consoleText();
        EXPECT_TRUE(EndedCleanly(run));
        const std::string path = byLink ? link : run.devicePath();
        EXPECT_NE(run.consoleText().find("Cannot create capture file " + path +
                                         ": Device or resource busy\n"),
                  std::string::npos)
            << run.consoleText();
        EXPECT_EQ(run.consoleText().find(kReadyLine), std::string::npos) << run.consoleText();
    }
}

TEST(CapturePath, AFifoIsRefusedWithoutAReaderAndUsedWithOne) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string capture = dir.path() + "/capture.fifo";
    ASSERT_EQ(mkfifo(capture.c_str(), 0600), 0) << std::strerror(errno);
    {
        // Nobody reads it: refused at once, not waited on with the port held.
        ProgramRun run;
        E2E_START(run, LaunchOptions{{kDevicePlaceholder, "38400", "3", "4", "5", capture}});
        ASSERT_TRUE(run.Finish()) << run.consoleText();
        EXPECT_TRUE(EndedCleanly(run));
        const std::string text = run.consoleText();
        EXPECT_NE(text.find("Cannot create capture file " + capture + ": No such device or address\n"),
                  std::string::npos)
            << text;
        EXPECT_EQ(text.find(kReadyLine), std::string::npos) << text;
    }
    // A reader waits on it: the capture flows there.
    int reader = open(capture.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0) << std::strerror(errno);
    ProgramRun run;
    E2E_START(run, LaunchOptions{{kDevicePlaceholder, "38400", "3", "4", "5", capture}});
    ASSERT_TRUE(run.WaitForConsole(kReadyLine)) << run.consoleText();
    ASSERT_TRUE(run.DeviceSends("to the fifo\n"));
    ASSERT_TRUE(run.WaitForConsole("to the fifo\n")) << run.consoleText();
    ASSERT_TRUE(run.Type("\x11"));
    ASSERT_TRUE(run.Finish()) << run.consoleText();
    EXPECT_TRUE(EndedCleanly(run));
    char got[64] = {};
    EXPECT_EQ(read(reader, got, sizeof got - 1), 12);
    EXPECT_STREQ(got, "to the fifo\n");
    close(reader);
}

TEST(Startup, KeysTypedWhileStartUpRunsReachTheDeviceAsTypedOrNowhere) {
    // With the console's output held, start-up stops at its first flush, so
    // the keys are surely typed before any session could read them.
    for (bool portExists : {true, false}) {
        SCOPED_TRACE(portExists ? "a session starts" : "no session starts");
        LaunchOptions options;
        options.args = {portExists ? kDevicePlaceholder : "/dev/torvane-no-such-port"};
        options.holdConsoleOutput = true;
        ProgramRun run;
        E2E_START(run, options);
        // Line editing off: start-up is under way and keeps what is typed.
        ASSERT_TRUE(run.WaitForConsoleWithout(ICANON)) << run.consoleText();
        ASSERT_TRUE(run.Type("ab\r\x7f"));
        ASSERT_TRUE(run.ReleaseConsoleOutput());
        if (portExists) {
            ASSERT_TRUE(run.WaitForConsole(kReadyLine)) << run.consoleText();
            ASSERT_TRUE(run.WaitForDeviceBytes(4)) << run.deviceBytes();
            EXPECT_EQ(run.deviceBytes(), "ab\r\x08");
            ASSERT_TRUE(run.Type("\x11"));
        }
        ASSERT_TRUE(run.Finish()) << run.consoleText();
        EXPECT_TRUE(EndedCleanly(run));
        // Not echoed by the terminal either.
        EXPECT_EQ(run.consoleText().find("ab"), std::string::npos) << run.consoleText();
        // Keys typed for a device never reach the shell that started the program.
        std::string unread;
        ASSERT_TRUE(run.UnreadConsoleInput(&unread));
        EXPECT_EQ(unread, "");
    }
}

}  // namespace
}  // namespace e2e
