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
#include <csignal>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "hex_text.h"
#include "identity/identity.h"

namespace {

namespace fs = std::filesystem;
using identity_test::Hex;

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

#ifndef _WIN32
// Runs ReadAppId in a child process, as nobody when asked (root may update a
// read-only file), and returns the AppID it read, or why there is none: the
// child is killed if it has not returned within the deadline.
std::string ReadAppIdInChild(const std::string &path, bool asNobody) {
    int out[2];
    if (pipe(out) != 0) return "<no pipe>";
    pid_t child = fork();
    if (child == 0) {
        close(out[0]);
        constexpr uid_t kNobody = 65534;
        if (asNobody) {
            if (setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(2);
            // The file stays readable: only the missing write permission counts.
            std::FILE *readable = std::fopen(path.c_str(), "rb");
            if (readable == nullptr) _exit(3);
            std::fclose(readable);
        }
        ReadAppId(path.c_str());
        ssize_t length = static_cast<ssize_t>(std::strlen(g_appId));
        _exit(write(out[1], g_appId, static_cast<std::size_t>(length)) == length ? 0 : 4);
    }
    close(out[1]);
    if (child < 0) {
        close(out[0]);
        return "<no child>";
    }
    int status = 0;
    bool ended = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!ended && std::chrono::steady_clock::now() < deadline) {
        ended = waitpid(child, &status, WNOHANG) == child;
        pollfd none = {-1, 0, 0};
        if (!ended) poll(&none, 0, 10);
    }
    if (!ended) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        close(out[0]);
        return "<hung>";
    }
    char appId[64] = {};
    ssize_t got = read(out[0], appId, sizeof appId - 1);
    close(out[0]);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || got < 0) {
        return "<child failed: " + std::to_string(status) + ">";
    }
    return std::string(appId, static_cast<std::size_t>(got));
}

TEST_F(AppIdTest, ACheckThatIsAFifoGivesAnEmptyAppIdWithoutWaiting) {
    ASSERT_EQ(mkfifo(check_.c_str(), 0666), 0) << std::strerror(errno);
    EXPECT_EQ(ReadAppIdInChild(check_, false), "");
}
#endif

TEST_F(AppIdTest, AFileThatCannotBeOpenedForUpdatingGivesAnEmptyAppId) {
    WriteCheck({0x01, 0xAB});
    fs::permissions(check_,
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
#ifndef _WIN32
    fs::permissions(check_, fs::perms::others_read, fs::perm_options::add);
    fs::permissions(directory_, fs::perms::others_read | fs::perms::others_exec,
                    fs::perm_options::add);
    EXPECT_EQ(ReadAppIdInChild(check_, geteuid() == 0), "");
    return;
#endif
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
