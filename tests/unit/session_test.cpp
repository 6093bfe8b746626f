// The pure pieces of the session driver and the error report.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "session.h"

TEST(LineSpeed, AcceptsWholeNumbersInRange) {
    DWORD speed = 0;
    EXPECT_TRUE(ParseLineSpeed("9600", &speed));
    EXPECT_EQ(speed, 9600u);
    EXPECT_TRUE(ParseLineSpeed("1", &speed));
    EXPECT_EQ(speed, 1u);
    EXPECT_TRUE(ParseLineSpeed("4000000", &speed));
    EXPECT_EQ(speed, 4000000u);
    EXPECT_TRUE(ParseLineSpeed("0115200", &speed));
    EXPECT_EQ(speed, 115200u);
}

TEST(LineSpeed, RefusesAnythingElseAndLeavesSpeedAlone) {
    const char *bad[] = {"", "0", "4000001", "38400x", "x38400", " 9600", "9600 ", "+9600",
                         "-9600", "96.00", "1e5", "99999999999999999999", "4294967296"};
    for (const char *text : bad) {
        DWORD speed = 1234;
        EXPECT_FALSE(ParseLineSpeed(text, &speed)) << '"' << text << '"';
        EXPECT_EQ(speed, 1234u) << '"' << text << '"';
    }
    DWORD speed = 1234;
    EXPECT_FALSE(ParseLineSpeed(nullptr, &speed));
}

// The device path PortDevicePath writes, or a note that it did not fit.
std::string DevicePath(const char *name, bool useDeviceNamespace, std::size_t size = 64) {
    char path[64];
    return PortDevicePath(name, useDeviceNamespace, path, size) ? path : "(does not fit)";
}

TEST(PortName, ComPortsGoThroughTheDeviceNamespaceWhereThatIsHowPortsAreNamed) {
    EXPECT_EQ(DevicePath("COM3", true), "\\\\.\\COM3");
    EXPECT_EQ(DevicePath("COM10", true), "\\\\.\\COM10");
    EXPECT_EQ(DevicePath("com256", true), "\\\\.\\com256");
    // Anything else is passed exactly as typed.
    EXPECT_EQ(DevicePath("COM", true), "COM");
    EXPECT_EQ(DevicePath("COM3:", true), "COM3:");
    EXPECT_EQ(DevicePath("COMX", true), "COMX");
    EXPECT_EQ(DevicePath("\\\\.\\COM3", true), "\\\\.\\COM3");
    EXPECT_EQ(DevicePath("LPT1", true), "LPT1");
    // Where ports are device paths, every name stays as typed.
    EXPECT_EQ(DevicePath("COM3", false), "COM3");
    EXPECT_EQ(DevicePath("/dev/ttyUSB0", false), "/dev/ttyUSB0");
    // A name that does not fit the field is reported, never cut.
    EXPECT_EQ(DevicePath("COM3", true, 8), "(does not fit)");
    EXPECT_EQ(DevicePath("COM3", true, 9), "\\\\.\\COM3");
}

TEST(ExecutablePaths, CheckFileLiesBesideTheExecutable) {
    char directory[kTextFieldSize];
    char check[kTextFieldSize];
    DeriveExecutablePaths("C:\\Tools\\Torvane\\TorvaneTerminal.exe", directory, check);
    EXPECT_STREQ(directory, "C:\\Tools\\Torvane");
    EXPECT_STREQ(check, "C:\\Tools\\Torvane\\check");

    DeriveExecutablePaths("/opt/torvane/bin/TorvaneTerminal", directory, check);
    EXPECT_STREQ(directory, "/opt/torvane/bin");
    EXPECT_STREQ(check, "/opt/torvane/bin/check");

    DeriveExecutablePaths("TorvaneTerminal", directory, check);
    EXPECT_STREQ(directory, "");
    EXPECT_STREQ(check, "check");
}

TEST(ExecutablePaths, APathThatLeavesNoRoomForTheCheckNameNamesNoFile) {
    std::string longPath(kTextFieldSize - 2, 'd');
    longPath[0] = '/';
    longPath += "/x";  // directory of 1022 characters: "/check" cannot follow
    char directory[kTextFieldSize];
    char check[kTextFieldSize];
    DeriveExecutablePaths(longPath.c_str(), directory, check);
    EXPECT_EQ(std::strlen(directory), kTextFieldSize - 2);
    EXPECT_STREQ(check, "");
}

// The platform's own call, as the program makes it: a path that does not fit
// is cut and said to be cut (the whole buffer used, and an error), so that
// the program can tell it from a path that fits exactly. Whether the cut path
// is terminated differs (Windows XP and Wine leave it unterminated).
TEST(ExecutablePaths, AModulePathThatDoesNotFitIsReportedCut) {
    char whole[4096];
    DWORD length = GetModuleFileNameA(nullptr, whole, sizeof whole);
    ASSERT_GT(length, 1u);
    ASSERT_LT(length, sizeof whole);

    std::string buffer(length + 1, 'x');
    EXPECT_EQ(GetModuleFileNameA(nullptr, buffer.data(), length + 1), length);
    EXPECT_STREQ(buffer.c_str(), whole);

    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameA(nullptr, buffer.data(), length), length);
    EXPECT_NE(GetLastError(), 0u);
    EXPECT_EQ(buffer.substr(0, length - 1), std::string(whole, length - 1));
}

