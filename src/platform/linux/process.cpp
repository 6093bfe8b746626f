// The process around the program: standard descriptors, signals and job
// control, prepared before main runs. Linked into the program only, not into
// the tests that use the layer.
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include "platform/linux/handles.h"

namespace {

// Signals whose default action ends the process: each first restores the
// console and gives the port back, then ends the process as it would have.
constexpr int kEndingSignals[] = {SIGTERM, SIGHUP,  SIGINT,  SIGQUIT,   SIGPIPE, SIGUSR1,
                                  SIGUSR2, SIGALRM, SIGXCPU, SIGVTALRM, SIGPROF};

void InstallHandler(int signal, void (*handler)(int), int flags) {
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    // A signal the caller chose to ignore stays ignored (nohup, for one).
    if (sigaction(signal, nullptr, &action) != 0 || action.sa_handler == SIG_IGN) return;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    action.sa_flags = flags;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
}

void EndOnSignal(int signal) {
    RestoreConsoleMode();
    ReleasePort();
    // Installed with SA_RESETHAND: raised again, the signal takes its
    // default action as soon as the handler returns.
    raise(signal);
}

void StopOnSignal(int) {
    int savedErrno = errno;
    RestoreConsoleMode();
    // Stop for real: the default action, unblocked for the moment.
    signal(SIGTSTP, SIG_DFL);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTSTP);
    raise(SIGTSTP);
    pthread_sigmask(SIG_UNBLOCK, &stop, nullptr);
    // Resumed (fg).
    InstallHandler(SIGTSTP, StopOnSignal, SA_RESTART);
    ReapplyConsoleMode();
    errno = savedErrno;
}

void ResumeOnSignal(int) {
    // Also after a SIGSTOP, which no handler sees: the shell or the user may
    // have changed the terminal meanwhile.
    int savedErrno = errno;
    ReapplyConsoleMode();
    errno = savedErrno;
}

[[gnu::constructor]] void PrepareProcess() {
    // A closed standard descriptor would be taken by the port or the
    // capture: the device would then be sent the program's own output.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            int opened = open("/dev/null", O_RDWR);
            if (opened >= 0 && opened != fd) close(opened);
        }
    }
    // A capture past the file size limit then fails as a write, and is
    // reported, instead of killing the process.
    signal(SIGXFSZ, SIG_IGN);
    for (int ending : kEndingSignals) InstallHandler(ending, EndOnSignal, SA_RESETHAND);
    InstallHandler(SIGTSTP, StopOnSignal, SA_RESTART);
    InstallHandler(SIGCONT, ResumeOnSignal, SA_RESTART);
}

}  // namespace
