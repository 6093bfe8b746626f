// The simulated drive with the real terminal on it, as the quick start runs
// them: one session from the greeting to Ctrl+Q.
#include <csignal>
#include <cstdint>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "e2e_support.h"

namespace e2e {
namespace {

const std::string kSimulator = TORVANE_SIM_PATH;
const std::string kGreetingAndPrompt =
    "Torvane simulated drive, diagnostic port\n"
    "Type help and Enter for the commands.\n"
    "sim> ";

std::uint32_t Fnv1a(const std::string &text) {
    std::uint32_t hash = 2166136261u;
    for (unsigned char byte : text) hash = (hash ^ byte) * 16777619u;
    return hash;
}

// The terminal is the simulator's only child.
pid_t ChildOf(pid_t parent) {
    std::string children;
    std::string path = "/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) + "/children";
    if (!ReadWholeFile(path, &children)) return -1;
    return static_cast<pid_t>(std::atoi(children.c_str()));
}

TEST(Simulator, SessionFromGreetingToCtrlQWithAPacedDumpCaptured) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string capture = dir.path() + "/capture.txt";
    LaunchOptions options;
    options.args = {"--", "38400", "x", "x", "x", capture};
    // The drive's CR LF reaches the console as sent.
    options.rawConsoleOutput = true;
    ProgramRun run;
    ASSERT_TRUE(StartProgram(run, options, kSimulator)) << std::strerror(errno);

    // The terminal's ready line and the drive's greeting come in no fixed
    // order, and the ready line may fall inside the greeting.
    auto withoutReadyLine = [&run] {
        std::string text = run.consoleText();
        std::size_t at = text.find(kReadyLine);
        return at == std::string::npos ? std::string() : text.erase(at, kReadyLine.size());
    };
    ASSERT_TRUE(run.WaitUntil(
        [&] { return withoutReadyLine().find(kGreetingAndPrompt) != std::string::npos; }))
        << run.consoleText();
    EXPECT_EQ(CountOf(withoutReadyLine(), "sim> "), 1u) << run.consoleText();

    // The line the terminal opened: a pseudo-terminal that must be gone at the end.
    std::smatch port;
    const std::string shown = run.consoleText();
    ASSERT_TRUE(std::regex_search(shown, port, std::regex("Selected PORT (/dev/pts/[0-9]+)\n")))
        << shown;
    const std::string line = port[1];
    struct stat lineNode;
    ASSERT_EQ(stat(line.c_str(), &lineNode), 0) << line;
    const pid_t terminal = ChildOf(run.pid());
    ASSERT_GT(terminal, 0);
    const int terminalFd = static_cast<int>(syscall(SYS_pidfd_open, terminal, 0));
    ASSERT_GE(terminalFd, 0) << std::strerror(errno);

    ASSERT_TRUE(run.Type("help\r"));
    // The ready line may have come between the prompt and the echo.
    ASSERT_TRUE(run.WaitForConsole("help\n")) << run.consoleText();
    EXPECT_NE(withoutReadyLine().find("sim> help\n"), std::string::npos) << run.consoleText();
    ASSERT_TRUE(run.WaitForConsole("sim> ")) << run.consoleText();
    EXPECT_TRUE(AppearInOrder(run.consoleText(), {"help\n", "Commands:\n", "  help ", "  dump ",
                                                  "  burst ", "sim> "}));

    // Backspace erases what it echoed; the command runs as corrected.
    const auto typed = Clock::now();
    ASSERT_TRUE(run.Type("dumx\bp\r"));
    ASSERT_TRUE(run.WaitForConsole("dumx\b \bp\n")) << run.consoleText();
    const std::regex trailer("End of dump: ([0-9]+) characters, FNV-1a ([0-9A-F]{8})\n");
    ASSERT_TRUE(run.WaitUntil([&] {
        std::string text = run.consoleText();
        return std::regex_search(text, trailer);
    })) << run.consoleText();
    const double seconds = std::chrono::duration<double>(Clock::now() - typed).count();
    ASSERT_TRUE(run.WaitForConsole("sim> ")) << run.consoleText();

    // The capture holds the whole dump, as the trailer describes it.
    std::string captured;
    ASSERT_TRUE(ReadWholeFile(capture, &captured));
    std::smatch dump;
    ASSERT_TRUE(std::regex_search(
        captured, dump,
        std::regex("Dump of buffer 0: [0-9]+ bytes at ([0-9]+) baud\r\n([^]*)"
                   "End of dump: ([0-9]+) characters, FNV-1a ([0-9A-F]{8})\r\n")))
        << captured;
    EXPECT_EQ(dump[1], "38400");
    const std::string body = dump[2];
    EXPECT_GE(body.size(), 2048u);
    EXPECT_EQ(std::to_string(body.size()), dump[3]);
    char hash[9];
    std::snprintf(hash, sizeof hash, "%08X", static_cast<unsigned>(Fnv1a(body)));
    EXPECT_EQ(hash, dump[4].str());
    // Paced at the line rate: 10 bits a character at 38400 baud.
    const double nominal = static_cast<double>(dump.length(0)) / 3840.0;
    EXPECT_GE(seconds, 0.8 * nominal) << dump.length(0) << " bytes";
    EXPECT_LE(seconds, 3 * nominal + 2) << dump.length(0) << " bytes";

    // Ctrl+Q ends the terminal, and with it the simulator: nothing left.
    ASSERT_TRUE(run.Type("\x11"));
    ASSERT_TRUE(run.Finish()) << run.consoleText();
    EXPECT_TRUE(EndedCleanly(run));
    pollfd ended{terminalFd, POLLIN, 0};
    EXPECT_EQ(poll(&ended, 1, 0), 1) << "the terminal still runs";
    close(terminalFd);
    // Freed: the node is gone, or is another pseudo-terminal that got the
    // number since.
    struct stat now;
    if (stat(line.c_str(), &now) == 0) {
        EXPECT_TRUE(now.st_ctim.tv_sec != lineNode.st_ctim.tv_sec ||
                    now.st_ctim.tv_nsec != lineNode.st_ctim.tv_nsec)
            << line << " is still open";
    } else {
        EXPECT_EQ(errno, ENOENT) << line;
    }
}

TEST(Simulator, ATerminalKilledOutrightStillLeavesTheConsoleAsItWas) {
    ProgramRun run;
    ASSERT_TRUE(StartProgram(run, LaunchOptions{}, kSimulator)) << std::strerror(errno);
    // The session's raw mode is in force; the terminal cannot undo it now.
    ASSERT_TRUE(run.WaitForRawConsole()) << run.consoleText();
    const pid_t terminal = ChildOf(run.pid());
    ASSERT_GT(terminal, 0);
    ASSERT_EQ(kill(terminal, SIGKILL), 0) << std::strerror(errno);
    ASSERT_TRUE(run.Finish()) << run.consoleText();
    EXPECT_EQ(run.DescribeEnd(), "exit " + std::to_string(128 + SIGKILL));
    termios now;
    ASSERT_TRUE(run.ConsoleSettingsNow(&now));
    EXPECT_TRUE(SameConsoleSettings(run.consoleBefore(), now));
}

}  // namespace
}  // namespace e2e
