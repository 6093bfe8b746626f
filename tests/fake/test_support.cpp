#include "test_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "session.h"
#include "terminal/error_report.h"
#include "terminal/stop_signal.h"
#include "version.h"

namespace {

std::vector<std::string> g_tempDirs;  // removed after each test
int g_savedStdout = -1;
std::string g_capturePath;

std::string MakeTempDir() {
    char pattern[] = "/tmp/torvane-fake-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    return pattern;
}

}  // namespace

std::string UsageBlock() {
    return "TorvaneTerminal " TORVANE_VERSION " - serial terminal for diagnostic ports\n"
           "https://www.quellmark.example\n"
           "Usage:\n"
           "TorvaneTerminal [port] [speed]\n"
           "Example for Torvane F3: TorvaneTerminal /dev/ttyUSB0 38400\n";
}

void BeginCapture() {
    std::fflush(stdout);
    char pattern[] = "/tmp/torvane-stdout-XXXXXX";
    int fd = mkstemp(pattern);
    ASSERT_GE(fd, 0);
    g_capturePath = pattern;
    g_savedStdout = dup(1);
    dup2(fd, 1);
    close(fd);
}

std::string EndCapture() {
    if (g_savedStdout < 0) return "";
    std::fflush(stdout);
    dup2(g_savedStdout, 1);
    close(g_savedStdout);
    g_savedStdout = -1;
    std::string text = ReadWholeFile(g_capturePath);
    unlink(g_capturePath.c_str());
    return text;
}

bool Capturing() { return g_savedStdout >= 0; }

bool RunWithDeadline(const std::function<void()> &work) {
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
    std::thread runner([&] {
        work();
        std::lock_guard<std::mutex> lock(mutex);
        done = true;
        changed.notify_all();
    });
    bool inTime;
    {
        std::unique_lock<std::mutex> lock(mutex);
        inTime = changed.wait_for(lock, 2 * fake::kDeadline, [&] { return done; });
    }
    if (!inTime) fake::Abort();
    runner.join();
    return inTime;
}

bool PortWaitBlocked(const fake::State &state) { return state.blockedWaits >= 1; }

std::string TempPath(const char *name) {
    g_tempDirs.push_back(MakeTempDir());
    return g_tempDirs.back() + "/" + name;
}

std::string ReadWholeFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool FileExists(const std::string &path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

void FakeTest::NextCase() {
    fake::Reset();
    g_stopRequested.store(false);
}

void FakeTest::SetUp() {
    NextCase();
    g_deviceOutput.store(DeviceOutput::kNothingShown);
    std::memset(&g_sessionSettings, 0, sizeof g_sessionSettings);
    g_lineSpeed = kDefaultLineSpeed;
    BeginCapture();
}

void FakeTest::TearDown() {
    EXPECT_TRUE(fake::JoinThreads()) << "a thread of the program did not end";
    std::string unread = EndCapture();
    if (HasFailure() && !unread.empty()) {
        std::fprintf(stderr, "--- output of the failed test ---\n%s\n---\n", unread.c_str());
    }
    for (const std::string &dir : g_tempDirs) std::filesystem::remove_all(dir);
    g_tempDirs.clear();
    fake::State end = fake::Snapshot();
    EXPECT_FALSE(end.deadlineHit) << "a fake call waited in vain";
    EXPECT_EQ(end.violations, std::vector<std::string>{});
}

std::string FakeTest::Output() {
    return EndCapture();
}

std::string Report(const char *message, long number, const char *text) {
    return std::string(kClearMarker) + message + ": (" + std::to_string(number) + ") " + text +
           "\n\n" + UsageBlock();
}

std::string ReportBelowDeviceOutput(const char *message, long number, const char *text) {
    // Appended, not inserted in front: GCC 12's optimizer warns falsely
    // (-Wrestrict) on a string inserted before another.
    std::string below("\n");
    below.append(Report(message, number, text), sizeof kClearMarker - 1);
    return below;
}

int Count(const std::string &haystack, const std::string &needle) {
    int count = 0;
    for (std::size_t at = haystack.find(needle); at != std::string::npos;
         at = haystack.find(needle, at + needle.size())) {
        ++count;
    }
    return count;
}
