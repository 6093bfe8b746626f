// Floods, faults and signals in the middle of a session, many sessions in a
// row, and a fuzzed command line, against the built program on
// pseudo-terminals. The flood shrinks under ThreadSanitizer, which slows the
// relay many times over; everywhere else the full sizes run.
#include <algorithm>
#include <csignal>
#include <cstdint>
#include <dirent.h>
#include <fcntl.h>
#include <random>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include "../e2e/e2e_support.h"

#if defined(__SANITIZE_THREAD__)
#define STRESS_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define STRESS_UNDER_TSAN 1
#endif
#endif

namespace e2e {
namespace {

#ifdef STRESS_UNDER_TSAN
constexpr std::size_t kFloodSize = 16u << 20;
#else
constexpr std::size_t kFloodSize = 64u << 20;
#endif
constexpr std::size_t kTypedSize = 1u << 20;
constexpr int kSessionsInARow = 200;
constexpr int kFuzzRuns = 200;

// Handed to the harness a piece at a time: it keeps what it has not yet
// written in one string, and a piece that size is cheap to take from.
constexpr std::size_t kPiece = 64u << 10;

// Every byte value, in a fixed pseudo-random order.
std::string RandomBytes(std::size_t size, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; i += 4) {
        std::uint32_t word = rng();
        for (std::size_t k = 0; k < 4 && i + k < size; ++k) {
            data[i + k] = static_cast<char>(word >> (8 * k));
        }
    }
    return data;
}

LaunchOptions CapturingSession(const std::string &capturePath) {
    LaunchOptions options;
    options.args = {kDevicePlaceholder, "38400", "3", "4", "5", capturePath};
    // The console shows received bytes exactly as they came.
    options.rawConsoleOutput = true;
    return options;
}

// Starts a capturing session and waits until it takes keys and bytes; where
// the received bytes begin on the console goes to start.
::testing::AssertionResult StartSession(ProgramRun &run, const std::string &capture,
                                        std::size_t *start) {
    if (!StartProgram(run, CapturingSession(capture))) {
        return ::testing::AssertionFailure() << "cannot start: " << std::strerror(errno);
    }
    if (!run.WaitForConsole(kReadyLine)) {
        return ::testing::AssertionFailure() << "no ready line:\n" << run.consoleText();
    }
    *start = run.consoleBytes().find(kReadyLine) + kReadyLine.size();
    if (*start != run.consoleBytes().size()) {
        return ::testing::AssertionFailure() << "console output after the ready line";
    }
    return ::testing::AssertionSuccess();
}

// The device sends data, a piece at a time, the console read all the while;
// stops after `upTo` bytes.
::testing::AssertionResult DeviceSendsInPieces(ProgramRun &run, const std::string &data,
                                               std::size_t upTo) {
    for (std::size_t at = 0; at < upTo; at += kPiece) {
        if (!run.DeviceSends(data.substr(at, std::min(kPiece, upTo - at)))) {
            return ::testing::AssertionFailure()
                   << "device stalled at " << at << " of " << upTo
                   << " bytes; console has " << run.consoleBytes().size();
        }
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult IsPrefix(const std::string &shorter, const char *shorterName,
                                    const std::string &longer, const char *longerName) {
    if (shorter.size() <= longer.size() && longer.compare(0, shorter.size(), shorter) == 0) {
        return ::testing::AssertionSuccess();
    }
    std::size_t at = 0;
    while (at < shorter.size() && at < longer.size() && shorter[at] == longer[at]) ++at;
    return ::testing::AssertionFailure()
           << shorterName << " (" << shorter.size() << " bytes) is not a prefix of " << longerName
           << " (" << longer.size() << " bytes); they part at offset " << at;
}

int OpenDescriptorCount() {
    int count = 0;
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    while (dirent *entry = readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(dir);
    return count;
}

// --- Floods --------------------------------------------------------------------

TEST(Flood, EveryByteValueReachesConsoleAndCaptureUnchanged) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string capture = dir.path() + "/capture.bin";
    const std::string data = RandomBytes(kFloodSize, 1);
    ProgramRun run;
    std::size_t start = 0;
    ASSERT_TRUE(StartSession(run, capture, &start));

    ASSERT_TRUE(DeviceSendsInPieces(run, data, data.size()));
    ASSERT_TRUE(run.WaitForConsoleBytes(start + data.size()))
        << "console got " << run.consoleBytes().size() - start << " of " << data.size();
    ASSERT_TRUE(run.Type("\x11"));
    ASSERT_TRUE(run.Finish());
    EXPECT_TRUE(EndedCleanly(run));
    EXPECT_TRUE(SameBytes(data, run.consoleBytes().substr(start)));
    std::string captured;
    ASSERT_TRUE(ReadWholeFile(capture, &captured));
    EXPECT_TRUE(SameBytes(data, captured));
}

TEST(Flood, TypedKeysReachTheDeviceCompleteAndInOrder) {
    // Every value but the stop key, which would end the session, NUL, which
    // is a key without a character and sends nothing, and Esc, which starts
    // the sequences of such keys. Backspace (DEL) is sent as 0x08.
    std::string keys = RandomBytes(kTypedSize, 2);
    std::replace(keys.begin(), keys.end(), '\x11', '\x12');
    std::replace(keys.begin(), keys.end(), '\0', '\x01');
    std::replace(keys.begin(), keys.end(), '\x1b', '\x1c');
    std::string sent = keys;
    std::replace(sent.begin(), sent.end(), '\x7f', '\x08');
    ProgramRun run;
    LaunchOptions options;
    options.args = {kDevicePlaceholder};
    E2E_START(run, options);
    ASSERT_TRUE(run.WaitForConsole(kReadyLine)) << run.consoleText();

    for (std::size_t at = 0; at < keys.size(); at += kPiece) {
        ASSERT_TRUE(run.Type(keys.substr(at, kPiece)))
            << "console stalled at " << at << "; device has " << run.deviceBytes().size();
    }
    ASSERT_TRUE(run.WaitForDeviceBytes(keys.size()))
        << "device got " << run.deviceBytes().size() << " of " << keys.size();
    ASSERT_TRUE(run.Type("\x11"));
    ASSERT_TRUE(run.Finish());
    EXPECT_TRUE(EndedCleanly(run));
    EXPECT_TRUE(SameBytes(sent, run.deviceBytes()));
}

// --- Faults in the middle of a burst ---------------------------------------------

TEST(Fault, DeviceHangingUpMidBurstEndsTheSessionWithAPrefixCaptured) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string capture = dir.path() + "/capture.bin";
    const std::string data = RandomBytes(4u << 20, 3);
    ProgramRun run;
    std::size_t start = 0;
    ASSERT_TRUE(StartSession(run, capture, &start));

    ASSERT_TRUE(DeviceSendsInPieces(run, data, data.size() / 2));
    run.HangUpDevice();
    ASSERT_TRUE(run.Finish()) << run.consoleText();
    EXPECT_TRUE(EndedCleanly(run));

    std::string captured;
    ASSERT_TRUE(ReadWholeFile(capture, &captured));
    EXPECT_TRUE(IsPrefix(captured, "capture", data, "sent"));
    EXPECT_GT(captured.size(), 0u);
    // The console shows the same bytes, then the report of the lost port.
    const std::string shown = run.consoleBytes().substr(start);
    EXPECT_TRUE(IsPrefix(captured, "capture", shown, "console"));
    EXPECT_NE(shown.find("failed", captured.size()), std::string::npos)
        << shown.substr(captured.size());
}

constexpr SignalCase kKill = {"Kill", SIGKILL};

class SignalMidBurst : public ::testing::TestWithParam<SignalCase> {};

TEST_P(SignalMidBurst, CaptureHoldsEveryByteTheConsoleShowed) {
    const SignalCase &c = GetParam();
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string capture = dir.path() + "/capture.bin";
    const std::string data = RandomBytes(4u << 20, 4);
    ProgramRun run;
    std::size_t start = 0;
    ASSERT_TRUE(StartSession(run, capture, &start));

    // The signal comes while the program still relays what the device sent.
    ASSERT_TRUE(DeviceSendsInPieces(run, data, data.size() / 2));
    run.Signal(c.signal);
    ASSERT_TRUE(run.Finish()) << run.DescribeEnd();
    EXPECT_TRUE(WIFSIGNALED(run.status()) && WTERMSIG(run.status()) == c.signal)
        << run.DescribeEnd();

    std::string captured;
    ASSERT_TRUE(ReadWholeFile(capture, &captured));
    const std::string shown = run.consoleBytes().substr(start);
    EXPECT_TRUE(IsPrefix(captured, "capture", data, "sent"));
    EXPECT_TRUE(IsPrefix(shown, "console", captured, "capture"));
    EXPECT_GT(shown.size(), 0u);
    // A killed process cannot restore the console's settings.
    if (c.signal != SIGKILL) {
        termios now;
        ASSERT_TRUE(run.ConsoleSettingsNow(&now));
        EXPECT_TRUE(SameConsoleSettings(run.consoleBefore(), now));
    }
}

INSTANTIATE_TEST_SUITE_P(Signals, SignalMidBurst,
                         ::testing::Values(kTerminate, kHangUp, kKill), SignalCaseName);

// --- Many sessions ----------------------------------------------------------------

TEST(Sessions, ManyInARowLeaveNoDescriptorLockOrProcessBehind) {
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    const std::string capture = dir.path() + "/capture.log";
    int descriptorsBefore = -1;
    for (int i = 0; i < kSessionsInARow; ++i) {
        // Counted once the first session is over: the test's own lazily
        // opened descriptors exist by then, and no run's are open.
        if (i == 1) descriptorsBefore = OpenDescriptorCount();
        ProgramRun run;
        std::size_t start = 0;
        ASSERT_TRUE(StartSession(run, capture, &start)) << "session " << i;
        const std::string line = "session " + std::to_string(i) + "\n";
        ASSERT_TRUE(run.DeviceSends(line)) << "session " << i;
        ASSERT_TRUE(run.WaitForConsole(line)) << "session " << i;
        ASSERT_TRUE(run.Type("\x11"));
        ASSERT_TRUE(run.Finish()) << "session " << i << ": " << run.DescribeEnd();
        ASSERT_TRUE(EndedCleanly(run)) << "session " << i;
        std::string captured;
        ASSERT_TRUE(ReadWholeFile(capture, &captured));
        ASSERT_EQ(captured, line) << "session " << i;
        // The device is free again: not left exclusive (asked, since root
        // would pass the flag), openable and lockable by the next user.
        EXPECT_FALSE(run.DeviceExclusive()) << "session " << i;
        int device = open(run.devicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(device, 0) << "session " << i << ": " << std::strerror(errno);
        EXPECT_EQ(flock(device, LOCK_EX | LOCK_NB), 0) << "session " << i << ": " << std::strerror(errno);
        close(device);
    }
    // Each run's pseudo-terminals are closed with it; nothing else may grow.
    EXPECT_EQ(OpenDescriptorCount(), descriptorsBefore);
    // Every child was reaped: none is left to wait for.
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

// --- Command line ------------------------------------------------------------------

// Arguments of every length and byte (no NUL, which an argument cannot hold).
// None may begin with '/', so none names a device or a file outside the
// working directory; a name relative to it that opens is no terminal and is
// refused.
std::vector<std::string> FuzzedArguments(std::mt19937 &rng) {
    std::vector<std::string> args(rng() % 9);
    for (std::string &arg : args) {
        std::size_t length;
        switch (rng() % 4) {
            case 0: length = rng() % 8; break;
            case 1: length = rng() % 64; break;
            case 2: length = 1000 + rng() % 48; break;  // around the capture path's limit
            default: length = rng() % 5000; break;
        }
        arg.resize(length);
        for (char &byte : arg) byte = static_cast<char>(1 + rng() % 255);
        if (!arg.empty() && arg[0] == '/') arg[0] = '_';
    }
    return args;
}

TEST(CommandLine, FuzzedArgumentsNeverCrashTheProgram) {
    std::mt19937 rng(20261208);
    for (int i = 0; i < kFuzzRuns; ++i) {
        LaunchOptions options;
        options.args = FuzzedArguments(rng);
        // The usage road's key wait ends at once, and a session, should a
        // port ever open, ends with the input.
        options.stdinFromNull = true;
        ProgramRun run;
        E2E_START(run, options);
        ASSERT_TRUE(run.Finish()) << "run " << i << " did not end: " << run.DescribeEnd();
        ASSERT_TRUE(EndedCleanly(run)) << "run " << i << " with " << options.args.size()
                                       << " arguments";
    }
}

}  // namespace
}  // namespace e2e
