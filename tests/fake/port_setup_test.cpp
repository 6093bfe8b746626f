// OpenPort and ConfigurePort against the fake: what the port is given, and
// the E012, E013 and E014 failures.
#include <cstring>

#include "session.h"
#include "terminal/error_report.h"
#include "test_support.h"

namespace {

using PortSetupTest = FakeTest;

TEST_F(PortSetupTest, OpensTheNameAsTypedForExclusiveOverlappedUse) {
    EXPECT_EQ(OpenPort("/dev/ttyUSB0"), fake::kPort);
    EXPECT_EQ(OpenPort("COM10"), fake::kPort);
    fake::State after = fake::Snapshot();
    ASSERT_EQ(after.openCalls.size(), 2u);
    EXPECT_EQ(after.openCalls[0].name, "/dev/ttyUSB0");
    // Only Windows reaches COM ports through the device namespace.
    EXPECT_EQ(after.openCalls[1].name, "COM10");
    // Each was checked to be a port, and kept.
    EXPECT_EQ(after.calls, (std::vector<std::string>{"CreateFileA", "GetCommState",
                                                     "CreateFileA", "GetCommState"}));
    EXPECT_TRUE(after.closed.empty());
    for (const fake::OpenCall &call : after.openCalls) {
        EXPECT_EQ(call.access, GENERIC_READ | GENERIC_WRITE);
        EXPECT_EQ(call.share, 0u);
        EXPECT_EQ(call.disposition, static_cast<DWORD>(OPEN_EXISTING));
        EXPECT_EQ(call.flags, FILE_FLAG_OVERLAPPED);
        EXPECT_FALSE(call.security);
        EXPECT_FALSE(call.templ);
    }
    EXPECT_EQ(Output(), "");
}

TEST_F(PortSetupTest, APortThatCannotBeOpenedIsReportedWithTheOpensError) {
    fake::Edit([](fake::State &s) {
        s.openResult = INVALID_HANDLE_VALUE;
        s.openError = 2;
        s.messages[2] = "No such file or directory";
    });
    HANDLE port = OpenPort("/dev/ttyNONE");
    ASSERT_EQ(port, INVALID_HANDLE_VALUE);
    // As the driver does: the handle was tested first, the error read after.
    ReportError("E012_Failed to open port");
    EXPECT_EQ(Output(), Report("E012_Failed to open port", 2, "No such file or directory"));
}

// A file, a pipe or NUL opens as readily as a port; the check lets it go
// before anything could be written into it, and the report carries the
// check's error, not the close's.
TEST_F(PortSetupTest, AHandleThatIsNoCommunicationsDeviceIsClosedAndReportedOnce) {
    fake::Edit([](fake::State &s) {
        s.getStateOk = false;
        s.getStateError = 1;
        s.messages[1] = "Incorrect function.";
    });
    HANDLE port = OpenPort("notes.txt");
    ASSERT_EQ(port, INVALID_HANDLE_VALUE);
    EXPECT_EQ(fake::Snapshot().calls, (std::vector<std::string>{"CreateFileA", "GetCommState",
                                                                "GetLastError", "CloseHandle"}));
    ReportError("E012_Failed to open port");
    EXPECT_EQ(fake::Snapshot().closed, std::vector<HANDLE>{fake::kPort});
    EXPECT_EQ(Output(), Report("E012_Failed to open port", 1, "Incorrect function."));
}

TEST_F(PortSetupTest, GivesTheSessionTimeoutsAndLineSettingsBuiltFromZero) {
    g_lineSpeed = 115200;
    ConfigurePort(fake::kPort);
    fake::State after = fake::Snapshot();

    ASSERT_EQ(after.timeoutsGiven.size(), 1u);
    const COMMTIMEOUTS &timeouts = after.timeoutsGiven[0];
    EXPECT_EQ(timeouts.ReadIntervalTimeout, 2u);
    EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, 1u);
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 1u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 0u);

    ASSERT_EQ(after.statesGiven.size(), 1u);
    const DCB &dcb = after.statesGiven[0];
    ASSERT_EQ(sizeof(DCB), 28u);
    EXPECT_EQ(dcb.DCBlength, 28u);
    EXPECT_EQ(dcb.BaudRate, 115200u);
    // Binary, DTR and RTS enabled, nothing else: no flow control, no parity
    // checking, no abort on error.
    DWORD flags = 0;
    std::memcpy(&flags, reinterpret_cast<const char *>(&dcb) + 8, sizeof flags);
    EXPECT_EQ(flags, 0x1011u);
    EXPECT_EQ(dcb.wReserved, 0);
    EXPECT_EQ(dcb.XonLim, 0);
    EXPECT_EQ(dcb.XoffLim, 0);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.XonChar, 0);
    EXPECT_EQ(dcb.XoffChar, 0);
    EXPECT_EQ(dcb.ErrorChar, 0);
    EXPECT_EQ(dcb.EofChar, 0);
    EXPECT_EQ(dcb.EvtChar, 0);
    EXPECT_EQ(dcb.wReserved1, 0);

    EXPECT_EQ(after.calls, (std::vector<std::string>{"SetCommTimeouts", "SetCommState"}));
    EXPECT_EQ(Output(), "");
}

TEST_F(PortSetupTest, UsesTheDefaultSpeedUnlessOneWasGiven) {
    ConfigurePort(fake::kPort);
    std::vector<DCB> states = fake::Snapshot().statesGiven;
    ASSERT_EQ(states.size(), 1u);
    EXPECT_EQ(states[0].BaudRate, 38400u);
    EXPECT_EQ(Output(), "");
}

TEST_F(PortSetupTest, RefusedTimeoutsAndLineSettingsAreEachReportedAndSetUpGoesOn) {
    struct Case {
        bool timeoutsOk, stateOk;
        std::string expected;
    };
    const std::string e013 = Report("E013_SetCommTimeouts failed", 22, "Invalid argument");
    const std::string e014 =
        Report("E014_SetCommState failed", 25, "Inappropriate ioctl for device");
    const Case cases[] = {{false, true, e013}, {true, false, e014}, {false, false, e013 + e014}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.expected);
        fake::Reset();
        fake::Edit([&](fake::State &s) {
            s.messages[22] = "Invalid argument";
            s.messages[25] = "Inappropriate ioctl for device";
            s.setTimeoutsOk = c.timeoutsOk;
            s.setTimeoutsError = 22;
            s.setStateOk = c.stateOk;
            s.setStateError = 25;
        });
        if (!Capturing()) BeginCapture();
        ConfigurePort(fake::kPort);
        fake::State after = fake::Snapshot();
        // Neither refusal keeps the other setting from being given.
        EXPECT_EQ(after.timeoutsGiven.size(), 1u);
        EXPECT_EQ(after.statesGiven.size(), 1u);
        EXPECT_EQ(Output(), c.expected);
    }
}

}  // namespace
