// The pieces of the session driver that depend on the real Windows headers and
// calls: the byte image of the line settings as the SDK lays the structure
// out, and how OpenPort's name reaches CreateFileA.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "session.h"

namespace {

std::uint32_t WordAt(const DCB &dcb, std::size_t offset) {
    std::uint32_t word = 0;
    std::memcpy(&word, reinterpret_cast<const unsigned char *>(&dcb) + offset, sizeof word);
    return word;
}

// The driver sends this record to SetCommState as it is; every byte counts.
TEST(WindowsLineSettings, ByteImageOnTheSdkStructure) {
    static_assert(sizeof(DCB) == 28, "the SDK's DCB is 28 bytes");
    const DCB dcb = SessionLineSettings(38400);

    EXPECT_EQ(WordAt(dcb, 0), 28u);     // DCBlength
    EXPECT_EQ(WordAt(dcb, 4), 38400u);  // BaudRate
    // Binary mode, DTR and RTS enabled; no flow control, parity checking,
    // error replacement, null stripping or abort on error.
    EXPECT_EQ(WordAt(dcb, 8), 0x1011u);

    EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.fParity, 0u);
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
    EXPECT_EQ(dcb.fOutxDsrFlow, 0u);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fDsrSensitivity, 0u);
    EXPECT_EQ(dcb.fTXContinueOnXoff, 0u);
    EXPECT_EQ(dcb.fOutX, 0u);
    EXPECT_EQ(dcb.fInX, 0u);
    EXPECT_EQ(dcb.fErrorChar, 0u);
    EXPECT_EQ(dcb.fNull, 0u);
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fAbortOnError, 0u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);

    // Built from zero: apart from ByteSize at offset 18, everything after the
    // flag word is 0 (limits, special characters, reserved words).
    const auto *bytes = reinterpret_cast<const unsigned char *>(&dcb);
    for (std::size_t offset = 12; offset < sizeof(DCB); ++offset) {
        if (offset == offsetof(DCB, ByteSize)) continue;
        EXPECT_EQ(bytes[offset], 0) << "byte at offset " << offset;
    }
    EXPECT_EQ(offsetof(DCB, ByteSize), 18u);
}

TEST(WindowsLineSettings, OnlyTheSpeedFollowsTheArgument) {
    DCB slow = SessionLineSettings(38400);
    DCB fast = SessionLineSettings(921600);
    EXPECT_EQ(fast.BaudRate, 921600u);
    fast.BaudRate = slow.BaudRate;
    EXPECT_EQ(std::memcmp(&slow, &fast, sizeof(DCB)), 0);
}

TEST(WindowsPortNames, ComAndDigitsGoThroughTheDeviceNamespace) {
    ASSERT_TRUE(kPortNamesUseDeviceNamespace);
    const struct {
        const char *typed;
        const char *opened;
    } cases[] = {
        {"COM1", "\\\\.\\COM1"},
        {"COM10", "\\\\.\\COM10"},
        {"COM256", "\\\\.\\COM256"},
        {"com3", "\\\\.\\com3"},  // the case is kept as typed
        {"COM", "COM"},
        {"COMX", "COMX"},
        {"COM1:", "COM1:"},
        {"COM1 ", "COM1 "},
        {"LPT1", "LPT1"},
        {"\\\\.\\COM12", "\\\\.\\COM12"},  // already a device path: not doubled
        {"C:\\ports\\COM4", "C:\\ports\\COM4"},
        {"", ""},
    };
    for (const auto &c : cases) {
        char opened[64];
        ASSERT_TRUE(PortDevicePath(c.typed, kPortNamesUseDeviceNamespace, opened, sizeof opened));
        EXPECT_STREQ(opened, c.opened) << "typed: '" << c.typed << "'";
    }
}

// A scratch directory made current for the test, so relative names resolve
// into it; removed with everything in it afterwards.
class WindowsOpenPort : public ::testing::Test {
protected:
    void SetUp() override {
        char temp[MAX_PATH];
        ASSERT_NE(GetTempPathA(sizeof temp, temp), 0u);
        directory_ = std::string(temp) + "torvane-openport-" +
                     std::to_string(GetCurrentProcessId());
        ASSERT_TRUE(CreateDirectoryA(directory_.c_str(), nullptr)) << GetLastError();
        char previous[MAX_PATH];
        ASSERT_NE(GetCurrentDirectoryA(sizeof previous, previous), 0u);
        previous_ = previous;
        ASSERT_TRUE(SetCurrentDirectoryA(directory_.c_str()));
    }

    void TearDown() override {
        if (!previous_.empty()) SetCurrentDirectoryA(previous_.c_str());
        for (const std::string &name : created_) DeleteFileA((directory_ + "\\" + name).c_str());
        if (!directory_.empty()) RemoveDirectoryA(directory_.c_str());
    }

    void MakeFile(const char *name) {
        HANDLE file = CreateFileA(name, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE) << name << ": " << GetLastError();
        CloseHandle(file);
        created_.push_back(name);
    }

    std::string directory_;
    std::string previous_;
    std::vector<std::string> created_;
};

// COM10 and above are ordinary relative file names to CreateFileA; only the
// device namespace reaches the port. A file of that name in the current
// directory shows which of the two OpenPort asked for.
TEST_F(WindowsOpenPort, HighComNumberIsNotOpenedAsARelativeFile) {
    MakeFile("COM250");
    HANDLE bare = CreateFileA("COM250", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(bare, INVALID_HANDLE_VALUE) << "the bare name should reach the file";
    CloseHandle(bare);

    SetLastError(0);
    HANDLE port = OpenPort("COM250");
    DWORD error = GetLastError();
    if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
    EXPECT_EQ(port, INVALID_HANDLE_VALUE) << "opened the file instead of the port";
    EXPECT_TRUE(error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) << error;
}

// Every other name reaches CreateFileA as typed: a file of that name opens,
// and is then let go because it is no communications device.
TEST_F(WindowsOpenPort, OtherNamesArePassedAsTypedAndAFileIsRefused) {
    MakeFile("COM7x");
    SetLastError(0);
    HANDLE port = OpenPort("COM7x");
    DWORD error = GetLastError();
    if (port != INVALID_HANDLE_VALUE) CloseHandle(port);
    EXPECT_EQ(port, INVALID_HANDLE_VALUE) << "a file was taken for a port";
    // Not "not found": the file was reached, then refused by the check.
    EXPECT_NE(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_NE(error, 0u);

    // The refusal closed the file: an exclusive open of it succeeds again.
    HANDLE again = CreateFileA((directory_ + "\\COM7x").c_str(), GENERIC_READ | GENERIC_WRITE,
                               0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(again, INVALID_HANDLE_VALUE) << GetLastError();
    if (again != INVALID_HANDLE_VALUE) CloseHandle(again);
}

}  // namespace
