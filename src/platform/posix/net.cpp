// Network information and the HTTP client.
//
// NetWkstaTransportEnum lists the network interfaces that have a 6-byte
// hardware address, loopback left out, ordered by interface index, each
// address as twelve hex digits: the form the program parses on Windows.
//
// InternetOpenA/InternetOpenUrlA send one HTTP/1.1 GET over TCP, directly (no
// proxy), wait for the status line of the answer and close the connection.
// The whole request, name resolution included, is bounded by one deadline, so
// a dead or slow service delays the caller by a few seconds at most.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <poll.h>
#include <strings.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/if_packet.h>
#else
#include <net/if_dl.h>
#endif

#include "platform/posix/win32_posix.h"

namespace {

// Windows' status codes for the two refusals below; every other failure is
// reported with its errno value.
constexpr NET_API_STATUS kErrorNotSupported = 50;
constexpr NET_API_STATUS kErrorInvalidLevel = 124;

struct LinkAddress {
    unsigned index;
    unsigned char bytes[6];
    std::string name;
};

// The interface's 6-byte hardware address, if the entry carries one.
bool HardwareAddressOf(const ifaddrs *entry, LinkAddress *link) {
    if (entry->ifa_addr == nullptr) return false;
#if defined(__linux__)
    if (entry->ifa_addr->sa_family != AF_PACKET) return false;
    const auto *packet = reinterpret_cast<const sockaddr_ll *>(entry->ifa_addr);
    if (packet->sll_halen != 6) return false;
    link->index = static_cast<unsigned>(packet->sll_ifindex);
    std::memcpy(link->bytes, packet->sll_addr, 6);
#else
    if (entry->ifa_addr->sa_family != AF_LINK) return false;
    const auto *datalink = reinterpret_cast<const sockaddr_dl *>(entry->ifa_addr);
    if (datalink->sdl_alen != 6) return false;
    link->index = datalink->sdl_index;
    std::memcpy(link->bytes, LLADDR(datalink), 6);
#endif
    link->name = entry->ifa_name != nullptr ? entry->ifa_name : "";
    return true;
}

// Narrow ASCII text widened character by character (interface names are
// ASCII), terminated.
wchar_t *CopyWide(wchar_t *to, const char *from) {
    while (*from) *to++ = static_cast<wchar_t>(static_cast<unsigned char>(*from++));
    *to++ = L'\0';
    return to;
}

}  // namespace

NET_API_STATUS NetWkstaTransportEnum(LMSTR serverName, DWORD level, LPBYTE *buffer,
                                     DWORD, LPDWORD entriesRead, LPDWORD totalEntries,
                                     LPDWORD resumeHandle) {
    if (buffer == nullptr || entriesRead == nullptr || totalEntries == nullptr) return EINVAL;
    *buffer = nullptr;
    *entriesRead = 0;
    *totalEntries = 0;
    // Only the local computer, level 0, in one go: all the program asks for.
    if (serverName != nullptr) return kErrorNotSupported;
    if (level != 0) return kErrorInvalidLevel;
    if (resumeHandle != nullptr) *resumeHandle = 0;

    ifaddrs *interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0) return static_cast<NET_API_STATUS>(errno);
    std::vector<LinkAddress> links;
    for (const ifaddrs *entry = interfaces; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_flags & IFF_LOOPBACK) continue;
        LinkAddress link;
        if (HardwareAddressOf(entry, &link)) links.push_back(link);
    }
    freeifaddrs(interfaces);
    // The kernel's order is that of the interface indexes; getifaddrs itself
    // promises no order.
    std::stable_sort(links.begin(), links.end(),
                     [](const LinkAddress &a, const LinkAddress &b) { return a.index < b.index; });
    if (links.empty()) return NERR_Success;

    // One block holds the records and the texts they point to, so that one
    // NetApiBufferFree releases everything.
    std::size_t characters = 0;
    for (const LinkAddress &link : links) characters += link.name.size() + 1 + 13;
    std::size_t recordsSize = links.size() * sizeof(WKSTA_TRANSPORT_INFO_0);
    void *block = std::malloc(recordsSize + characters * sizeof(wchar_t));
    if (block == nullptr) return ENOMEM;
    auto *records = static_cast<WKSTA_TRANSPORT_INFO_0 *>(block);
    auto *text = reinterpret_cast<wchar_t *>(static_cast<char *>(block) + recordsSize);
    for (std::size_t i = 0; i < links.size(); ++i) {
        WKSTA_TRANSPORT_INFO_0 &record = records[i];
        std::memset(&record, 0, sizeof record);
        record.wkti0_transport_name = text;
        text = CopyWide(text, links[i].name.c_str());
        record.wkti0_transport_address = text;
        static const char kDigits[] = "0123456789ABCDEF";
        for (unsigned char byte : links[i].bytes) {
            *text++ = static_cast<wchar_t>(kDigits[byte >> 4]);
            *text++ = static_cast<wchar_t>(kDigits[byte & 0x0F]);
        }
        *text++ = L'\0';
    }
    *buffer = static_cast<LPBYTE>(block);
    *entriesRead = static_cast<DWORD>(links.size());
    *totalEntries = static_cast<DWORD>(links.size());
    return NERR_Success;
}

NET_API_STATUS NetApiBufferFree(LPVOID buffer) {
    std::free(buffer);
    return NERR_Success;
}

namespace {

using Clock = std::chrono::steady_clock;

// Everything from name resolution to the status line fits in this time.
constexpr std::chrono::milliseconds kRequestBudget{5000};

// What the internet handles point at. The program never closes them, so they
// are kept in one process-wide list: a handle passed in can be recognised, and
// they stay reachable (no leak report) until the process ends.
enum class InternetKind { Session, Request };
struct InternetHandle {
    InternetKind kind;
    std::string agent;
};
std::mutex g_internetMutex;
std::vector<std::unique_ptr<InternetHandle>> g_internetHandles;

HINTERNET NewInternetHandle(InternetKind kind, const char *agent) {
    std::unique_ptr<InternetHandle> handle(new (std::nothrow) InternetHandle{kind, {}});
    if (!handle) return nullptr;
    if (agent != nullptr) handle->agent = agent;
    std::lock_guard<std::mutex> lock(g_internetMutex);
    g_internetHandles.push_back(std::move(handle));
    return g_internetHandles.back().get();
}

// The agent of a session handle made by InternetOpenA; false for anything else.
bool SessionAgent(HINTERNET handle, std::string *agent) {
    std::lock_guard<std::mutex> lock(g_internetMutex);
    for (const auto &known : g_internetHandles) {
        if (known.get() == handle && known->kind == InternetKind::Session) {
            *agent = known->agent;
            return true;
        }
    }
    return false;
}

int MillisecondsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Waits until fd is ready for events or the deadline passes: 0 when ready,
// otherwise the errno (ETIMEDOUT at the deadline).
int WaitReady(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        int left = MillisecondsLeft(deadline);
        if (left == 0) return ETIMEDOUT;
        pollfd entry{fd, events, 0};
        int result = poll(&entry, 1, left);
        if (result < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        // Errors and hang-ups count as ready: the next call reports them.
        if (result > 0) return 0;
    }
}

// A URL split into what the request needs.
struct UrlParts {
    std::string authority;  // host[:port] as written, for the Host header
    std::string host;       // without brackets or port, for name resolution
    std::string port;
    std::string target;     // path and query
};

// Only http:// URLs: the report never uses anything else.
bool SplitUrl(const char *url, UrlParts *parts) {
    static const char kScheme[] = "http://";
    if (strncasecmp(url, kScheme, sizeof kScheme - 1) != 0) return false;
    const char *start = url + sizeof kScheme - 1;
    const char *end = start + std::strcspn(start, "/?#");
    parts->authority.assign(start, end);
    if (parts->authority.empty() || parts->authority.find('@') != std::string::npos) return false;
    parts->target.clear();
    if (*end != '/') parts->target.push_back('/');
    parts->target.append(end);
    std::size_t hash = parts->target.find('#');
    if (hash != std::string::npos) parts->target.resize(hash);

    std::string portText;
    if (parts->authority[0] == '[') {
        // An IPv6 literal: [address] or [address]:port.
        std::size_t close = parts->authority.find(']');
        if (close == std::string::npos) return false;
        parts->host = parts->authority.substr(1, close - 1);
        std::string rest = parts->authority.substr(close + 1);
        if (!rest.empty() && rest[0] != ':') return false;
        if (!rest.empty()) portText = rest.substr(1);
    } else {
        std::size_t colon = parts->authority.find(':');
        parts->host = parts->authority.substr(0, colon);
        if (colon != std::string::npos) portText = parts->authority.substr(colon + 1);
    }
    if (parts->host.empty()) return false;
    if (portText.empty()) {
        parts->port = "80";
        return true;
    }
    if (portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    long port = std::strtol(portText.c_str(), nullptr, 10);
    if (port < 1 || port > 65535) return false;
    parts->port = portText;
    return true;
}

// Name resolution runs on a helper thread so that the caller can stop waiting
// at the deadline: getaddrinfo itself cannot be given a time limit. A helper
// given up on finishes in the background (the resolver's own time-outs end
// it); whoever of the two lets go last frees the shared state and the result.
struct Resolution {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    int holders = 2;
    std::string host;
    std::string port;
    int status = 0;
    int systemError = 0;
    addrinfo *addresses = nullptr;
};

void ReleaseResolution(Resolution *resolution) {
    bool last;
    {
        std::lock_guard<std::mutex> lock(resolution->mutex);
        last = --resolution->holders == 0;
    }
    if (last) {
        if (resolution->addresses != nullptr) freeaddrinfo(resolution->addresses);
        delete resolution;
    }
}

void *Resolve(void *argument) {
    auto *resolution = static_cast<Resolution *>(argument);
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo *addresses = nullptr;
    int status =
        getaddrinfo(resolution->host.c_str(), resolution->port.c_str(), &hints, &addresses);
    int systemError = errno;
    {
        std::lock_guard<std::mutex> lock(resolution->mutex);
        resolution->status = status;
        resolution->systemError = systemError;
        resolution->addresses = status == 0 ? addresses : nullptr;
        resolution->finished = true;
    }
    resolution->done.notify_one();
    ReleaseResolution(resolution);
    return nullptr;
}

// 0 with the addresses (the caller frees them), or an errno value.
int ResolveWithin(const UrlParts &parts, Clock::time_point deadline, addrinfo **addresses) {
    auto *resolution = new (std::nothrow) Resolution;
    if (resolution == nullptr) return ENOMEM;
    resolution->host = parts.host;
    resolution->port = parts.port;

    // The helper blocks every signal, so that signals meant for the process
    // (the console's restore on SIGTERM, SIGINT, SIGHUP) reach other threads.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    int result = pthread_sigmask(SIG_SETMASK, &all, &previous);
    if (result != 0) {
        delete resolution;
        return result;
    }
    pthread_attr_t attributes;
    result = pthread_attr_init(&attributes);
    if (result == 0) {
        result = pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        pthread_t thread;
        if (result == 0) result = pthread_create(&thread, &attributes, Resolve, resolution);
        pthread_attr_destroy(&attributes);
    }
    int restored = pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (result != 0) {
        delete resolution;
        return result;
    }
    // From here the helper holds the state too: every road below lets go of it.
    int error = 0;
    {
        std::unique_lock<std::mutex> lock(resolution->mutex);
        if (!resolution->done.wait_until(lock, deadline,
                                         [resolution] { return resolution->finished; })) {
            error = ETIMEDOUT;
        } else if (resolution->status == 0) {
            *addresses = resolution->addresses;
            resolution->addresses = nullptr;
        } else if (resolution->status == EAI_SYSTEM) {
            error = resolution->systemError != 0 ? resolution->systemError : EIO;
        } else if (resolution->status == EAI_MEMORY) {
            error = ENOMEM;
        } else if (resolution->status == EAI_AGAIN) {
            error = EAGAIN;
        } else {
            // No errno says "no such host"; the closest is that it cannot be
            // reached.
            error = EHOSTUNREACH;
        }
    }
    ReleaseResolution(resolution);
    // A signal mask that could not be put back would leave the caller's
    // thread deaf to signals: fail rather than go on quietly.
    if (error == 0 && restored != 0) {
        freeaddrinfo(*addresses);
        *addresses = nullptr;
        error = restored;
    }
    return error;
}

// Connects to the first address that answers: the socket, or -1 with the
// last address's error in *error.
int ConnectWithin(const addrinfo *addresses, Clock::time_point deadline, int *error) {
    *error = EHOSTUNREACH;
    for (const addrinfo *address = addresses; address != nullptr; address = address->ai_next) {
        int fd = socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                        address->ai_protocol);
        if (fd < 0) {
            *error = errno;
            continue;
        }
        if (connect(fd, address->ai_addr, address->ai_addrlen) == 0) return fd;
        if (errno != EINPROGRESS) {
            *error = errno;
            close(fd);
            continue;
        }
        *error = WaitReady(fd, POLLOUT, deadline);
        if (*error == 0) {
            int status = 0;
            socklen_t length = sizeof status;
            if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &status, &length) != 0) {
                *error = errno;
            } else {
                *error = status;
            }
        }
        if (*error == 0) return fd;
        close(fd);
        if (*error == ETIMEDOUT) return -1;  // no time is left for the others
    }
    return -1;
}

// 0 when all of text went out before the deadline, otherwise the errno.
int SendWithin(int fd, const std::string &text, Clock::time_point deadline) {
    std::size_t sent = 0;
    while (sent < text.size()) {
        // MSG_NOSIGNAL: a peer that went away must not raise SIGPIPE.
        ssize_t result = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (result > 0) {
            sent += static_cast<std::size_t>(result);
            continue;
        }
        if (result < 0 && errno == EINTR) continue;
        if (result < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return errno;
        int error = WaitReady(fd, POLLOUT, deadline);
        if (error != 0) return error;
    }
    return 0;
}

// 0 once the answer's status line ("HTTP/...", ended by a line feed) has come
// before the deadline; otherwise the errno.
int ReceiveStatusLineWithin(int fd, Clock::time_point deadline) {
    std::string received;
    // A status line is short; a peer that sends this much without a line end
    // does not speak HTTP.
    constexpr std::size_t kLongestStatusLine = 1024;
    char chunk[256];
    while (received.find('\n') == std::string::npos) {
        if (received.size() > kLongestStatusLine) return EPROTO;
        ssize_t result = recv(fd, chunk, sizeof chunk, 0);
        if (result > 0) {
            received.append(chunk, static_cast<std::size_t>(result));
            continue;
        }
        if (result == 0) return ECONNRESET;  // closed before answering
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return errno;
        int error = WaitReady(fd, POLLIN, deadline);
        if (error != 0) return error;
    }
    return received.compare(0, 5, "HTTP/") == 0 ? 0 : EPROTO;
}

std::string RequestText(const UrlParts &parts, const std::string &agent, LPCSTR headers,
                        DWORD headersLength, DWORD flags) {
    std::string request = "GET " + parts.target + " HTTP/1.1\r\n";
    request += "Host: " + parts.authority + "\r\n";
    if (!agent.empty()) request += "User-Agent: " + agent + "\r\n";
    if (flags & INTERNET_FLAG_PRAGMA_NOCACHE) {
        // Both forms, so that neither an HTTP/1.0 nor an HTTP/1.1 cache on
        // the way answers in the server's place.
        request += "Pragma: no-cache\r\nCache-Control: no-cache\r\n";
    }
    // The connection ends after the status line: the server need not keep it.
    request += "Connection: close\r\n";
    if (headers != nullptr && headersLength != 0) {
        // As on Windows, a length of -1 means the headers are terminated text.
        std::string extra = headersLength == static_cast<DWORD>(-1)
                                ? std::string(headers)
                                : std::string(headers, headersLength);
        if (!extra.empty()) {
            if (extra.size() < 2 || extra.compare(extra.size() - 2, 2, "\r\n") != 0) {
                extra += "\r\n";
            }
            request += extra;
        }
    }
    request += "\r\n";
    return request;
}

}  // namespace

HINTERNET InternetOpenA(LPCSTR agent, DWORD accessType, LPCSTR, LPCSTR, DWORD flags) {
    // Only direct, synchronous sessions: there is no proxy support here, and
    // the proxy arguments mean nothing without one.
    if (accessType != INTERNET_OPEN_TYPE_DIRECT || flags != 0) {
        SetLastError(EINVAL);
        return nullptr;
    }
    HINTERNET session = NewInternetHandle(InternetKind::Session, agent);
    if (session == nullptr) SetLastError(ENOMEM);
    return session;
}

// The cache, authentication, dialogue and form flags need nothing here: this
// client keeps no cache, never authenticates and shows nothing. Only
// INTERNET_FLAG_PRAGMA_NOCACHE changes the request.
HINTERNET InternetOpenUrlA(HINTERNET session, LPCSTR url, LPCSTR headers, DWORD headersLength,
                           DWORD flags, DWORD_PTR) {
    Clock::time_point deadline = Clock::now() + kRequestBudget;
    std::string agent;
    if (!SessionAgent(session, &agent)) {
        SetLastError(EBADF);
        return nullptr;
    }
    UrlParts parts;
    if (url == nullptr || !SplitUrl(url, &parts)) {
        SetLastError(EINVAL);
        return nullptr;
    }

    addrinfo *addresses = nullptr;
    int error = ResolveWithin(parts, deadline, &addresses);
    if (error != 0) {
        SetLastError(static_cast<DWORD>(error));
        return nullptr;
    }
    int fd = ConnectWithin(addresses, deadline, &error);
    freeaddrinfo(addresses);
    if (fd < 0) {
        SetLastError(static_cast<DWORD>(error));
        return nullptr;
    }
    error = SendWithin(fd, RequestText(parts, agent, headers, headersLength, flags), deadline);
    if (error == 0) error = ReceiveStatusLineWithin(fd, deadline);
    // The answer is not read further; closing may reset what is left of it.
    // A failed close changes nothing for the caller once the answer has come.
    close(fd);
    if (error != 0) {
        SetLastError(static_cast<DWORD>(error));
        return nullptr;
    }
    HINTERNET request = NewInternetHandle(InternetKind::Request, nullptr);
    if (request == nullptr) SetLastError(ENOMEM);
    return request;
}
