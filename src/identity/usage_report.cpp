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

namespace {

// How long start-up waits for the report: a service that is down, or a
// network that drops packets, must not hold the program for the platform's
// own time-outs, which can be minutes.
constexpr DWORD kUsageReportWaitMs = 5000;

DWORD WINAPI SendUsageRequest(LPVOID) {
    // No proxy, and the answer is never read: only the request matters. The
    // results are not tested because nothing is shown whatever happens, and
    // the handles stay open until the process ends.
    HINTERNET session = InternetOpenA("Sample", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    InternetOpenUrlA(session, g_requestUrl, nullptr, 0, kUsageReportFlags, 0);
    return 0;
}

}  // namespace

void SendUsageReport(const char *machineCode, const char *appId) {
    if (!FormatUsageReportUrl(g_requestUrl, sizeof g_requestUrl, kUsageLogHost, machineCode,
                              appId)) {
        return;
    }
    // The request runs on a thread of its own, so that start-up can stop
    // waiting for it. A request still running then is left to finish or to
    // end with the process; nothing else uses what it uses. Without a thread
    // there is no report: start-up is never held longer than the wait.
    HANDLE thread = CreateThread(nullptr, 0, SendUsageRequest, nullptr, 0, nullptr);
    if (thread == nullptr) return;
    WaitForSingleObject(thread, kUsageReportWaitMs);
    CloseHandle(thread);
}
