// What the end-to-end tests share: the program under test, its fixed texts,
// and checks on how a run went.
#pragma once

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <termios.h>
#include <vector>

#include "pty_harness.h"

namespace e2e {

inline const std::string kProgram = TORVANE_PROGRAM_PATH;
inline const std::string kVersion = TORVANE_EXPECTED_VERSION;

// Printed by the keyboard thread once the console is raw: from then on keys
// and device bytes may be sent.
inline const std::string kReadyLine = "press ENTER to start, Ctrl+Q to terminate\n";

inline std::string UsageBlock() {
    return "TorvaneTerminal " + kVersion +
           " - serial terminal for diagnostic ports\n"
           "https://www.quellmark.example\n"
           "Usage:\n"
           "TorvaneTerminal [port] [speed]\n"
           "Example for Torvane F3: TorvaneTerminal /dev/ttyUSB0 38400\n";
}

// A signal a test sends to the running program, named for the test case it
// drives.
struct SignalCase {
    const char *name;
    int signal;
};

inline constexpr SignalCase kTerminate = {"Terminate", SIGTERM};
inline constexpr SignalCase kHangUp = {"HangUp", SIGHUP};

// Every signal whose default action ends the process: on each, the program
// gives the port back and restores the console.
inline constexpr SignalCase kEndingSignals[] = {
    kTerminate,
    kHangUp,
    {"Interrupt", SIGINT},
    {"Quit", SIGQUIT},
    {"BrokenPipe", SIGPIPE},
    {"User1", SIGUSR1},
    {"User2", SIGUSR2},
    {"Alarm", SIGALRM},
    {"CpuLimit", SIGXCPU},
    {"VirtualAlarm", SIGVTALRM},
    {"Profiling", SIGPROF},
};

// Names each case of a test run over signal cases.
inline std::string SignalCaseName(const ::testing::TestParamInfo<SignalCase> &info) {
    return info.param.name;
}

// The three start-up lines; the machine code and AppID are whatever this
// machine and build give, in their fixed shapes.
inline std::regex StartupLinesPattern() {
    std::string version = std::regex_replace(kVersion, std::regex(R"(\.)"), R"(\.)");
    return std::regex("TorvaneTerminal " + version +
                      "\nMachine Code [0-9A-F]{12}\nAppID [0-9A-F]*\n");
}

// The line after the first usage block names serial ports. They are this
// machine's own, so only the line's shape is known: "none found", or device
// paths, each with its adapter's name in brackets where it has one.
inline ::testing::AssertionResult PortsLineFollowsUsage(const std::string &text) {
    std::size_t at = text.find(UsageBlock());
    if (at == std::string::npos) return ::testing::AssertionFailure() << "no usage block in " << text;
    std::size_t begin = at + UsageBlock().size();
    std::string line = text.substr(begin, text.find('\n', begin) + 1 - begin);
    const std::string port = R"(/dev/[^ ,()\n]+( \([^()\n]+\))?)";
    const std::regex pattern("Serial ports: (none found|" + port + "(, " + port + ")*)\n");
    if (std::regex_match(line, pattern)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "after the usage block: \"" << line << '"';
}

// Each piece occurs in text after the one before it.
inline ::testing::AssertionResult AppearInOrder(const std::string &text,
                                                const std::vector<std::string> &pieces) {
    std::size_t from = 0;
    for (const std::string &piece : pieces) {
        std::size_t at = text.find(piece, from);
        if (at == std::string::npos) {
            return ::testing::AssertionFailure()
                   << "missing (in this order): \"" << piece << "\"\n--- console:\n" << text;
        }
        from = at + piece.size();
    }
    return ::testing::AssertionSuccess();
}

// The console is left as the program found it: every flag word and control
// character compared.
inline ::testing::AssertionResult SameConsoleSettings(const termios &before,
                                                      const termios &after) {
    auto result = ::testing::AssertionSuccess();
    bool same = true;
    auto compare = [&](const char *name, unsigned long was, unsigned long is) {
        if (was == is) return;
        if (same) result = ::testing::AssertionFailure();
        same = false;
        result << name << " was 0x" << std::hex << was << ", is 0x" << is << std::dec << "; ";
    };
    compare("c_iflag", before.c_iflag, after.c_iflag);
    compare("c_oflag", before.c_oflag, after.c_oflag);
    compare("c_lflag", before.c_lflag, after.c_lflag);
    compare("c_cflag", before.c_cflag, after.c_cflag);
    for (std::size_t i = 0; i < NCCS; ++i) {
        if (before.c_cc[i] != after.c_cc[i]) {
            std::string name = "c_cc[" + std::to_string(i) + "]";
            compare(name.c_str(), before.c_cc[i], after.c_cc[i]);
        }
    }
    return result;
}

// The program ended by itself with status 0, reported no sanitizer finding,
// and left the console's settings as they were.
inline ::testing::AssertionResult EndedCleanly(const ProgramRun &run) {
    if (!run.ended() || run.DescribeEnd() != "exit 0") {
        return ::testing::AssertionFailure()
               << "ended with " << run.DescribeEnd() << "\n--- console:\n" << run.consoleText();
    }
    const std::string text = run.consoleText();
    for (const char *finding : {"Sanitizer", "runtime error:"}) {
        if (text.find(finding) != std::string::npos) {
            return ::testing::AssertionFailure() << "sanitizer report:\n" << text;
        }
    }
    termios now;
    if (!run.ConsoleSettingsNow(&now)) {
        return ::testing::AssertionFailure() << "console settings unreadable";
    }
    return SameConsoleSettings(run.consoleBefore(), now);
}

// The first place two byte strings differ, for a readable failure on large
// transfers.
inline ::testing::AssertionResult SameBytes(const std::string &expected,
                                            const std::string &actual) {
    if (expected == actual) return ::testing::AssertionSuccess();
    std::size_t at = 0;
    while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) ++at;
    auto result = ::testing::AssertionFailure();
    result << "expected " << expected.size() << " bytes, got " << actual.size()
           << "; first difference at offset " << at;
    if (at < expected.size()) {
        result << ": expected 0x" << std::hex << (static_cast<unsigned>(expected[at]) & 0xFF);
    }
    if (at < actual.size()) {
        result << ", got 0x" << std::hex << (static_cast<unsigned>(actual[at]) & 0xFF);
    }
    return result;
}

// Starts the program under test (or one that runs it). A leak check in a sanitizer build is told
// of the one allocation the program keeps on purpose until it ends.
inline bool StartProgram(ProgramRun &run, LaunchOptions options,
                         const std::string &program = kProgram) {
    std::string leakOptions = "suppressions=" TORVANE_E2E_LEAK_SUPPRESSIONS ":print_suppressions=0";
    if (const char *given = std::getenv("LSAN_OPTIONS")) {
        leakOptions = std::string(given) + ":" + leakOptions;
    }
    options.environment.push_back("LSAN_OPTIONS=" + leakOptions);
    return run.Start(program, std::move(options));
}

}  // namespace e2e

// Starts the program; a failure to start ends the test.
#define E2E_START(run, ...) \
    ASSERT_TRUE(::e2e::StartProgram((run), (__VA_ARGS__))) << std::strerror(errno)
