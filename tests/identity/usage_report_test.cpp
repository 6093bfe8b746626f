// The usage report's URL: where it goes and what it carries.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "identity/identity.h"

namespace {

TEST(UsageReportUrl, CarriesTheMachineCodeAndAppIdUnescaped) {
    char url[kRequestUrlFieldSize];
    ASSERT_TRUE(FormatUsageReportUrl(url, sizeof url, "logs.example.net", "001A2B3C4D5E", "01AB"));
    EXPECT_STREQ(url, "http://logs.example.net/ws/applicationlog.php?mac=001A2B3C4D5E&app=01AB");

    ASSERT_TRUE(FormatUsageReportUrl(url, sizeof url, "127.0.0.1:8080", "00A0C9FF0102", ""));
    EXPECT_STREQ(url, "http://127.0.0.1:8080/ws/applicationlog.php?mac=00A0C9FF0102&app=");
}

TEST(UsageReportUrl, TheLongestAppIdFitsBesideTheLongestHostName) {
    // A DNS name is at most 253 characters; with a port it still must fit.
    std::string host(253, 'h');
    host += ":65535";
    std::string appId(2 * kCheckFileMaxBytes, 'F');
    static char url[kRequestUrlFieldSize];
    ASSERT_TRUE(FormatUsageReportUrl(url, sizeof url, host.c_str(), "001A2B3C4D5E", appId.c_str()));
    std::string expected =
        "http://" + host + "/ws/applicationlog.php?mac=001A2B3C4D5E&app=" + appId;
    EXPECT_EQ(std::string(url), expected);
}

TEST(UsageReportUrl, ARequestThatDoesNotFitIsNotCut) {
    std::string base = "http://h/ws/applicationlog.php?mac=001A2B3C4D5E&app=";
    std::vector<char> url(base.size() + 4 + 1);
    // Exactly fits: four AppID digits and the terminator.
    EXPECT_TRUE(FormatUsageReportUrl(url.data(), url.size(), "h", "001A2B3C4D5E", "01AB"));
    EXPECT_EQ(std::string(url.data()), base + "01AB");
    // One digit more would be cut: nothing is sent instead of a wrong report.
    EXPECT_FALSE(FormatUsageReportUrl(url.data(), url.size(), "h", "001A2B3C4D5E", "01ABC"));
    EXPECT_STREQ(url.data(), "");
}

}  // namespace
