// Network information and the HTTP client. NetWkstaTransportEnum lists the
// interfaces with a 6-byte hardware address, loopback left out, by index.
// InternetOpenUrlA sends one HTTP/1.1 GET over TCP, directly (no proxy), and
// waits for the answer's status line; the whole request, name lookup
// included, is bounded by one deadline, so a dead service costs seconds at most.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netdb.h>
#include <poll.h>
#include <unistd.h>

#include "platform/posix/handles.h"

namespace {

// The link with the lowest interface index above *index (the kernel's order;
// getifaddrs promises none) with a 6-byte hardware address, loopback left
// out, or null. *index becomes its index.
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

// One session, one request, never closed: a static record each.
char g_agent[256];
char g_request;

// The URL the program builds, http://host[:port]/path, split: the host, the
// port, host[:port] as written (for the Host header) and the path and query.
struct Url {
    char host[256], port[6];
    const char *authority, *target;
    int authorityLength;
};

long NowMs() { return static_cast<long>(NowNs() / 1000000); }

HINTERNET Fail(int error) {
    SetLastError(static_cast<DWORD>(error));
    return nullptr;
}

// No user info and no IPv6 literals: the configured host is host[:port].
bool SplitUrl(const char *url, Url *parts) {
    if (url == nullptr || std::strncmp(url, "http://", 7) != 0) return false;
    const char *start = parts->authority = url + 7;
    std::size_t length = std::strcspn(start, "/"), hostLength = std::strcspn(start, ":/");
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

// 0 once fd is ready for events (errors and hang-ups too: the next call
// reports them), ETIMEDOUT at the deadline, otherwise the errno.
int WaitReady(int fd, short events, long deadline) {
    for (long left; (left = deadline - NowMs()) > 0;) {
        pollfd entry{fd, events, 0};
        int result = poll(&entry, 1, static_cast<int>(left));
        if (result > 0) return 0;
        if (result < 0 && errno != EINTR) return errno;
    }
    return ETIMEDOUT;
}

// getaddrinfo takes no time limit: a name is looked up on the C library's
// helper thread (which blocks every signal) while the caller waits until the
// deadline. An abandoned lookup finishes into these records later; until
// then, the next lookup fails at once.
gaicb g_lookup;
addrinfo g_hints;
Url g_lookupUrl;

int LookUp(const Url &url, long deadline, addrinfo **addresses) {
    g_hints.ai_socktype = SOCK_STREAM;
    g_hints.ai_flags = AI_NUMERICSERV | AI_NUMERICHOST;
    // A numeric address needs neither a lookup nor a thread.
    int status = getaddrinfo(url.host, url.port, &g_hints, addresses);
    if (status == EAI_NONAME) {
        if (gai_error(&g_lookup) == EAI_INPROGRESS) return EBUSY;
        if (g_lookup.ar_result != nullptr) freeaddrinfo(g_lookup.ar_result);
        g_lookupUrl = url;
        g_hints.ai_flags = AI_NUMERICSERV;
        g_lookup = gaicb{g_lookupUrl.host, g_lookupUrl.port, &g_hints, nullptr, 0, {}};
        gaicb *list[] = {&g_lookup};
        status = getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr);
        while (status == 0 && (status = gai_error(&g_lookup)) == EAI_INPROGRESS) {
            long left = deadline - NowMs();
            if (left <= 0) return ETIMEDOUT;
            timespec wait{left / 1000, left % 1000 * 1000000};
            gai_suspend(list, 1, &wait);
        }
        *addresses = g_lookup.ar_result;
        g_lookup.ar_result = nullptr;
    }
    if (status == 0) return 0;
    // No errno says "no such host"; the closest is that it cannot be reached.
    if (status == EAI_MEMORY || status == EAI_AGAIN) return status == EAI_MEMORY ? ENOMEM : EAGAIN;
    return status == EAI_SYSTEM ? EIO : EHOSTUNREACH;
}

// Connects to the first address that answers: the socket, or -1 with the
// last address's error in *error.
int Connect(const addrinfo *address, long deadline, int *error) {
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

// Sends the request and waits for the answer's status line ("HTTP/...", ended
// by a line feed): 0 once it has come, otherwise the errno.
int Exchange(int fd, const char *request, std::size_t length, long deadline) {
    // A few hundred bytes fit a fresh connection's send buffer whole.
    // MSG_NOSIGNAL: a peer that went away must not raise SIGPIPE.
    ssize_t sent = send(fd, request, length, MSG_NOSIGNAL);
    if (sent != static_cast<ssize_t>(length)) return sent < 0 ? errno : EIO;
    // A status line is short: a peer that sends this much without a line end
    // does not speak HTTP.
    char received[1024];
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
    // Only the local computer (else Windows' "not supported"), level 0 (else
    // "invalid level"), in one go: all the program asks for.
    if (serverName != nullptr) return 50;
    if (level != 0) return 124;
    if (resumeHandle != nullptr) *resumeHandle = 0;
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) return static_cast<NET_API_STATUS>(errno);
    DWORD count = 0;
    for (unsigned index = 0; NextLink(list, &index) != nullptr;) ++count;
    // One block holds the records and their addresses (12 digits, terminated),
    // for one NetApiBufferFree. The names are left out: the program reads none.
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

// The cache, authentication, dialogue and form flags need nothing: no cache,
// no authentication, nothing shown. Extra headers are refused: none are sent.
HINTERNET InternetOpenUrlA(HINTERNET session, LPCSTR url, LPCSTR headers, DWORD headersLength,
                           DWORD flags, DWORD_PTR) {
    long deadline = NowMs() + 5000;
    if (session != g_agent) return Fail(EBADF);
    Url parts;
    if ((headers != nullptr && headersLength != 0) || !SplitUrl(url, &parts)) return Fail(EINVAL);
    // Both cache headers: no HTTP/1.0 or 1.1 cache on the way answers in the
    // server's place. The connection ends after the status line.
    char request[4096];
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
