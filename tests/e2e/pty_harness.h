// Runs the built program with a pseudo-terminal as its console and another as
// its serial device, and lets a test type keys, play the device and watch
// what reaches either side. Every wait has a deadline; the child is always
// reaped, killed first if it has to be.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>
#include <termios.h>
#include <utility>
#include <vector>

namespace e2e {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Long enough for a sanitizer build on a loaded machine; a healthy run takes
// a small fraction of it.
constexpr milliseconds kPatience{10000};

// One pseudo-terminal: the master end (non-blocking) and the slave's path.
struct Pty {
    int master = -1;
    std::string slavePath;
};

// Opens a new pseudo-terminal pair; false (with errno set) on failure.
bool OpenPty(Pty *pty);

struct LaunchOptions {
    // The arguments after the program's name.
    std::vector<std::string> args{};
    // Standard input is /dev/null instead of the console.
    bool stdinFromNull = false;
    // Output processing (OPOST) is cleared on the console before the program
    // starts, so the console shows received bytes exactly as they came.
    bool rawConsoleOutput = false;
    // Local flags (c_lflag) cleared on the console before the program
    // starts, as another program may have left it.
    tcflag_t clearedConsoleFlags = 0;
    // Hold an exclusive flock on the device before the program starts, as
    // another program using the port would.
    bool lockDevice = false;
    // Standard input or output closed when the program starts.
    bool closeStdin = false;
    bool closeStdout = false;
    // Started as a job-control shell starts a job: a process group of its
    // own, in the foreground, under a parent in the same session, so that
    // SIGTSTP really stops it (an orphaned group would ignore it).
    bool asShellJob = false;
    // As asShellJob, but the job is left in the background, as `&` leaves
    // it: a change to the console's settings would stop it (SIGTTOU).
    bool inBackground = false;
    // Resource limits (setrlimit) the program starts with: {resource, bytes}.
    std::vector<std::pair<int, unsigned long>> limits{};
    // The console's output is stopped (as Ctrl+S would stop it) before the
    // program starts, until ReleaseConsoleOutput: the program's first flush
    // waits, and with it the start of the session.
    bool holdConsoleOutput = false;
    // "NAME=value" entries for the program's environment, over the harness's
    // own (TERM, LC_ALL, PATH and the sanitizers' options).
    std::vector<std::string> environment{};
};

class ProgramRun {
  public:
    ProgramRun() = default;
    ProgramRun(const ProgramRun &) = delete;
    ProgramRun &operator=(const ProgramRun &) = delete;
    // Kills the program's process group if it still runs, and reaps it.
    ~ProgramRun();

    // Creates both pseudo-terminals and starts the program. The device's
    // slave path is known before, so it can be put into the arguments:
    // every argument equal to kDevicePlaceholder is replaced by it.
    bool Start(const std::string &program, LaunchOptions options);

    const std::string &devicePath() const { return devicePty_.slavePath; }
    pid_t pid() const { return pid_; }

    // Everything the console showed so far, exactly as read.
    const std::string &consoleBytes() const { return consoleOut_; }
    // The same with the terminal's "\r\n" turned back into "\n".
    std::string consoleText() const;
    // What the program wrote to the device so far.
    const std::string &deviceBytes() const { return deviceIn_; }

    // Waits until text appears in consoleText() after the previous match;
    // the next search starts after it.
    bool WaitForConsole(const std::string &text, milliseconds patience = kPatience);
    // Waits until the console bytes, counted from the start, number at least n.
    bool WaitForConsoleBytes(std::size_t n, milliseconds patience = kPatience);
    // Waits until the device has received at least n bytes from the program.
    bool WaitForDeviceBytes(std::size_t n, milliseconds patience = kPatience);
    // Waits until done() holds, moving bytes both ways meanwhile.
    bool WaitUntil(const std::function<bool()> &done, milliseconds patience = kPatience) {
        return Pump(done, patience);
    }
    // Waits until the console's input is raw: no line editing and no
    // signals from keys, as the key wait and a session set it (start-up only
    // stops line editing). Checked every few milliseconds: a terminal gives
    // no notice of a mode change.
    bool WaitForRawConsole(milliseconds patience = kPatience);
    // Waits until none of the given local flags (c_lflag) is set on the
    // console: ICANON alone shows that start-up has stopped line editing.
    bool WaitForConsoleWithout(tcflag_t localFlags, milliseconds patience = kPatience);
    // Lets the console's output, held by holdConsoleOutput, go on.
    bool ReleaseConsoleOutput();
    // What was typed on the console and never read by anyone, once the
    // program has ended (the console's line editing is switched off for it).
    bool UnreadConsoleInput(std::string *unread);

    // Types keys on the console; returns once they were all written.
    bool Type(const std::string &keys, milliseconds patience = kPatience);
    // The device sends bytes to the program; returns once all were written,
    // or false once the program ended with some not taken.
    bool DeviceSends(const std::string &bytes, milliseconds patience = kPatience);
    // The device hangs up: its master end is closed.
    void HangUpDevice();
    // The device stops reading what the program sends, or reads again.
    void SetDeviceReading(bool reading) { deviceReading_ = reading; }
    // What DeviceSends was given and the pseudo-terminal has not taken yet.
    const std::string &deviceBytesUnsent() const { return devicePending_; }

    void Signal(int signal);

    // True when the program ended within patience; it is then reaped and the
    // console read to the end. It is not killed otherwise.
    bool EndsWithin(milliseconds patience);
    // Waits for the end; on timeout kills and reaps the program and returns
    // false.
    bool Finish(milliseconds patience = kPatience);
    bool ended() const { return ended_; }
    // The raw wait status; valid once ended().
    int status() const { return status_; }
    // "exit 0", "signal 15", ... for messages.
    std::string DescribeEnd() const;

    // The console's settings when the program was started, and now.
    const termios &consoleBefore() const { return consoleBefore_; }
    bool ConsoleSettingsNow(termios *settings) const;
    // Changes the console's settings from outside, as stty would.
    bool SetConsoleSettings(const termios &settings);
    // Waits until the program is stopped (job control) or running again.
    bool WaitForStopped(bool stopped, milliseconds patience = kPatience);
    // Whether the device's slave end is in exclusive mode (TIOCEXCL).
    bool DeviceExclusive() const;

    // The fd of the test's own hold on the device's slave end.
    int deviceSlave() const { return deviceSlave_; }

  private:
    // Moves bytes both ways until done() holds or patience runs out.
    bool Pump(const std::function<bool()> &done, milliseconds patience);
    void ReadAll(int *fd, std::string *into);
    void WriteSome(int fd, std::string *pending);
    void Reap(bool wait);
    // After the end: reads the console until a marker the test writes
    // itself comes back, so nothing the program wrote is missed.
    void DrainConsole();

    Pty consolePty_;
    Pty devicePty_;
    int consoleSlave_ = -1;
    int deviceSlave_ = -1;
    termios consoleBefore_{};
    pid_t pid_ = -1;
    pid_t reapPid_ = -1;  // the program, or the shell that runs it as a job
    int pidfd_ = -1;
    bool ended_ = false;
    int status_ = 0;
    std::string consoleOut_;
    std::string deviceIn_;
    std::string keysPending_;
    std::string devicePending_;
    std::size_t consoleMark_ = 0;
    bool deviceReading_ = true;
};

// Stands for the device's slave path in LaunchOptions::args.
extern const char kDevicePlaceholder[];

// A fresh directory under the system's temporary directory, removed with
// everything in it at the end of the scope.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }

  private:
    std::string path_;
};

// The whole content of a file; false when it cannot be read.
bool ReadWholeFile(const std::string &path, std::string *content);

// How often needle occurs in haystack.
std::size_t CountOf(const std::string &haystack, const std::string &needle);

}  // namespace e2e
