// TorvaneTerminal: a console terminal for a device's serial port.
#include <cstdio>
#include <cstring>

#include "identity/identity.h"
#include "session.h"
#include "terminal/console_events.h"
#include "terminal/error_report.h"
#include "terminal/serial_ports.h"
#include "version.h"

namespace {

// Console output is written in large chunks, so a flood from the device leaves
// the process in few writes; every place that must show something at once
// flushes.
constexpr std::size_t kConsoleBufferSize = 1 << 16;

constexpr std::size_t kMaxLogPathLength = kTextFieldSize - 1;

// --help, -h (and the system's own help option) or --version as the only
// argument: answered at once, and true. Nothing else happens then: no screen
// clear, no usage report, no key wait, and the console's input is left alone.
bool AnswerInformationRequest(int argc, char **argv) {
    if (argc != 2) return false;
    const char *argument = argv[1];
    if (std::strcmp(argument, "--version") == 0) {
        std::printf("TorvaneTerminal %s\n", TORVANE_VERSION);
        return true;
    }
    if (std::strcmp(argument, "--help") != 0 && std::strcmp(argument, "-h") != 0 &&
        std::strcmp(argument, kSystemHelpOption) != 0) {
        return false;
    }
    PrintUsage();
    std::printf("\n%s PORT [SPEED [x x x CAPTURE]]\n", kProgramFileName);
    std::printf("  PORT     the serial port, such as %s\n", kExamplePortName);
    std::printf("  SPEED    a whole number from 1 to %u (default 38400); 8N1, no flow control\n",
                static_cast<unsigned>(kMaxLineSpeed));
    std::printf("  CAPTURE  the sixth argument: a file that also gets every byte received\n");
    std::printf("Keys go to the device as typed (Enter 0x0D, Backspace 0x08, Ctrl+C 0x03);\n");
    std::printf("arrows and function keys send nothing. Ctrl+Q ends the session.\n");
    std::printf("%s --version prints the version.\n", kProgramFileName);
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    // The buffer is given, not just its size: the C library may ignore the
    // size of a buffer it allocates itself (on a terminal it picks its own
    // 1 KiB), and the receive loop relies on the console's stream holding a
    // whole batch of received bytes without writing by itself.
    static char consoleBuffer[kConsoleBufferSize];
    std::setvbuf(stdout, consoleBuffer, _IOFBF, sizeof consoleBuffer);

    if (AnswerInformationRequest(argc, argv)) return 0;

    // Ctrl+Break or the window's close button must not end the program
    // mid-way, whatever road it is on.
    WatchConsoleEvents();

    std::snprintf(g_machineCode, kTextFieldSize, "%s", GetMachineCode());

    ReadExecutablePaths();

    ClearScreen();

    ReadAppId(g_checkPath);
    SendUsageReport(g_machineCode, g_appId);

    std::printf("TorvaneTerminal %s\n", TORVANE_VERSION);
    std::printf("Machine Code %s\n", g_machineCode);
    std::printf("AppID %s\n", g_appId);

    if (argc > 2) {
        std::printf("Selected PORT %s\n", argv[1]);
        std::printf("Selected RATE %s\n", argv[2]);
    }

    if (argc <= 1) {
        std::printf("TorvaneTerminal %s \n", TORVANE_VERSION);
        std::printf("Quellmark  - %s\n\n", PUBLISHER_ADDRESS);
        ClearScreen();
        PrintUsage();
        PrintSerialPorts();
        WaitForAnyKey();
        std::fflush(stdout);
        DiscardTypedKeys();
        return 0;
    }

    g_lineSpeed = kDefaultLineSpeed;
    if (argc > 2 && !ParseLineSpeed(argv[2], &g_lineSpeed)) {
        std::printf("Speed %s is not a whole number from 1 to %u, using 38400\n", argv[2],
                    static_cast<unsigned>(kMaxLineSpeed));
    }

    // Refused before the port is touched: a cut path would capture elsewhere.
    if (argc > 6 && std::strlen(argv[6]) > kMaxLogPathLength) {
        ClearScreen();
        std::printf("Capture path is too long: %zu characters, at most %zu\n",
                    std::strlen(argv[6]), kMaxLogPathLength);
        PrintUsage();
        std::fflush(stdout);
        DiscardTypedKeys();
        return 0;
    }

    HANDLE port = OpenPort(argv[1]);
    if (port == INVALID_HANDLE_VALUE) {
        ReportError("E012_Failed to open port");
        PrintSerialPorts();
        DiscardTypedKeys();
        return 0;
    }

    ConfigurePort(port);

    g_sessionSettings.logEnabled = 0;
    if (argc > 6) {
        g_sessionSettings.logEnabled = 1;
        std::snprintf(g_sessionSettings.logPath, kTextFieldSize, "%s", argv[6]);
    }
    std::fflush(stdout);

    RunSession(port, &g_sessionSettings);
    return 0;
}
