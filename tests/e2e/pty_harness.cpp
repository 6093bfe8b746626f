#include "pty_harness.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace e2e {

const char kDevicePlaceholder[] = "<device>";

namespace {

// Written by the test into the console after the program ended; when it comes
// back out of the master, everything the program wrote has been read.
constexpr char kDrainMarker[] = "<<e2e: console drained>>";

// How often the console's mode is looked at while waiting for it to change.
constexpr milliseconds kModeCheckInterval{5};

void CloseFd(int *fd) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
}

int MillisecondsUntil(Clock::time_point deadline) {
    auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

bool OpenPty(Pty *pty) {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) return false;
    char name[256];
    if (grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, name, sizeof name) != 0 ||
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK) != 0) {
        int saved = errno;
        close(master);
        errno = saved;
        return false;
    }
    pty->master = master;
    pty->slavePath = name;
    return true;
}

ProgramRun::~ProgramRun() {
    if (pid_ > 0 && !ended_) {
        kill(-pid_, SIGKILL);
        kill(pid_, SIGKILL);
        kill(reapPid_, SIGKILL);
        Reap(true);
    }
    CloseFd(&pidfd_);
    CloseFd(&consolePty_.master);
    CloseFd(&devicePty_.master);
    CloseFd(&consoleSlave_);
    CloseFd(&deviceSlave_);
}

bool ProgramRun::Start(const std::string &program, LaunchOptions options) {
    if (!OpenPty(&consolePty_) || !OpenPty(&devicePty_)) return false;
    // The test's own holds on both slave ends: the console's settings stay
    // readable after the program ended, and neither master ever sees a hang-up
    // it did not ask for.
    consoleSlave_ = open(consolePty_.slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    deviceSlave_ = open(devicePty_.slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (consoleSlave_ < 0 || deviceSlave_ < 0) return false;

    if (options.rawConsoleOutput || options.clearedConsoleFlags != 0) {
        termios settings;
        if (tcgetattr(consoleSlave_, &settings) != 0) return false;
        if (options.rawConsoleOutput) settings.c_oflag &= ~OPOST;
        settings.c_lflag &= ~options.clearedConsoleFlags;
        if (tcsetattr(consoleSlave_, TCSANOW, &settings) != 0) return false;
    }
    if (tcgetattr(consoleSlave_, &consoleBefore_) != 0) return false;
    if (options.holdConsoleOutput && tcflow(consoleSlave_, TCOOFF) != 0) return false;
    if (options.lockDevice && flock(deviceSlave_, LOCK_EX | LOCK_NB) != 0) return false;

    // Everything the child needs is built before fork: after it, only calls
    // that are safe in a forked child of a possibly threaded process.
    std::vector<std::string> argStrings{program};
    for (const std::string &arg : options.args) {
        argStrings.push_back(arg == kDevicePlaceholder ? devicePty_.slavePath : arg);
    }
    std::vector<char *> argv;
    for (std::string &arg : argStrings) argv.push_back(arg.data());
    argv.push_back(nullptr);

    // A terminal type without a clear sequence keeps "clear" from filling
    // the transcript with escape codes.
    std::vector<std::string> envStrings = options.environment;
    auto addDefault = [&envStrings](const std::string &name, const std::string &value) {
        for (const std::string &entry : envStrings) {
            if (entry.compare(0, name.size() + 1, name + "=") == 0) return;
        }
        envStrings.push_back(name + "=" + value);
    };
    addDefault("TERM", "dumb");
    addDefault("LC_ALL", "C");
    const char *path = std::getenv("PATH");
    addDefault("PATH", path ? path : "/usr/bin:/bin");
    for (const char *name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS"}) {
        if (const char *value = std::getenv(name)) addDefault(name, value);
    }
    std::vector<char *> envp;
    for (std::string &entry : envStrings) envp.push_back(entry.data());
    envp.push_back(nullptr);

    int input = consoleSlave_;
    int nullFd = -1;
    if (options.stdinFromNull) {
        nullFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (nullFd < 0) return false;
        input = nullFd;
    }

    // The shell of asShellJob tells the program's pid through this pipe.
    int jobPipe[2] = {-1, -1};
    const bool asJob = options.asShellJob || options.inBackground;
    if (asJob && pipe2(jobPipe, O_CLOEXEC) != 0) return false;

    pid_t child = fork();
    if (child < 0) {
        CloseFd(&nullFd);
        CloseFd(&jobPipe[0]);
        CloseFd(&jobPipe[1]);
        return false;
    }
    if (child == 0) {
        // A session of its own with the console as its controlling terminal,
        // as a shell would start it.
        setsid();
        ioctl(consoleSlave_, TIOCSCTTY, 0);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE}) signal(sig, SIG_DFL);
        if (dup2(input, 0) < 0 || dup2(consoleSlave_, 1) < 0 || dup2(consoleSlave_, 2) < 0) {
            _exit(126);
        }
        for (const auto &[resource, bytes] : options.limits) {
            const rlimit limit = {bytes, bytes};
            if (setrlimit(resource, &limit) != 0) _exit(126);
        }
        if (asJob) {
            pid_t job = fork();
            if (job < 0) _exit(126);
            if (job > 0) {
                // The shell: waits for the job's end (not its stops) and
                // ends as it did.
                if (write(jobPipe[1], &job, sizeof job) != sizeof job) _exit(126);
                int status = 0;
                while (waitpid(job, &status, 0) < 0) {
                    if (errno != EINTR) _exit(126);
                }
                if (WIFEXITED(status)) _exit(WEXITSTATUS(status));
                signal(WTERMSIG(status), SIG_DFL);
                raise(WTERMSIG(status));
                _exit(126);
            }
            // The job takes the terminal as a shell would give it.
            setpgid(0, 0);
            signal(SIGTTOU, SIG_IGN);
            if (!options.inBackground && tcsetpgrp(consoleSlave_, getpid()) != 0) _exit(126);
            signal(SIGTTOU, SIG_DFL);
        }
        if (options.closeStdin) close(0);
        if (options.closeStdout) close(1);
        closefrom(3);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    CloseFd(&nullFd);
    pid_ = reapPid_ = child;
    if (asJob) {
        CloseFd(&jobPipe[1]);
        pollfd fds = {jobPipe[0], POLLIN, 0};
        pid_t job = -1;
        bool told = poll(&fds, 1, static_cast<int>(kPatience.count())) == 1 &&
                    read(jobPipe[0], &job, sizeof job) == sizeof job;
        CloseFd(&jobPipe[0]);
        if (!told) return false;
        pid_ = job;
    }
    pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, reapPid_, 0));
    return pidfd_ >= 0;
}

std::string ProgramRun::consoleText() const {
    std::string text;
    text.reserve(consoleOut_.size());
    for (std::size_t i = 0; i < consoleOut_.size(); ++i) {
        if (consoleOut_[i] == '\r' && i + 1 < consoleOut_.size() && consoleOut_[i + 1] == '\n') continue;
        text.push_back(consoleOut_[i]);
    }
    return text;
}

void ProgramRun::ReadAll(int *fd, std::string *into) {
    char buffer[65536];
    for (;;) {
        ssize_t got = read(*fd, buffer, sizeof buffer);
        if (got > 0) {
            into->append(buffer, static_cast<std::size_t>(got));
            continue;
        }
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        // End or error: the other side is gone for good; stop watching it
        // rather than spin on it.
        CloseFd(fd);
        return;
    }
}

void ProgramRun::WriteSome(int fd, std::string *pending) {
    while (!pending->empty()) {
        ssize_t put = write(fd, pending->data(), pending->size());
        if (put > 0) {
            pending->erase(0, static_cast<std::size_t>(put));
            continue;
        }
        if (put < 0 && errno == EINTR) continue;
        return;  // full for now (or failing: the wait for it runs out)
    }
}

bool ProgramRun::Pump(const std::function<bool()> &done, milliseconds patience) {
    const Clock::time_point deadline = Clock::now() + patience;
    for (;;) {
        if (done()) return true;
        int timeout = MillisecondsUntil(deadline);
        if (timeout == 0) return false;

        pollfd fds[3];
        nfds_t count = 0;
        int consoleAt = -1, deviceAt = -1, childAt = -1;
        if (consolePty_.master >= 0) {
            consoleAt = static_cast<int>(count);
            short events = POLLIN | (keysPending_.empty() ? 0 : POLLOUT);
            fds[count++] = {consolePty_.master, events, 0};
        }
        if (devicePty_.master >= 0) {
            deviceAt = static_cast<int>(count);
            short events = (deviceReading_ ? POLLIN : 0) | (devicePending_.empty() ? 0 : POLLOUT);
            fds[count++] = {devicePty_.master, events, 0};
        }
        if (pidfd_ >= 0 && !ended_) {
            childAt = static_cast<int>(count);
            fds[count++] = {pidfd_, POLLIN, 0};
        }
        int ready = poll(fds, count, timeout);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return done();
        }
        if (consoleAt >= 0 && fds[consoleAt].revents != 0) {
            if (fds[consoleAt].revents & POLLOUT) WriteSome(consolePty_.master, &keysPending_);
            if (fds[consoleAt].revents & ~POLLOUT) ReadAll(&consolePty_.master, &consoleOut_);
        }
        if (deviceAt >= 0 && fds[deviceAt].revents != 0) {
            if (fds[deviceAt].revents & POLLOUT) WriteSome(devicePty_.master, &devicePending_);
            if ((fds[deviceAt].revents & ~POLLOUT) && deviceReading_) {
                ReadAll(&devicePty_.master, &deviceIn_);
            }
        }
        if (childAt >= 0 && fds[childAt].revents != 0) Reap(false);
    }
}

bool ProgramRun::WaitForConsole(const std::string &text, milliseconds patience) {
    return Pump(
        [&] {
            std::size_t at = consoleText().find(text, consoleMark_);
            if (at == std::string::npos) return false;
            consoleMark_ = at + text.size();
            return true;
        },
        patience);
}

bool ProgramRun::WaitForConsoleBytes(std::size_t n, milliseconds patience) {
    return Pump([&] { return consoleOut_.size() >= n; }, patience);
}

bool ProgramRun::WaitForDeviceBytes(std::size_t n, milliseconds patience) {
    return Pump([&] { return deviceIn_.size() >= n; }, patience);
}

bool ProgramRun::WaitForRawConsole(milliseconds patience) {
    return WaitForConsoleWithout(ICANON | ISIG, patience);
}

bool ProgramRun::WaitForConsoleWithout(tcflag_t localFlags, milliseconds patience) {
    const Clock::time_point deadline = Clock::now() + patience;
    for (;;) {
        termios settings;
        if (ConsoleSettingsNow(&settings) && !(settings.c_lflag & localFlags)) return true;
        int left = MillisecondsUntil(deadline);
        if (left == 0) return false;
        Pump([] { return false; }, std::min(milliseconds(left), kModeCheckInterval));
    }
}

bool ProgramRun::Type(const std::string &keys, milliseconds patience) {
    if (consolePty_.master < 0) return false;
    keysPending_ += keys;
    return Pump([&] { return keysPending_.empty(); }, patience);
}

bool ProgramRun::DeviceSends(const std::string &bytes, milliseconds patience) {
    if (devicePty_.master < 0) return false;
    devicePending_ += bytes;
    // A program that has ended takes no more.
    Pump([&] { return devicePending_.empty() || ended_; }, patience);
    return devicePending_.empty();
}

void ProgramRun::HangUpDevice() {
    devicePending_.clear();
    CloseFd(&devicePty_.master);
}

void ProgramRun::Signal(int signal) {
    if (pid_ > 0 && !ended_) kill(pid_, signal);
}

void ProgramRun::Reap(bool wait) {
    int status = 0;
    pid_t got;
    do {
        got = waitpid(reapPid_, &status, wait ? 0 : WNOHANG);
    } while (got < 0 && errno == EINTR);
    if (got == reapPid_) {
        ended_ = true;
        status_ = status;
        CloseFd(&pidfd_);
    }
}

void ProgramRun::DrainConsole() {
    if (consoleSlave_ < 0 || consolePty_.master < 0) return;
    const std::size_t from = consoleOut_.size();
    if (write(consoleSlave_, kDrainMarker, sizeof kDrainMarker - 1) !=
        static_cast<ssize_t>(sizeof kDrainMarker - 1)) {
        return;
    }
    std::size_t at = std::string::npos;
    Pump(
        [&] {
            at = consoleOut_.find(kDrainMarker, from);
            return at != std::string::npos;
        },
        kPatience);
    if (at != std::string::npos) consoleOut_.erase(at, sizeof kDrainMarker - 1);
}

bool ProgramRun::EndsWithin(milliseconds patience) {
    if (pid_ <= 0) return false;
    if (!ended_ && !Pump([&] { return ended_; }, patience)) return false;
    DrainConsole();
    return true;
}

bool ProgramRun::Finish(milliseconds patience) {
    if (EndsWithin(patience)) return true;
    if (pid_ > 0 && !ended_) {
        kill(-pid_, SIGKILL);
        kill(pid_, SIGKILL);
        kill(reapPid_, SIGKILL);
        Reap(true);
        DrainConsole();
    }
    return false;
}

std::string ProgramRun::DescribeEnd() const {
    if (!ended_) return "still running";
    if (WIFEXITED(status_)) return "exit " + std::to_string(WEXITSTATUS(status_));
    if (WIFSIGNALED(status_)) return "signal " + std::to_string(WTERMSIG(status_));
    return "status " + std::to_string(status_);
}

bool ProgramRun::ReleaseConsoleOutput() {
    return consoleSlave_ >= 0 && tcflow(consoleSlave_, TCOON) == 0;
}

bool ProgramRun::UnreadConsoleInput(std::string *unread) {
    unread->clear();
    termios settings;
    if (!ConsoleSettingsNow(&settings)) return false;
    // Without line editing, so that a line not ended is readable too.
    settings.c_lflag &= ~ICANON;
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
    if (tcsetattr(consoleSlave_, TCSANOW, &settings) != 0) return false;
    char buffer[256];
    for (;;) {
        ssize_t got = read(consoleSlave_, buffer, sizeof buffer);
        if (got > 0) {
            unread->append(buffer, static_cast<std::size_t>(got));
            continue;
        }
        return got == 0 || errno == EAGAIN;
    }
}

bool ProgramRun::ConsoleSettingsNow(termios *settings) const {
    return consoleSlave_ >= 0 && tcgetattr(consoleSlave_, settings) == 0;
}

TempDir::TempDir() {
    const char *base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/torvane-e2e-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
    if (path_.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

bool ReadWholeFile(const std::string &path, std::string *content) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    content->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

std::size_t CountOf(const std::string &haystack, const std::string &needle) {
    std::size_t count = 0;
    for (std::size_t at = haystack.find(needle); at != std::string::npos;
         at = haystack.find(needle, at + needle.size())) {
        ++count;
    }
    return count;
}

}  // namespace e2e

namespace e2e {

bool ProgramRun::SetConsoleSettings(const termios &settings) {
    return consoleSlave_ >= 0 && tcsetattr(consoleSlave_, TCSANOW, &settings) == 0;
}

bool ProgramRun::WaitForStopped(bool stopped, milliseconds patience) {
    const Clock::time_point deadline = Clock::now() + patience;
    const std::string statPath = "/proc/" + std::to_string(pid_) + "/stat";
    for (;;) {
        // The state follows the command's closing parenthesis: T when stopped.
        std::string stat;
        if (ReadWholeFile(statPath, &stat)) {
            std::size_t close = stat.rfind(')');
            if (close != std::string::npos && close + 2 < stat.size() &&
                (stat[close + 2] == 'T') == stopped) {
                return true;
            }
        }
        int left = MillisecondsUntil(deadline);
        if (left == 0 || ended_) return false;
        Pump([] { return false; }, std::min(milliseconds(left), kModeCheckInterval));
    }
}

bool ProgramRun::DeviceExclusive() const {
    int exclusive = 0;
    return deviceSlave_ >= 0 && ioctl(deviceSlave_, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
}

}  // namespace e2e
