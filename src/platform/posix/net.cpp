// Network information and the HTTP client.
//
// NetWkstaTransportEnum lists the network interfaces that have a 6-byte
// hardware address, loopback left out, ordered by interface index, each
// address as twelve hex digits: the form the program parses on Windows.
//
// InternetOpenA/InternetOpenUrlA send one HTTP/1.1 GET over TCP, directly (no
// proxy), wait for the status line of the answer and close the connection.
// The whole request, name lookup included, is bounded by one deadline, so a
// dead or slow service delays the caller by a few seconds at most.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netdb.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "platform/posix/win32_posix.h"

namespace {

// Windows' status codes for the two refusals below; every other failure is
// reported with its errno value.
constexpr NET_API_STATUS kErrorNotSupported = 50;
constexpr NET_API_STATUS kErrorInvalidLevel = 124;

// The entry's interface index if it carries a 6-byte hardware address and is
// no loopback, otherwise 0 (no interface has that index).
unsigned LinkIndex(const ifaddrs *entry) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_PACKET ||
        (entry->ifa_flags & IFF_LOOPBACK)) {
        return 0;
    }
    const auto *link = reinterpret_cast<const sockaddr_ll *>(entry->ifa_addr);
    return link->sll_halen == 6 ? static_cast<unsigned>(link->sll_ifindex) : 0;
}

// The link with the lowest index above `after`, or null. getifaddrs promises
// no order; the kernel's is that of the indexes.
const ifaddrs *NextLink(const ifaddrs *list, unsigned after) {
    const ifaddrs *next = nullptr;
    for (; list != nullptr; list = list->ifa_next) {
        unsigned index = LinkIndex(list);
        if (index > after && (next == nullptr || index < LinkIndex(next))) next = list;
    }
    return next;
}

wchar_t *CopyWide(wchar_t *to, const char *from) {
    while (*from) *to++ = static_cast<wchar_t>(static_cast<unsigned char>(*from++));
    *to++ = L'\0';
    return to;
}

}  // namespace

NET_API_STATUS NetWkstaTransportEnum(LMSTR serverName, DWORD level, LPBYTE *buffer, DWORD,
                                     LPDWORD entriesRead, LPDWORD totalEntries,
                                     LPDWORD resumeHandle) {
    if (buffer == nullptr || entriesRead == nullptr || totalEntries == nullptr) return EINVAL;
    *buffer = nullptr;
    *entriesRead = *totalEntries = 0;
    // Only the local computer, level 0, in one go: all the program asks for.
    if (serverName != nullptr) return kErrorNotSupported;
    if (level != 0) return kErrorInvalidLevel;
    if (resumeHandle != nullptr) *resumeHandle = 0;
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) return static_cast<NET_API_STATUS>(errno);
    DWORD count = 0;
    std::size_t characters = 0;  // each name and its 12 digits, terminated
    for (const ifaddrs *e = NextLink(list, 0); e; e = NextLink(list, LinkIndex(e))) {
        ++count;
        characters += std::strlen(e->ifa_name) + 1 + 13;
    }
    // One block holds the records and their texts: one NetApiBufferFree
    // releases everything.
    auto *records = static_cast<WKSTA_TRANSPORT_INFO_0 *>(
        count ? std::calloc(1, count * sizeof(WKSTA_TRANSPORT_INFO_0) + characters * sizeof(wchar_t))
              : nullptr);
    if (count != 0 && records == nullptr) {
        freeifaddrs(list);
        return ENOMEM;
    }
    auto *text = reinterpret_cast<wchar_t *>(records + count);
    DWORD i = 0;
    for (const ifaddrs *e = NextLink(list, 0); e; e = NextLink(list, LinkIndex(e))) {
        records[i].wkti0_transport_name = text;
        text = CopyWide(text, e->ifa_name);
        records[i++].wkti0_transport_address = text;
        for (int b = 0; b < 6; ++b) {
            unsigned char byte = reinterpret_cast<const sockaddr_ll *>(e->ifa_addr)->sll_addr[b];
            *text++ = static_cast<wchar_t>("0123456789ABCDEF"[byte >> 4]);
            *text++ = static_cast<wchar_t>("0123456789ABCDEF"[byte & 0x0F]);
        }
        *text++ = L'\0';
    }
    freeifaddrs(list);
    *buffer = reinterpret_cast<LPBYTE>(records);
    *entriesRead = *totalEntries = count;
    return NERR_Success;
}

NET_API_STATUS NetApiBufferFree(LPVOID buffer) {
    std::free(buffer);
    return NERR_Success;
}

namespace {

// Everything from the name lookup to the status line fits in this time.
constexpr long kRequestBudgetMs = 5000;

// The program opens one session and never closes it, nor the request: one
// static record each serves, and only they are accepted back.
struct Session {
    char agent[256];
} g_session;
char g_request;

// The URL the program builds: http://host[:port]/path.
struct Url {
    char authority[256];  // host[:port] as written, for the Host header
    char host[256];
    char port[6];
    const char *target;  // path and query
};

long NowMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000L + now.tv_nsec / 1000000;
}

HINTERNET Fail(int error) {
    SetLastError(static_cast<DWORD>(error));
    return nullptr;
}

bool SplitUrl(const char *url, Url *parts) {
    if (url == nullptr || strncasecmp(url, "http://", 7) != 0) return false;
    const char *start = url + 7;
    std::size_t length = std::strcspn(start, "/");
    // No user info and no IPv6 literals: the configured host is host[:port].
    if (length == 0 || length >= sizeof parts->authority || std::strcspn(start, "@[") < length) {
        return false;
    }
    std::memcpy(parts->authority, start, length);
    parts->authority[length] = '\0';
    parts->target = start[length] ? start + length : "/";
    std::size_t hostLength = std::strcspn(parts->authority, ":");
    const char *port = hostLength < length ? parts->authority + hostLength + 1 : "80";
    std::size_t digits = std::strspn(port, "0123456789");
    if (hostLength == 0 || digits == 0 || digits > 5 || port[digits] != '\0') return false;
    if (std::atol(port) < 1 || std::atol(port) > 65535) return false;
    std::memcpy(parts->host, parts->authority, hostLength);
    parts->host[hostLength] = '\0';
    std::strcpy(parts->port, port);
    return true;
}

// Waits until fd is ready for events or the deadline passes: 0 when ready
// (errors and hang-ups too: the next call reports them), otherwise the errno.
int WaitReady(int fd, short events, long deadline) {
    for (;;) {
        long left = deadline - NowMs();
        if (left <= 0) return ETIMEDOUT;
        pollfd entry{fd, events, 0};
        int result = poll(&entry, 1, static_cast<int>(left));
        if (result > 0) return 0;
        if (result < 0 && errno != EINTR) return errno;
    }
}

// getaddrinfo takes no time limit, so a name is looked up by the C library's
// helper thread (which blocks every signal) while the caller waits until the
// deadline. An abandoned lookup finishes into these records later, so they
// outlive the call; one still running makes the next lookup fail at once.
gaicb g_lookup;
addrinfo g_hints;
char g_lookupHost[256];
char g_lookupPort[6];

int LookUp(const Url &url, long deadline, addrinfo **addresses) {
    g_hints.ai_socktype = SOCK_STREAM;
    g_hints.ai_flags = AI_NUMERICSERV | AI_NUMERICHOST;
    // A numeric address needs no lookup, nor a thread.
    int status = getaddrinfo(url.host, url.port, &g_hints, addresses);
    if (status == EAI_NONAME) {
        if (gai_error(&g_lookup) == EAI_INPROGRESS) return EBUSY;
        if (g_lookup.ar_result != nullptr) freeaddrinfo(g_lookup.ar_result);
        std::strcpy(g_lookupHost, url.host);
        std::strcpy(g_lookupPort, url.port);
        g_hints.ai_flags = AI_NUMERICSERV;
        std::memset(&g_lookup, 0, sizeof g_lookup);
        g_lookup.ar_name = g_lookupHost;
        g_lookup.ar_service = g_lookupPort;
        g_lookup.ar_request = &g_hints;
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
    if (status == EAI_MEMORY) return ENOMEM;
    if (status == EAI_AGAIN) return EAGAIN;
    // No errno says "no such host"; the closest is that it cannot be reached.
    return status == EAI_SYSTEM ? EIO : EHOSTUNREACH;
}

// Connects to the first address that answers: the socket, or -1 with the
// last address's error in *error.
int Connect(const addrinfo *address, long deadline, int *error) {
    for (*error = EHOSTUNREACH; address != nullptr; address = address->ai_next) {
        int fd = socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                        address->ai_protocol);
        if (fd < 0) {
            *error = errno;
            continue;
        }
        *error = connect(fd, address->ai_addr, address->ai_addrlen) == 0 ? 0 : errno;
        if (*error == EINPROGRESS && (*error = WaitReady(fd, POLLOUT, deadline)) == 0) {
            socklen_t length = sizeof *error;
            if (getsockopt(fd, SOL_SOCKET, SO_ERROR, error, &length) != 0) *error = errno;
        }
        if (*error == 0) return fd;
        close(fd);
        if (*error == ETIMEDOUT) break;  // no time is left for the others
    }
    return -1;
}

// Sends all of the request, then waits for the answer's status line
// ("HTTP/...", ended by a line feed): 0 once it has come, otherwise the errno.
int Exchange(int fd, const char *request, std::size_t length, long deadline) {
    for (std::size_t sent = 0; sent < length;) {
        // MSG_NOSIGNAL: a peer that went away must not raise SIGPIPE.
        ssize_t result = send(fd, request + sent, length - sent, MSG_NOSIGNAL);
        if (result > 0) {
            sent += static_cast<std::size_t>(result);
        } else if (result < 0 && errno != EINTR && errno != EAGAIN) {
            return errno;
        } else if (int error = WaitReady(fd, POLLOUT, deadline)) {
            return error;
        }
    }
    // A status line is short: a peer that sends this much without a line end
    // does not speak HTTP.
    char received[1024];
    std::size_t got = 0;
    while (std::memchr(received, '\n', got) == nullptr) {
        if (got == sizeof received) return EPROTO;
        ssize_t result = recv(fd, received + got, sizeof received - got, 0);
        if (result > 0) {
            got += static_cast<std::size_t>(result);
        } else if (result == 0) {
            return ECONNRESET;  // closed before answering
        } else if (errno != EINTR && errno != EAGAIN) {
            return errno;
        } else if (int error = WaitReady(fd, POLLIN, deadline)) {
            return error;
        }
    }
    return std::strncmp(received, "HTTP/", 5) == 0 ? 0 : EPROTO;
}

}  // namespace

HINTERNET InternetOpenA(LPCSTR agent, DWORD accessType, LPCSTR, LPCSTR, DWORD flags) {
    // Only direct, synchronous sessions: there is no proxy support here, and
    // the proxy arguments mean nothing without one.
    if (accessType != INTERNET_OPEN_TYPE_DIRECT || flags != 0) return Fail(EINVAL);
    if (agent == nullptr) agent = "";
    if (std::strlen(agent) >= sizeof g_session.agent) return Fail(EINVAL);
    std::strcpy(g_session.agent, agent);
    return &g_session;
}

// The cache, authentication, dialogue and form flags need nothing here: this
// client keeps no cache, never authenticates and shows nothing. Only
// INTERNET_FLAG_PRAGMA_NOCACHE changes the request. Extra headers are refused:
// the program sends none.
HINTERNET InternetOpenUrlA(HINTERNET session, LPCSTR url, LPCSTR headers, DWORD headersLength,
                           DWORD flags, DWORD_PTR) {
    long deadline = NowMs() + kRequestBudgetMs;
    if (session != &g_session) return Fail(EBADF);
    Url parts;
    if ((headers != nullptr && headersLength != 0) || !SplitUrl(url, &parts)) return Fail(EINVAL);
    const char *agent = g_session.agent;
    char request[4096];
    // Both cache headers, so that neither an HTTP/1.0 nor an HTTP/1.1 cache on
    // the way answers in the server's place; the connection ends after the
    // status line, so the server need not keep it.
    int length = std::snprintf(
        request, sizeof request, "GET %s HTTP/1.1\r\nHost: %s\r\n%s%s%s%sConnection: close\r\n\r\n",
        parts.target, parts.authority, *agent ? "User-Agent: " : "", agent, *agent ? "\r\n" : "",
        flags & INTERNET_FLAG_PRAGMA_NOCACHE ? "Pragma: no-cache\r\nCache-Control: no-cache\r\n"
                                             : "");
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof request) return Fail(EINVAL);

    addrinfo *addresses = nullptr;
    int error = LookUp(parts, deadline, &addresses);
    int fd = error ? -1 : Connect(addresses, deadline, &error);
    if (addresses != nullptr) freeaddrinfo(addresses);
    if (fd >= 0) {
        error = Exchange(fd, request, static_cast<std::size_t>(length), deadline);
        // The answer is not read further; closing may reset what is left of it.
        close(fd);
    }
    return error ? Fail(error) : &g_request;
}
