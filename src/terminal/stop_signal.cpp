#include "terminal/stop_signal.h"

#include <cstdio>

std::atomic<bool> g_stopRequested{false};

void SendStopSignal(HANDLE port) {
    g_stopRequested.store(true);
    if (!SetCommMask(port, 0)) {
        std::printf("SetCommMask-GetLastError: %i\n", static_cast<int>(GetLastError()));
        std::fflush(stdout);
    }
}
