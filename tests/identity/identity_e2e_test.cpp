// The built program's identification and usage report, end to end: a copy of
// the program built to report to a loopback port, started beside a check file
// of the test's making, reporting to a listener of the test's own.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "hex_text.h"
#include "net_support.h"

extern char **environ;

namespace {

namespace fs = std::filesystem;
using identity_test::Hex;
using identity_test::HttpRequest;
using identity_test::Listener;
using identity_test::ListenerMode;
using identity_test::ParseHttpRequest;
using identity_test::ReadSysLinks;
using identity_test::SysLink;
using Clock = std::chrono::steady_clock;

constexpr unsigned short kPort = TORVANE_LOOPBACK_PORT;
const char kOkReply[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

// Every start must end well within this; the report alone may take five
// seconds when the service never answers.
constexpr auto kRunDeadline = std::chrono::seconds(20);

struct ProgramRun {
    bool finished = false;  // ended by itself before the deadline
    int status = 0;
    std::string out;
    std::string err;
    double seconds = 0;
};

// Starts the program with stdin from /dev/null, collects its output and reaps
// it; a program still running at the deadline is killed (and reaped).
ProgramRun RunProgram(const std::string &exe, const std::vector<std::string> &arguments) {
    ProgramRun run;
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2: " << std::strerror(errno);
        return run;
    }
    posix_spawn_file_actions_t actions;
    int prepared = posix_spawn_file_actions_init(&actions);
    if (prepared == 0) {
        prepared = posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    }
    if (prepared == 0) prepared = posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    if (prepared == 0) prepared = posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(exe.c_str()));
    for (const std::string &argument : arguments) {
        argv.push_back(const_cast<char *>(argument.c_str()));
    }
    argv.push_back(nullptr);

    Clock::time_point start = Clock::now();
    pid_t pid = -1;
    int spawned = prepared != 0 ? prepared
                                : posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv.data(),
                                              environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    if (spawned != 0) {
        close(out[0]);
        close(err[0]);
        ADD_FAILURE() << "posix_spawn " << exe << ": " << std::strerror(spawned);
        return run;
    }

    Clock::time_point deadline = start + kRunDeadline;
    std::vector<pollfd> streams = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string *texts[] = {&run.out, &run.err};
    bool timedOut = false;
    while (streams[0].fd >= 0 || streams[1].fd >= 0) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            break;
        }
        int ready = poll(streams.data(), streams.size(), static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR) break;
        for (std::size_t i = 0; i < streams.size(); ++i) {
            if (streams[i].fd < 0 || !streams[i].revents) continue;
            char chunk[4096];
            ssize_t count = read(streams[i].fd, chunk, sizeof chunk);
            if (count > 0) {
                texts[i]->append(chunk, static_cast<std::size_t>(count));
            } else {
                close(streams[i].fd);
                streams[i].fd = -1;  // poll skips negative descriptors
            }
        }
    }
    for (const pollfd &stream : streams) {
        if (stream.fd >= 0) close(stream.fd);
    }
    // The output has ended, so the program is ending: it gets the rest of the
    // deadline to do so, then it is killed. (No portable timed waitpid: the
    // wait is checked every few milliseconds.)
    for (;;) {
        pid_t reaped = waitpid(pid, &run.status, WNOHANG);
        if (reaped == pid) break;
        if (reaped < 0 && errno != EINTR) {
            ADD_FAILURE() << "waitpid: " << std::strerror(errno);
            return run;
        }
        if (Clock::now() >= deadline) {
            timedOut = true;
            kill(pid, SIGKILL);
            while (waitpid(pid, &run.status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    run.finished = !timedOut;
    return run;
}

// The value printed after a label at the start of a line, up to its line end.
bool PrintedValue(const std::string &out, const std::string &label, std::string *value) {
    std::size_t at = 0;
    while ((at = out.find(label, at)) != std::string::npos) {
        if (at == 0 || out[at - 1] == '\n' || out[at - 1] == '\r') {
            std::size_t end = out.find('\n', at);
            if (end == std::string::npos) return false;
            *value = out.substr(at + label.size(), end - at - label.size());
            return true;
        }
        at += label.size();
    }
    return false;
}

class UsageReportEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        auto stamp = Clock::now().time_since_epoch().count();
        directory_ = fs::temp_directory_path() /
                     ("torvane-e2e-" + std::to_string(getpid()) + "-" + std::to_string(stamp));
        ASSERT_TRUE(fs::create_directories(directory_));
        // A copy, so that the check file beside it is the test's own.
        exe_ = (directory_ / "TorvaneTerminal").string();
        fs::copy_file(TORVANE_LOOPBACK_EXE, exe_);
        fs::permissions(exe_, fs::perms::owner_all, fs::perm_options::add);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(directory_, ignored);
    }

    void WriteCheck(const std::vector<unsigned char> &bytes) {
        std::ofstream check(directory_ / "check", std::ios::binary);
        check.write(reinterpret_cast<const char *>(bytes.data()),
                    static_cast<std::streamsize>(bytes.size()));
        ASSERT_TRUE(check.good());
    }

    // The machine code the kernel's interface list gives, by the layer's rules.
    static void ExpectMachineCodeOfThisComputer(const std::string &printed) {
        std::vector<SysLink> links;
        if (!ReadSysLinks(&links)) {
            std::printf("/sys/class/net cannot be read: printed code %s not compared\n",
                        printed.c_str());
            return;
        }
        EXPECT_EQ(printed, links.empty() ? "000000000000" : links.back().address);
    }

    // Checks one start's output and the one request the listener received.
    void ExpectOneReport(const ProgramRun &run, const std::string &appId) {
        ASSERT_TRUE(run.finished) << "still running after the deadline\n" << run.out;
        EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0)
            << "status " << run.status << "\n" << run.err;
        std::string machineCode, printedAppId;
        ASSERT_TRUE(PrintedValue(run.out, "Machine Code ", &machineCode)) << run.out;
        ASSERT_TRUE(PrintedValue(run.out, "AppID ", &printedAppId)) << run.out;
        EXPECT_EQ(printedAppId, appId);
        ASSERT_EQ(machineCode.size(), 12u);
        ExpectMachineCodeOfThisComputer(machineCode);

        std::vector<std::string> requests = listener_.Requests();
        ASSERT_EQ(requests.size(), 1u) << "one report per start";
        EXPECT_EQ(listener_.Connections(), 1u);
        // Shown in the test log: the exact request as it came off the wire.
        std::printf("request received by the listener:\n%s", requests[0].c_str());
        HttpRequest request;
        ASSERT_TRUE(ParseHttpRequest(requests[0], &request)) << requests[0];
        EXPECT_EQ(request.requestLine, "GET /ws/applicationlog.php?mac=" + machineCode +
                                           "&app=" + appId + " HTTP/1.1");
        EXPECT_EQ(request.headers["host"], "127.0.0.1:" + std::to_string(kPort));
        EXPECT_EQ(request.headers["user-agent"], "Sample");
        EXPECT_EQ(request.headers["pragma"], "no-cache");
        EXPECT_EQ(request.headers["cache-control"], "no-cache");
        EXPECT_EQ(request.raw.find("\r\n\r\n"), request.raw.size() - 4) << "a body was sent";
    }

    fs::path directory_;
    std::string exe_;
    Listener listener_;
};

TEST_F(UsageReportEndToEnd, TheUsageRoadReportsOnce) {
    ASSERT_TRUE(listener_.Start(kPort, ListenerMode::Answer, kOkReply)) << listener_.error();
    WriteCheck({0x01, 0xAB});
    ProgramRun run = RunProgram(exe_, {});
    // The usage screen was reached and its key wait ended on the closed input.
    EXPECT_NE(run.out.find("Problem:ReadConsoleInput"), std::string::npos) << run.out;
    ExpectOneReport(run, "01AB");
}

TEST_F(UsageReportEndToEnd, TheSessionRoadReportsOnceWithAFullCheckFile) {
    ASSERT_TRUE(listener_.Start(kPort, ListenerMode::Answer, kOkReply)) << listener_.error();
    std::vector<unsigned char> contents(1500);
    for (std::size_t i = 0; i < contents.size(); ++i) {
        contents[i] = static_cast<unsigned char>(i * 13 + 5);
    }
    WriteCheck(contents);
    ProgramRun run = RunProgram(exe_, {"/nonexistent/tty", "38400"});
    EXPECT_NE(run.out.find("E012_Failed to open port"), std::string::npos) << run.out;
    // All 1024 bytes that count, in the printed line and in the request.
    ExpectOneReport(run, Hex(contents, 1024));
}

TEST_F(UsageReportEndToEnd, InstalledAtAPathLongerThanTheFieldReadsNoCheckFile) {
    ASSERT_TRUE(listener_.Start(kPort, ListenerMode::Answer, kOkReply)) << listener_.error();
    // A check file in every folder on the way, the program's own included:
    // whichever a cut path would name, none may be read.
    fs::path folder = directory_;
    WriteCheck({0x5A});
    for (char level = 'a'; folder.string().size() <= 1100; ++level) {
        folder /= std::string(200, level);
        ASSERT_TRUE(fs::create_directories(folder));
        fs::copy_file(directory_ / "check", folder / "check");
    }
    fs::path exe = folder / "TorvaneTerminal";
    fs::copy_file(exe_, exe);
    ProgramRun run = RunProgram(exe.string(), {"/nonexistent/tty"});
    EXPECT_NE(run.out.find("E012_Failed to open port"), std::string::npos) << run.out;
    ExpectOneReport(run, "");
}

TEST_F(UsageReportEndToEnd, HelpAndVersionSendNoReport) {
    ASSERT_TRUE(listener_.Start(kPort, ListenerMode::Answer, kOkReply)) << listener_.error();
    for (const char *option : {"--help", "-h", "--version"}) {
        ProgramRun run = RunProgram(exe_, {option});
        ASSERT_TRUE(run.finished) << option;
        EXPECT_TRUE(WIFEXITED(run.status) && WEXITSTATUS(run.status) == 0) << option;
        EXPECT_EQ(run.out.find("AppID"), std::string::npos) << run.out;
        EXPECT_EQ(run.out.rfind("TorvaneTerminal ", 0), 0u) << run.out;
    }
    EXPECT_EQ(listener_.Connections(), 0u);
}

TEST_F(UsageReportEndToEnd, WithNothingListeningStartUpStillCompletesPromptly) {
    // No check file either: the AppID is empty and so is the app value.
    ProgramRun run = RunProgram(exe_, {"/nonexistent/tty"});
    ASSERT_TRUE(run.finished) << run.out;
    std::string appId;
    ASSERT_TRUE(PrintedValue(run.out, "AppID ", &appId)) << run.out;
    EXPECT_EQ(appId, "");
    EXPECT_NE(run.out.find("E012_Failed to open port"), std::string::npos) << run.out;
    EXPECT_LT(run.seconds, 3.0);
}

TEST_F(UsageReportEndToEnd, AServiceThatNeverAnswersDelaysStartUpBoundedly) {
    ASSERT_TRUE(listener_.Start(kPort, ListenerMode::Silent, "")) << listener_.error();
    WriteCheck({0x7F});
    ProgramRun run = RunProgram(exe_, {"/nonexistent/tty"});
    ASSERT_TRUE(run.finished) << run.out;
    EXPECT_NE(run.out.find("E012_Failed to open port"), std::string::npos) << run.out;
    EXPECT_EQ(listener_.Requests().size(), 1u);
    // Five seconds for the report, and some for a slow, shared machine.
    EXPECT_LT(run.seconds, 8.0);
    // Nothing about the report reaches the user.
    EXPECT_EQ(run.out.find("applicationlog"), std::string::npos) << run.out;
}

}  // namespace
