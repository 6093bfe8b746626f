// The usage report: one HTTP GET with the machine code and AppID at start-up.
#include <cstdio>

#include "identity/identity.h"

char g_requestUrl[kRequestUrlFieldSize];

bool FormatUsageReportUrl(char *url, std::size_t size, const char *host,
                          const char *machineCode, const char *appId) {
    // The values go in as they are: both are hex digits, nothing to escape.
    int length = std::snprintf(url, size, "http://%s/ws/applicationlog.php?mac=%s&app=%s", host,
                               machineCode, appId);
    if (length < 0 || static_cast<std::size_t>(length) >= size) {
        if (size > 0) url[0] = '\0';
        return false;
    }
    return true;
}

void SendUsageReport(const char *machineCode, const char *appId) {
    if (!FormatUsageReportUrl(g_requestUrl, sizeof g_requestUrl, kUsageLogHost, machineCode,
                              appId)) {
        return;
    }
    // No proxy, and the answer is never read: only the request matters. The
    // results are not tested because nothing is shown whatever happens, and
    // the handles stay open until the process ends.
    HINTERNET session = InternetOpenA("Sample", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    InternetOpenUrlA(session, g_requestUrl, nullptr, 0, kUsageReportFlags, 0);
}
