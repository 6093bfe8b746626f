// The POSIX layer's network calls: the transport list the machine code is
// read from, and the HTTP request the usage report goes out as.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <cwchar>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "identity/identity.h"
#include "net_support.h"

namespace {

using identity_test::HttpRequest;
using identity_test::Listener;
using identity_test::ListenerMode;
using identity_test::ParseHttpRequest;
using identity_test::ReadSysLinks;
using identity_test::SysLink;
using Clock = std::chrono::steady_clock;

const char kOkReply[] = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

std::string Narrow(const wchar_t *text) {
    std::string narrow;
    for (; *text; ++text) narrow += static_cast<char>(*text);
    return narrow;
}

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string ReportPath() { return "/ws/applicationlog.php?mac=001A2B3C4D5E&app=01AB"; }

std::string UrlFor(unsigned short port, const std::string &target) {
    return "http://127.0.0.1:" + std::to_string(port) + target;
}

TEST(TransportList, ListsTheHardwareAddressesTheKernelHasInIndexOrder) {
    std::vector<SysLink> expected;
    if (!ReadSysLinks(&expected)) GTEST_SKIP() << "/sys/class/net cannot be read here";

    LPBYTE buffer = nullptr;
    DWORD read = 99, total = 99, resume = 7;
    ASSERT_EQ(NetWkstaTransportEnum(nullptr, 0, &buffer, MAX_PREFERRED_LENGTH, &read, &total,
                                    &resume),
              NERR_Success);
    EXPECT_EQ(read, expected.size());
    EXPECT_EQ(total, expected.size());
    auto *records = reinterpret_cast<WKSTA_TRANSPORT_INFO_0 *>(buffer);
    for (DWORD i = 0; i < read && i < expected.size(); ++i) {
        SCOPED_TRACE(expected[i].name);
        ASSERT_NE(records[i].wkti0_transport_address, nullptr);
        EXPECT_EQ(Narrow(records[i].wkti0_transport_address), expected[i].address);
    }
    EXPECT_EQ(read == 0, buffer == nullptr);
    EXPECT_EQ(NetApiBufferFree(buffer), NERR_Success);

    // The machine code is the last of them, or zeros when there is none.
    EXPECT_STREQ(GetMachineCode(),
                 expected.empty() ? "000000000000" : expected.back().address.c_str());
}

TEST(TransportList, RefusesWhatItCannotList) {
    LPBYTE buffer = reinterpret_cast<LPBYTE>(&buffer);
    DWORD read = 5, total = 5;
    // Another level, or another computer: a failure, and no list to walk.
    EXPECT_NE(NetWkstaTransportEnum(nullptr, 1, &buffer, MAX_PREFERRED_LENGTH, &read, &total,
                                    nullptr),
              NERR_Success);
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(read, 0u);
    wchar_t server[] = L"\\\\elsewhere";
    buffer = reinterpret_cast<LPBYTE>(&buffer);
    read = 5;
    EXPECT_NE(NetWkstaTransportEnum(server, 0, &buffer, MAX_PREFERRED_LENGTH, &read, &total,
                                    nullptr),
              NERR_Success);
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(read, 0u);
}

class HttpRequestTest : public ::testing::Test {
protected:
    HINTERNET Session(const char *agent = "Sample") {
        HINTERNET session = InternetOpenA(agent, INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
        EXPECT_NE(session, nullptr);
        return session;
    }
    // The one request the listener received, parsed.
    HttpRequest OnlyRequest() {
        std::vector<std::string> requests = listener_.Requests();
        EXPECT_EQ(requests.size(), 1u);
        HttpRequest request;
        if (!requests.empty()) {
            EXPECT_TRUE(ParseHttpRequest(requests[0], &request)) << requests[0];
        }
        return request;
    }
    Listener listener_;
};

TEST_F(HttpRequestTest, SendsOneGetWithTheReportsHeadersAndWaitsForTheAnswer) {
    ASSERT_TRUE(listener_.Start(0, ListenerMode::Answer, kOkReply)) << listener_.error();
    HINTERNET session = Session();
    std::string url = UrlFor(listener_.port(), ReportPath());
    HINTERNET request =
        InternetOpenUrlA(session, url.c_str(), nullptr, 0, kUsageReportFlags, 0);
    EXPECT_NE(request, nullptr) << "error " << GetLastError();
    // The call returned after the answer, so the request was there before it.
    EXPECT_EQ(listener_.Requests().size(), 1u);

    HttpRequest sent = OnlyRequest();
    EXPECT_EQ(sent.requestLine, "GET " + ReportPath() + " HTTP/1.1");
    EXPECT_EQ(sent.headers["host"], "127.0.0.1:" + std::to_string(listener_.port()));
    EXPECT_EQ(sent.headers["user-agent"], "Sample");
    EXPECT_EQ(sent.headers["pragma"], "no-cache");
    EXPECT_EQ(sent.headers["cache-control"], "no-cache");
    EXPECT_EQ(sent.headers.count("authorization"), 0u);
    EXPECT_EQ(sent.headers.count("content-length"), 0u);
    // No body: the request ends with its blank line.
    EXPECT_EQ(sent.raw.find("\r\n\r\n"), sent.raw.size() - 4);
}

TEST_F(HttpRequestTest, TheAgentAndFlagsShapeTheRequest) {
    ASSERT_TRUE(listener_.Start(0, ListenerMode::Answer, kOkReply)) << listener_.error();
    HINTERNET session = Session("Probe/2.1");
    // No cache flags, and a URL without a path.
    std::string url = "http://127.0.0.1:" + std::to_string(listener_.port());
    EXPECT_NE(InternetOpenUrlA(session, url.c_str(), nullptr, 0, 0, 0), nullptr);
    HttpRequest sent = OnlyRequest();
    EXPECT_EQ(sent.requestLine, "GET / HTTP/1.1");
    EXPECT_EQ(sent.headers["user-agent"], "Probe/2.1");
    EXPECT_EQ(sent.headers.count("pragma"), 0u);
    EXPECT_EQ(sent.headers.count("cache-control"), 0u);
}

TEST_F(HttpRequestTest, AnyHttpAnswerCountsButNothingElseDoes) {
    // An error status is still an answer: the request went through.
    ASSERT_TRUE(listener_.Start(0, ListenerMode::Answer, "HTTP/1.0 404 Not Found\r\n\r\n"))
        << listener_.error();
    HINTERNET session = Session();
    std::string url = UrlFor(listener_.port(), ReportPath());
    EXPECT_NE(InternetOpenUrlA(session, url.c_str(), nullptr, 0, kUsageReportFlags, 0), nullptr);
    listener_.Stop();

    Listener other;
    ASSERT_TRUE(other.Start(0, ListenerMode::Answer, "SSH-2.0-nothing\r\n")) << other.error();
    url = UrlFor(other.port(), ReportPath());
    SetLastError(0);
    EXPECT_EQ(InternetOpenUrlA(session, url.c_str(), nullptr, 0, kUsageReportFlags, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(EPROTO));
    other.Stop();

    // Closed without a word.
    Listener mute;
    ASSERT_TRUE(mute.Start(0, ListenerMode::Answer, "")) << mute.error();
    url = UrlFor(mute.port(), ReportPath());
    SetLastError(0);
    EXPECT_EQ(InternetOpenUrlA(session, url.c_str(), nullptr, 0, kUsageReportFlags, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ECONNRESET));
    EXPECT_EQ(mute.Requests().size(), 1u);
}

TEST_F(HttpRequestTest, NothingListeningFailsAtOnce) {
    // A port that was just free: bind, note it, let it go.
    ASSERT_TRUE(listener_.Start(0, ListenerMode::Answer, kOkReply)) << listener_.error();
    unsigned short port = listener_.port();
    listener_.Stop();
    HINTERNET session = Session();
    std::string url = UrlFor(port, ReportPath());
    Clock::time_point start = Clock::now();
    SetLastError(0);
    EXPECT_EQ(InternetOpenUrlA(session, url.c_str(), nullptr, 0, kUsageReportFlags, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ECONNREFUSED));
    EXPECT_LT(SecondsSince(start), 1.0);
}

TEST_F(HttpRequestTest, RefusesWhatItCannotSend) {
    HINTERNET session = Session();
    SetLastError(0);
    EXPECT_EQ(InternetOpenUrlA(nullptr, "http://127.0.0.1/", nullptr, 0, 0, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(EBADF));
    // Only what InternetOpenA made is a session.
    int notASession = 0;
    SetLastError(0);
    EXPECT_EQ(InternetOpenUrlA(&notASession, "http://127.0.0.1/", nullptr, 0, 0, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(EBADF));

    for (const char *url : {"https://127.0.0.1/", "ftp://127.0.0.1/", "http://", "http:///path",
                            "http://127.0.0.1:0/", "http://127.0.0.1:65536/",
                            "http://127.0.0.1:80x/", "http://[::1/",
                            "http://user@127.0.0.1/"}) {
        SCOPED_TRACE(url);
        SetLastError(0);
        EXPECT_EQ(InternetOpenUrlA(session, url, nullptr, 0, 0, 0), nullptr);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(EINVAL));
    }

    // Only direct connections: there is no proxy support.
    SetLastError(0);
    EXPECT_EQ(InternetOpenA("Sample", 0, nullptr, nullptr, 0), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(EINVAL));
}

// The budget for a whole request is five seconds; these allow for a slow,
// shared machine on top.
constexpr double kBudgetSeconds = 5.0;
constexpr double kSlackSeconds = 2.0;

TEST_F(HttpRequestTest, AServiceThatNeverAnswersCostsABoundedWait) {
    ASSERT_TRUE(listener_.Start(0, ListenerMode::Silent, "")) << listener_.error();
    HINTERNET session = Session();
    std::string url = UrlFor(listener_.port(), ReportPath());
    Clock::time_point start = Clock::now();
    SetLastError(0);
    EXPECT_EQ(InternetOpenUrlA(session, url.c_str(), nullptr, 0, kUsageReportFlags, 0), nullptr);
    double elapsed = SecondsSince(start);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ETIMEDOUT));
    EXPECT_GE(elapsed, kBudgetSeconds - 0.5);
    EXPECT_LT(elapsed, kBudgetSeconds + kSlackSeconds);
    EXPECT_EQ(listener_.Requests().size(), 1u);
}

TEST_F(HttpRequestTest, AServiceThatNeverAcceptsCostsABoundedWait) {
    // A listener with a full backlog: Linux drops further connection requests,
    // so the connect itself hangs.
    int full = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(full, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(full, reinterpret_cast<sockaddr *>(&address), sizeof address), 0);
    ASSERT_EQ(listen(full, 0), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(getsockname(full, reinterpret_cast<sockaddr *>(&address), &length), 0);
    std::vector<int> fillers;
    for (int i = 0; i < 2; ++i) {
        int filler = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        ASSERT_GE(filler, 0);
        int result = connect(filler, reinterpret_cast<sockaddr *>(&address), sizeof address);
        ASSERT_TRUE(result == 0 || errno == EINPROGRESS) << std::strerror(errno);
        fillers.push_back(filler);
    }

    HINTERNET session = Session();
    std::string url = UrlFor(ntohs(address.sin_port), ReportPath());
    Clock::time_point start = Clock::now();
    SetLastError(0);
    EXPECT_EQ(InternetOpenUrlA(session, url.c_str(), nullptr, 0, kUsageReportFlags, 0), nullptr);
    double elapsed = SecondsSince(start);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ETIMEDOUT));
    EXPECT_LT(elapsed, kBudgetSeconds + kSlackSeconds);
    for (int filler : fillers) close(filler);
    close(full);
}

TEST_F(HttpRequestTest, ANameThatDoesNotResolveCostsABoundedWait) {
    HINTERNET session = Session();
    Clock::time_point start = Clock::now();
    SetLastError(0);
    // .invalid never resolves; whether the resolver says so at once or has no
    // network to ask, the call gives up within the budget.
    EXPECT_EQ(InternetOpenUrlA(session, "http://usage.torvane.invalid/ws/", nullptr, 0,
                               kUsageReportFlags, 0),
              nullptr);
    EXPECT_NE(GetLastError(), 0u);
    EXPECT_LT(SecondsSince(start), kBudgetSeconds + kSlackSeconds);
}

}  // namespace
