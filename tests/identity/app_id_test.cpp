// The AppID read from a check file: hex text of up to its first 1024 bytes.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "identity/identity.h"

namespace {

namespace fs = std::filesystem;

// A fresh directory per test, removed afterwards.
class AppIdTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        directory_ = fs::temp_directory_path() /
                     ("torvane-appid-" + std::to_string(stamp) + "-" +
                      ::testing::UnitTest::GetInstance()->current_test_info()->name());
        ASSERT_TRUE(fs::create_directories(directory_));
        check_ = (directory_ / "check").string();
        // Something left from an earlier read must not survive the next one.
        std::snprintf(g_appId, kAppIdFieldSize, "STALE");
    }
    void TearDown() override {
        std::error_code ignored;
        if (fs::exists(check_, ignored)) {
            fs::permissions(check_, fs::perms::owner_all, fs::perm_options::add, ignored);
        }
        fs::remove_all(directory_, ignored);
    }

    void WriteCheck(const std::vector<unsigned char> &bytes) {
        std::ofstream out(check_, std::ios::binary);
        out.write(reinterpret_cast<const char *>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        ASSERT_TRUE(out.good());
    }

    std::string ReadBack() {
        ReadAppId(check_.c_str());
        return std::string(g_appId);
    }

    fs::path directory_;
    std::string check_;
};

// Two upper-case digits per byte, written out independently of the code
// under test.
std::string Hex(const std::vector<unsigned char> &bytes, std::size_t count) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < count && i < bytes.size(); ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    return text;
}

std::vector<unsigned char> Counting(std::size_t count) {
    std::vector<unsigned char> bytes(count);
    for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<unsigned char>(i * 7 + 3);
    return bytes;
}

TEST_F(AppIdTest, HexesTheFileInOrder) {
    WriteCheck({0x01, 0xAB});
    EXPECT_EQ(ReadBack(), "01AB");

    WriteCheck(Counting(16));
    std::string sixteen = ReadBack();
    EXPECT_EQ(sixteen.size(), 32u);
    EXPECT_EQ(sixteen, Hex(Counting(16), 16));

    // Zero bytes are data, not the end of the text; every value in upper case.
    WriteCheck({0x00, 0xff, 0x00, 0x0a, 0xc3});
    EXPECT_EQ(ReadBack(), "00FF000AC3");
}

TEST_F(AppIdTest, AnEmptyFileGivesAnEmptyAppId) {
    WriteCheck({});
    EXPECT_EQ(ReadBack(), "");
}

TEST_F(AppIdTest, OnlyTheFirst1024BytesCountAndAllOfThemFit) {
    std::vector<unsigned char> contents = Counting(1500);
    WriteCheck(contents);
    std::string appId = ReadBack();
    EXPECT_EQ(appId.size(), 2048u);
    EXPECT_EQ(appId, Hex(contents, 1024));

    std::vector<unsigned char> exact = Counting(1024);
    WriteCheck(exact);
    EXPECT_EQ(ReadBack(), Hex(exact, 1024));
}

TEST_F(AppIdTest, AMissingFileGivesAnEmptyAppId) {
    EXPECT_EQ(ReadBack(), "");
    // A directory by that name is no file to read either.
    fs::create_directory(check_);
    std::snprintf(g_appId, kAppIdFieldSize, "STALE");
    EXPECT_EQ(ReadBack(), "");
}

TEST_F(AppIdTest, AFileThatCannotBeOpenedForUpdatingGivesAnEmptyAppId) {
#ifndef _WIN32
    if (geteuid() == 0) {
        GTEST_SKIP() << "running as root, which may open a read-only file for updating";
    }
#endif
    WriteCheck({0x01, 0xAB});
    fs::permissions(check_,
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    // Wine run by root maps the read-only attribute to permissions that root
    // passes, so the file can be updated after all: nothing to test then.
    if (std::FILE *probe = std::fopen(check_.c_str(), "r+b")) {
        std::fclose(probe);
        GTEST_SKIP() << "this user may update a read-only file (Wine running as root)";
    }
    // Still readable: only the missing write permission makes it count as empty.
    std::ifstream readable(check_, std::ios::binary);
    ASSERT_TRUE(readable.good());
    EXPECT_EQ(ReadBack(), "");
}

}  // namespace
