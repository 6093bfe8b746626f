// TorvaneSim: a simulated drive, so the terminal can be tried without
// hardware. It opens a new pseudo-terminal pair, plays a drive's diagnostic
// port on the master side and runs TorvaneTerminal (from its own directory)
// on the slave side, in the foreground on the user's console.
//
// Linux only: signalfd, /proc/self/exe and termios2 (which carries any line
// speed, standard or not).
#include <asm/termbits.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr char kGreeting[] =
    "Torvane simulated drive, diagnostic port\r\n"
    "Type help and Enter for the commands.\r\n";
constexpr char kPrompt[] = "sim> ";
constexpr char kHelp[] =
    "Commands:\r\n"
    "  help          this list\r\n"
    "  dump          a text dump of 3.6 KiB, paced at the line speed\r\n"
    "  burst [SIZE]  SIZE bytes at full speed (default 1m; k, m, g suffixes)\r\n"
    "Enter ends a command, Backspace erases, Ctrl+C stops a dump or a burst.\r\n";

constexpr std::size_t kMaxCommand = 80;
constexpr std::size_t kMaxHeld = 4096;  // typed while a command's output runs
constexpr std::size_t kMaxBurst = std::size_t{1} << 30;
constexpr std::size_t kDefaultBurst = std::size_t{1} << 20;
constexpr std::size_t kDumpRows = 48;  // of 16 bytes: about 3.6 KiB of text
constexpr std::size_t kBurstLine = 64;
constexpr std::size_t kBurstChunk = 64 * 1024;

// No event tells the master that the slave was configured: until the
// terminal has set the line, its settings are looked at this often.
constexpr milliseconds kLineCheck{10};
// How often a paced dump hands out the bytes that are due.
constexpr milliseconds kPaceTick{5};
// After a stop signal is passed on, how long the terminal has to end.
constexpr milliseconds kStopPatience{3000};

struct LineSettings {
    unsigned long baud = 0;
    unsigned bitsPerChar = 10;
    bool raw = false;  // the terminal has set the line up
};

// The slave's settings, read through the master.
bool ReadLineSettings(int master, LineSettings *line) {
#ifdef TCGETS2
    struct termios2 settings;
    if (ioctl(master, TCGETS2, &settings) != 0) return false;
#else
    struct termios settings;  // where there is no termios2, termios has the speeds
    if (ioctl(master, TCGETS, &settings) != 0) return false;
#endif
    unsigned data = 8;
    switch (settings.c_cflag & CSIZE) {
        case CS5: data = 5; break;
        case CS6: data = 6; break;
        case CS7: data = 7; break;
        default: break;
    }
    line->baud = settings.c_ospeed;
    line->bitsPerChar = 1 + data + ((settings.c_cflag & PARENB) ? 1 : 0) +
                        ((settings.c_cflag & CSTOPB) ? 2 : 1);
    line->raw = (settings.c_lflag & (ICANON | ECHO)) == 0;
    return true;
}

std::uint32_t Fnv1a(const std::string &text) {
    std::uint32_t hash = 2166136261u;
    for (unsigned char byte : text) hash = (hash ^ byte) * 16777619u;
    return hash;
}

// A hex dump of a made-up buffer, framed by a header and a trailer that
// states the body's length and hash, so a capture can be checked whole.
std::string DumpText(unsigned long baud) {
    char text[160];
    std::string body;
    std::uint32_t state = 0x5EED1234u;
    for (std::size_t row = 0; row < kDumpRows; ++row) {
        unsigned char bytes[16];
        for (unsigned char &byte : bytes) {
            state = state * 1664525u + 1013904223u;
            byte = static_cast<unsigned char>(state >> 24);
        }
        int at = std::snprintf(text, sizeof text, "%04zX ", row * 16);
        for (unsigned char byte : bytes) at += std::snprintf(text + at, sizeof text - at, " %02X", byte);
        at += std::snprintf(text + at, sizeof text - at, "  |");
        for (unsigned char byte : bytes) text[at++] = (byte >= 0x20 && byte < 0x7F) ? byte : '.';
        std::snprintf(text + at, sizeof text - at, "|\r\n");
        body += text;
    }
    std::string dump;
    std::snprintf(text, sizeof text, "Dump of buffer 0: %zu bytes at %lu baud\r\n",
                  kDumpRows * 16, baud);
    dump += text;
    dump += body;
    std::snprintf(text, sizeof text, "End of dump: %zu characters, FNV-1a %08X\r\n",
                  body.size(), static_cast<unsigned>(Fnv1a(body)));
    return dump + text;
}

enum class Job { None, Dump, Burst };

struct Device {
    int master = -1;
    bool opened = false;
    std::string command;  // being typed
    std::string held;     // typed while a command's output runs
    std::string out;      // ready to be written to the line
    std::size_t outAt = 0;
    Job job = Job::None;
    Clock::time_point jobStart{};
    std::string dump;
    std::size_t dumpReleased = 0;
    double bytesPerSecond = 0;
    std::size_t burstSize = 0;
    std::size_t burstMade = 0;
};

void Key(Device &device, char key);

void EndJob(Device &device) {
    device.job = Job::None;
    device.out += kPrompt;
    while (device.job == Job::None && !device.held.empty()) {
        char key = device.held.front();
        device.held.erase(0, 1);
        Key(device, key);
    }
}

bool ParseSize(const std::string &text, std::size_t *size) {
    if (text.empty()) {
        *size = kDefaultBurst;
        return true;
    }
    char *end = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str() || text[0] == '-') return false;
    // The suffixes; a value already too large is not shifted (no overflow).
    static const char kSuffixes[] = "kmg";
    for (int i = 0; i < 3; ++i) {
        if (*end == kSuffixes[i] || *end == kSuffixes[i] - 'a' + 'A') {
            value = value > kMaxBurst ? value : value << (10 * (i + 1));
            ++end;
            break;
        }
    }
    if (*end != '\0' || value == 0 || value > kMaxBurst) return false;
    *size = static_cast<std::size_t>(value);
    return true;
}

void Run(Device &device, const std::string &command) {
    std::size_t first = command.find_first_not_of(' ');
    std::string word, argument;
    if (first != std::string::npos) {
        std::size_t wordEnd = command.find(' ', first);
        word = command.substr(first, wordEnd - first);
        std::size_t argStart = command.find_first_not_of(' ', wordEnd == std::string::npos ? command.size() : wordEnd);
        if (argStart != std::string::npos) {
            argument = command.substr(argStart, command.find(' ', argStart) - argStart);
        }
    }
    if (word.empty()) {
        device.out += kPrompt;
    } else if (word == "help") {
        device.out += kHelp;
        device.out += kPrompt;
    } else if (word == "dump") {
        LineSettings line;
        if (!ReadLineSettings(device.master, &line) || line.baud == 0) {
            device.out += "Error: the line has no speed\r\n";
            device.out += kPrompt;
            return;
        }
        device.job = Job::Dump;
        device.jobStart = Clock::now();
        device.dump = DumpText(line.baud);
        device.dumpReleased = 0;
        device.bytesPerSecond = static_cast<double>(line.baud) / line.bitsPerChar;
    } else if (word == "burst") {
        if (!ParseSize(argument, &device.burstSize)) {
            device.out += "Error: burst size is 1 to 1g bytes (for example 4096, 64k, 8m)\r\n";
            device.out += kPrompt;
            return;
        }
        device.job = Job::Burst;
        device.jobStart = Clock::now();
        device.burstMade = 0;
    } else {
        device.out += "Error: unknown command \"" + word + "\"; type help for the commands\r\n";
        device.out += kPrompt;
    }
}

void Key(Device &device, char key) {
    if (device.job != Job::None) {
        if (key == 0x03) {
            device.out += "^C\r\n";
            EndJob(device);
        } else if (device.held.size() < kMaxHeld) {
            device.held += key;
        }
        return;
    }
    if (key == '\r') {
        device.out += "\r\n";
        std::string command;
        command.swap(device.command);
        Run(device, command);
    } else if (key == 0x08 || key == 0x7F) {
        if (!device.command.empty()) {
            device.command.pop_back();
            device.out += "\b \b";
        }
    } else if (key == 0x03) {
        device.command.clear();
        device.out += "^C\r\n";
        device.out += kPrompt;
    } else if (key >= 0x20 && key < 0x7F && device.command.size() < kMaxCommand) {
        device.command += key;
        device.out += key;
    }
}

// Hands the running command's output to the line as it becomes due.
void Produce(Device &device) {
    if (device.job == Job::Dump) {
        double elapsed = std::chrono::duration<double>(Clock::now() - device.jobStart).count();
        std::size_t due = std::min(device.dump.size(),
                                   static_cast<std::size_t>(elapsed * device.bytesPerSecond));
        if (due > device.dumpReleased) {
            device.out.append(device.dump, device.dumpReleased, due - device.dumpReleased);
            device.dumpReleased = due;
        }
        if (device.dumpReleased == device.dump.size()) EndJob(device);
    } else if (device.job == Job::Burst && device.outAt == device.out.size()) {
        if (device.burstMade == device.burstSize) {
            double seconds = std::chrono::duration<double>(Clock::now() - device.jobStart).count();
            char text[160];
            std::snprintf(text, sizeof text, "\r\nBurst done: %zu bytes in %.3f s (%.0f KB/s)\r\n",
                          device.burstSize, seconds,
                          seconds > 0 ? device.burstSize / seconds / 1000 : 0.0);
            device.out += text;
            EndJob(device);
            return;
        }
        // Numbered lines of printable text, the last one cut to the size.
        std::size_t end = std::min(device.burstSize, device.burstMade + kBurstChunk);
        char line[kBurstLine + 1];
        while (device.burstMade < end) {
            std::size_t number = device.burstMade / kBurstLine;
            std::size_t column = device.burstMade % kBurstLine;
            int at = std::snprintf(line, sizeof line, "%010zu ", number);
            for (; at < static_cast<int>(kBurstLine) - 2; ++at) {
                line[at] = static_cast<char>('A' + (number + at) % 26);
            }
            line[kBurstLine - 2] = '\r';
            line[kBurstLine - 1] = '\n';
            std::size_t take = std::min(kBurstLine - column, end - device.burstMade);
            device.out.append(line + column, take);
            device.burstMade += take;
        }
    }
}

void Flush(Device &device) {
    while (device.outAt < device.out.size()) {
        ssize_t put = write(device.master, device.out.data() + device.outAt,
                            device.out.size() - device.outAt);
        if (put > 0) {
            device.outAt += static_cast<std::size_t>(put);
        } else if (put < 0 && errno == EINTR) {
            continue;
        } else {
            return;  // full: poll says when it takes more
        }
    }
    device.out.clear();
    device.outAt = 0;
}

int MillisecondsUntil(Clock::time_point when) {
    auto left = std::chrono::ceil<milliseconds>(when - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

std::string TerminalBesideMe() {
    char path[4096];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return "TorvaneTerminal";
    std::string self(path, static_cast<std::size_t>(length));
    return self.substr(0, self.rfind('/') + 1) + "TorvaneTerminal";
}

void Usage(FILE *to) {
    std::fputs("Usage: TorvaneSim [-- SPEED [x x x CAPTURE]]\n"
               "Runs TorvaneTerminal on a simulated drive (a new pseudo-terminal); the\n"
               "arguments after -- are given to it after the port name. Type help at\n"
               "the drive's prompt for its commands; Ctrl+Q ends the session.\n",
               to);
}

}  // namespace

int main(int argc, char **argv) {
    int first = 1;
    if (argc > 1 && (std::strcmp(argv[1], "-h") == 0 || std::strcmp(argv[1], "--help") == 0)) {
        Usage(stdout);
        return 0;
    }
    if (argc > 1) {
        if (std::strcmp(argv[1], "--") != 0) {
            Usage(stderr);
            return 2;
        }
        first = 2;
    }
    const std::string terminal = TerminalBesideMe();
    if (access(terminal.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "TorvaneSim: cannot run %s: %s\n", terminal.c_str(), std::strerror(errno));
        return 1;
    }

    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char slaveName[128];
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, slaveName, sizeof slaveName) != 0) {
        std::fprintf(stderr, "TorvaneSim: cannot open a pseudo-terminal: %s\n", std::strerror(errno));
        return 1;
    }
    // The simulator's own hold on the slave: without it the master reports
    // a hang-up until the terminal has opened the line.
    int slave = open(slaveName, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0 || fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK) != 0) {
        std::fprintf(stderr, "TorvaneSim: cannot open %s: %s\n", slaveName, std::strerror(errno));
        return 1;
    }

    // Stop signals and the child's end arrive as readable events, never in
    // the middle of the loop.
    sigset_t handled, original;
    sigemptyset(&handled);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD}) sigaddset(&handled, sig);
    sigprocmask(SIG_BLOCK, &handled, &original);
    int signals = signalfd(-1, &handled, SFD_NONBLOCK | SFD_CLOEXEC);
    if (signals < 0) {
        std::fprintf(stderr, "TorvaneSim: signalfd: %s\n", std::strerror(errno));
        return 1;
    }

    // The console's mode, put back should the terminal die without doing so
    // itself (a signal it cannot catch, SIGKILL, leaves the console raw). The
    // kernel's termios record, as <asm/termbits.h> has it, round-trips whole.
    struct termios console;
    const bool consoleSaved = isatty(STDIN_FILENO) && ioctl(STDIN_FILENO, TCGETS, &console) == 0;

    std::vector<std::string> args{terminal, slaveName};
    for (int i = first; i < argc; ++i) args.emplace_back(argv[i]);
    std::vector<char *> childArgv;
    for (std::string &arg : args) childArgv.push_back(arg.data());
    childArgv.push_back(nullptr);

    // Same process group as the simulator: the terminal is in the foreground
    // of the user's console whenever the simulator is.
    pid_t child = fork();
    if (child < 0) {
        std::fprintf(stderr, "TorvaneSim: fork: %s\n", std::strerror(errno));
        return 1;
    }
    if (child == 0) {
        sigprocmask(SIG_SETMASK, &original, nullptr);
        execv(childArgv[0], childArgv.data());
        static const char failed[] = "TorvaneSim: cannot start TorvaneTerminal\n";
        ssize_t ignored = write(2, failed, sizeof failed - 1);
        (void)ignored;
        _exit(127);
    }

    Device device;
    device.master = master;
    int status = 0;
    bool ended = false;
    bool stopping = false;
    Clock::time_point killAt{};
    while (!ended) {
        int timeout = -1;
        if (!device.opened) timeout = static_cast<int>(kLineCheck.count());
        if (device.job == Job::Dump) timeout = static_cast<int>(kPaceTick.count());
        if (stopping) {
            int left = MillisecondsUntil(killAt);
            timeout = timeout < 0 ? left : std::min(timeout, left);
        }
        bool waiting = device.outAt < device.out.size() || device.job == Job::Burst;
        pollfd fds[2] = {{signals, POLLIN, 0},
                         {master, static_cast<short>(POLLIN | (waiting ? POLLOUT : 0)), 0}};
        if (poll(fds, 2, timeout) < 0 && errno != EINTR) break;

        signalfd_siginfo info;
        while (read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            if (info.ssi_signo == SIGCHLD) continue;
            // Passed on; the terminal restores the console and ends.
            kill(child, static_cast<int>(info.ssi_signo));
            if (!stopping) {
                stopping = true;
                killAt = Clock::now() + kStopPatience;
            }
        }
        if (waitpid(child, &status, WNOHANG) == child) {
            ended = true;
            break;
        }
        if (stopping && Clock::now() >= killAt) {
            kill(child, SIGKILL);
            stopping = false;  // its end comes as SIGCHLD
        }

        if (!device.opened) {
            LineSettings line;
            if (ReadLineSettings(master, &line) && line.raw) {
                device.opened = true;
                device.out += kGreeting;
                device.out += kPrompt;
            }
        }
        if (fds[1].revents & POLLIN) {
            char keys[4096];
            ssize_t got = read(master, keys, sizeof keys);
            // Nothing typed before the line was set up is the user's.
            for (ssize_t i = 0; device.opened && i < got; ++i) Key(device, keys[i]);
        }
        Produce(device);
        Flush(device);
    }

    close(signals);
    close(slave);
    close(master);
    if (!ended) {
        kill(child, SIGKILL);
        while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
        }
    }
    int sig = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    // In the background the console's mode belongs to the shell (and setting
    // it would stop the simulator).
    if (sig != 0 && consoleSaved && tcgetpgrp(STDIN_FILENO) == getpgrp()) {
        ioctl(STDIN_FILENO, TCSETS, &console);
    }
    if (sig == SIGINT || sig == SIGTERM || sig == SIGHUP) {
        // Stopped as the terminal was, so a shell sees the same (a crash of
        // the terminal is not mirrored: it would look like the simulator's).
        std::signal(sig, SIG_DFL);
        sigset_t only;
        sigemptyset(&only);
        sigaddset(&only, sig);
        sigprocmask(SIG_UNBLOCK, &only, nullptr);
        raise(sig);
    }
    if (sig != 0) return 128 + sig;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
