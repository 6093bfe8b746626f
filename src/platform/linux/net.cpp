// Network information and the HTTP client: the interfaces with a 6-byte
// hardware address, and one HTTP/1.1 GET over TCP, directly (no proxy), that
// waits for the answer's status line. The whole request, name lookup included,
// is bounded by one deadline, so a dead service costs seconds at most.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include "platform/linux/handles.h"

namespace {

// The link above *index in the kernel's order (getifaddrs promises none) with
// a 6-byte hardware address, loopback left out, or null; *index is set to
// that link's index.
const ifaddrs *NextLink(const ifaddrs *list, unsigned *index) {
    const ifaddrs *next = nullptr;
    for (unsigned after = *index; list != nullptr; list = list->ifa_next) {
        const auto *link = reinterpret_cast<const sockaddr_ll *>(list->ifa_addr);
        if (link == nullptr || link->sll_family != AF_PACKET || link->sll_halen != 6 ||
            (list->ifa_flags & IFF_LOOPBACK) || static_cast<unsigned>(link->sll_ifindex) <= after ||
            (next != nullptr && static_cast<unsigned>(link->sll_ifindex) >= *index)) {
            continue;
        }
        next = list;
        *index = static_cast<unsigned>(link->sll_ifindex);
    }
    return next;
}

// The whole request, name lookup included, gets this long.
constexpr std::int64_t kRequestBudgetMs = 5000;

// One session, one request, never closed: a static record each.
char g_agent[256];
char g_request;

// The URL the program builds, http://host[:port]/path, split for the request.
struct Url {
    char host[256], port[6];
    const char *authority, *target;
    int authorityLength;
};

HINTERNET Fail(int error) {
    FailWith(error);
    return nullptr;
}

// No user info and no IPv6 literals: the configured host is host[:port].
bool SplitUrl(const char *url, Url *parts) {
    if (url == nullptr || std::strncmp(url, "http://", 7) != 0) return false;
    const char *start = url + 7;
    parts->authority = start;
    std::size_t length = std::strcspn(start, "/");
    std::size_t hostLength = std::strcspn(start, ":/");
    const char *port = hostLength < length ? start + hostLength + 1 : "80";
    std::size_t digits = std::strspn(port, "0123456789");
    if (hostLength == 0 || hostLength >= sizeof parts->host || std::strcspn(start, "@[") < length ||
        digits == 0 || digits > 5 || (hostLength < length && hostLength + 1 + digits != length)) {
        return false;
    }
    parts->authorityLength = static_cast<int>(length);
    parts->target = start[length] ? start + length : "/";
    std::snprintf(parts->host, sizeof parts->host, "%.*s", static_cast<int>(hostLength), start);
    std::snprintf(parts->port, sizeof parts->port, "%.*s", static_cast<int>(digits), port);
    return std::atol(parts->port) >= 1 && std::atol(parts->port) <= 65535;
}

// Deadlines are milliseconds since boot, in 64 bits: a 32-bit long would
// wrap after 24.8 days of uptime, and every deadline would then have passed.
std::int64_t NowMs() { return NowNs() / 1000000; }

// 0 once fd is ready (or failed: the next call says how), else the errno.
int WaitReady(int fd, short events, std::int64_t deadline) {
    pollfd entry{fd, events, 0};
    int result = PollUntil(&entry, 1, deadline * 1000000);
    if (result > 0) return 0;
    return result < 0 ? errno : ETIMEDOUT;
}

// getaddrinfo takes no time limit: a helper thread (blocking every signal)
// looks a name up while the caller waits until the deadline. An abandoned
// lookup finishes into this record later; until then the next one fails.
struct Lookup {
    Url url;
    addrinfo hints, *result;
    int status;
    bool running;            // read and written by callers only
    int done[2] = {-1, -1};  // made once: a byte when the helper has finished
} g_lookup;

void *LookUpName(void *) {
    Lookup &l = g_lookup;
    l.status = getaddrinfo(l.url.host, l.url.port, &l.hints, &l.result);
    if (write(g_lookup.done[1], "", 1) != 1) g_lookup.status = EAI_SYSTEM;  // cannot happen
    return nullptr;
}

int LookUp(const Url &url, std::int64_t deadline, addrinfo **addresses) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | AI_NUMERICHOST;
    // A numeric address needs neither a lookup nor a thread.
    int status = getaddrinfo(url.host, url.port, &hints, addresses);
    if (status == EAI_NONAME) {
        char byte;
        if (g_lookup.running && read(g_lookup.done[0], &byte, 1) == 1) {
            g_lookup.running = false;  // the abandoned lookup has finished
            if (g_lookup.result != nullptr) freeaddrinfo(g_lookup.result);
        }
        if (g_lookup.running) return EBUSY;
        if (g_lookup.done[0] < 0 && pipe2(g_lookup.done, O_NONBLOCK | O_CLOEXEC) != 0) return errno;
        g_lookup.url = url;
        g_lookup.hints = hints;
        g_lookup.hints.ai_flags = AI_NUMERICSERV;
        g_lookup.result = nullptr;
        sigset_t all, previous;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);
        int error = StartDetachedThread(LookUpName, nullptr);
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        if (error != 0) return error;
        g_lookup.running = true;
        error = WaitReady(g_lookup.done[0], POLLIN, deadline);
        if (error != 0 || read(g_lookup.done[0], &byte, 1) != 1) return error ? error : errno;
        g_lookup.running = false;
        status = g_lookup.status;
        *addresses = g_lookup.result;
    }
    // No errno says "no such host"; the closest is that it cannot be reached.
    return status == 0 ? 0 : status == EAI_MEMORY ? ENOMEM : status == EAI_AGAIN ? EAGAIN
           : status == EAI_SYSTEM ? EIO : EHOSTUNREACH;
}

// The socket of the first address that answers, or -1 (the last error set).
int Connect(const addrinfo *address, std::int64_t deadline, int *error) {
    for (*error = EHOSTUNREACH; address != nullptr; address = address->ai_next) {
        int fd = socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                        address->ai_protocol);
        *error = fd < 0 || connect(fd, address->ai_addr, address->ai_addrlen) != 0 ? errno : 0;
        if (fd >= 0 && *error == EINPROGRESS && (*error = WaitReady(fd, POLLOUT, deadline)) == 0) {
            socklen_t length = sizeof *error;
            if (getsockopt(fd, SOL_SOCKET, SO_ERROR, error, &length) != 0) *error = errno;
        }
        if (*error == 0) return fd;
        if (fd >= 0) close(fd);
        if (*error == ETIMEDOUT) break;  // no time is left for the others
    }
    return -1;
}

// 0 once the request went out and a status line ("HTTP/...\n") came back.
int Exchange(int fd, const char *request, std::size_t length, std::int64_t deadline) {
    // A few hundred bytes fit a fresh connection's send buffer whole.
    // MSG_NOSIGNAL: a peer that went away must not raise SIGPIPE.
    ssize_t sent = send(fd, request, length, MSG_NOSIGNAL);
    if (sent != static_cast<ssize_t>(length)) return sent < 0 ? errno : EIO;
    // A status line is short: a peer that sends this much without a line end
    // does not speak HTTP.
    static char received[1024];  // static, as the request: start-up's stack may be small
    for (std::size_t done = 0; std::memchr(received, '\n', done) == nullptr;) {
        if (done == sizeof received) return EPROTO;
        if (int error = WaitReady(fd, POLLIN, deadline)) return error;
        ssize_t got = recv(fd, received + done, sizeof received - done, 0);
        if (got == 0) return ECONNRESET;  // closed before answering
        if (got < 0 && errno != EINTR && errno != EAGAIN) return errno;
        done += got > 0 ? static_cast<std::size_t>(got) : 0;
    }
    return std::strncmp(received, "HTTP/", 5) == 0 ? 0 : EPROTO;
}

}  // namespace

NET_API_STATUS NetWkstaTransportEnum(LMSTR serverName, DWORD level, LPBYTE *buffer, DWORD,
                                     LPDWORD entriesRead, LPDWORD totalEntries,
                                     LPDWORD resumeHandle) {
    if (buffer == nullptr || entriesRead == nullptr || totalEntries == nullptr) return EINVAL;
    *buffer = nullptr;
    *entriesRead = *totalEntries = 0;
    // Only the local computer, level 0, in one go: all the program asks for.
    if (serverName != nullptr) return 50;  // Windows' "not supported"
    if (level != 0) return 124;            // and its "invalid level"
    if (resumeHandle != nullptr) *resumeHandle = 0;
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) return static_cast<NET_API_STATUS>(errno);
    DWORD count = 0;
    for (unsigned index = 0; NextLink(list, &index) != nullptr;) ++count;
    // One block for the records and addresses (names are left out: unread).
    std::size_t size = count * (sizeof(WKSTA_TRANSPORT_INFO_0) + 13 * sizeof(wchar_t));
    auto *records = static_cast<WKSTA_TRANSPORT_INFO_0 *>(count ? std::calloc(1, size) : nullptr);
    wchar_t *text = records ? reinterpret_cast<wchar_t *>(records + count) : nullptr;
    DWORD i = 0;
    for (unsigned index = 0; const ifaddrs *e = records ? NextLink(list, &index) : nullptr;) {
        records[i++].wkti0_transport_address = text;
        const unsigned char *bytes = reinterpret_cast<const sockaddr_ll *>(e->ifa_addr)->sll_addr;
        for (int d = 0; d < 12; ++d) {
            *text++ = "0123456789ABCDEF"[(bytes[d / 2] >> (d % 2 ? 0 : 4)) & 15];
        }
        *text++ = L'\0';
    }
    freeifaddrs(list);
    if (count != 0 && records == nullptr) return ENOMEM;
    *buffer = reinterpret_cast<LPBYTE>(records);
    *entriesRead = *totalEntries = count;
    return NERR_Success;
}

NET_API_STATUS NetApiBufferFree(LPVOID buffer) {
    std::free(buffer);
    return NERR_Success;
}

HINTERNET InternetOpenA(LPCSTR agent, DWORD accessType, LPCSTR, LPCSTR, DWORD flags) {
    // Direct sessions only: there is no proxy support, so no proxy arguments.
    if (accessType != INTERNET_OPEN_TYPE_DIRECT || flags != 0) return Fail(EINVAL);
    if (agent != nullptr && std::strlen(agent) >= sizeof g_agent) return Fail(EINVAL);
    std::strcpy(g_agent, agent != nullptr ? agent : "");
    return g_agent;
}

// The other flags need nothing here (no cache, no log-in, nothing shown).
HINTERNET InternetOpenUrlA(HINTERNET session, LPCSTR url, LPCSTR headers, DWORD headersLength,
                           DWORD flags, DWORD_PTR) {
    std::int64_t deadline = NowMs() + kRequestBudgetMs;
    if (session != g_agent) return Fail(EBADF);
    Url parts;
    if ((headers != nullptr && headersLength != 0) || !SplitUrl(url, &parts)) return Fail(EINVAL);
    // Both cache headers, for HTTP/1.0 and 1.1 caches; no need to keep alive.
    static char request[4096];  // static: the program must start with a small stack
    int length = std::snprintf(request, sizeof request,
        "GET %s HTTP/1.1\r\nHost: %.*s\r\n%s%s%s%sConnection: close\r\n\r\n",
        parts.target, parts.authorityLength, parts.authority, *g_agent ? "User-Agent: " : "",
        g_agent, *g_agent ? "\r\n" : "",
        flags & INTERNET_FLAG_PRAGMA_NOCACHE ? "Pragma: no-cache\r\nCache-Control: no-cache\r\n"
                                             : "");
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof request) return Fail(EINVAL);
    addrinfo *addresses = nullptr;
    int error = LookUp(parts, deadline, &addresses);
    int fd = error ? -1 : Connect(addresses, deadline, &error);
    if (addresses != nullptr) freeaddrinfo(addresses);
    if (fd >= 0) {
        error = Exchange(fd, request, static_cast<std::size_t>(length), deadline);
        close(fd);  // the rest of the answer is not read: closing may reset it
    }
    return error ? Fail(error) : &g_request;
}
