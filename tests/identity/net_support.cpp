#include "net_support.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cctype>

namespace identity_test {

namespace {

bool ReadLine(const std::string &path, std::string *line) {
    std::ifstream in(path);
    if (!in) return false;
    std::getline(in, *line);
    return true;
}

std::string Lower(std::string text) {
    for (char &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string Trim(const std::string &text) {
    std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    std::size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

}  // namespace

bool ReadSysLinks(std::vector<SysLink> *links) {
    links->clear();
    DIR *directory = opendir("/sys/class/net");
    if (directory == nullptr) return false;
    while (dirent *entry = readdir(directory)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        std::string base = "/sys/class/net/" + name + "/";
        std::string addressLength, flags, index, address;
        if (!ReadLine(base + "addr_len", &addressLength) || !ReadLine(base + "flags", &flags) ||
            !ReadLine(base + "ifindex", &index) || !ReadLine(base + "address", &address)) {
            continue;
        }
        if (std::stoul(addressLength) != 6) continue;
        constexpr unsigned long kLoopbackFlag = 0x8;
        if (std::stoul(flags, nullptr, 16) & kLoopbackFlag) continue;
        SysLink link;
        link.name = name;
        link.index = static_cast<unsigned>(std::stoul(index));
        for (char c : address) {
            if (c == ':') continue;
            link.address += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        links->push_back(link);
    }
    closedir(directory);
    std::sort(links->begin(), links->end(),
              [](const SysLink &a, const SysLink &b) { return a.index < b.index; });
    return true;
}

bool ParseHttpRequest(const std::string &raw, HttpRequest *request) {
    request->raw = raw;
    request->headers.clear();
    std::size_t end = raw.find("\r\n\r\n");
    if (end == std::string::npos) return false;
    std::size_t lineEnd = raw.find("\r\n");
    request->requestLine = raw.substr(0, lineEnd);
    std::size_t position = lineEnd + 2;
    while (position < end) {
        std::size_t next = raw.find("\r\n", position);
        std::string line = raw.substr(position, next - position);
        std::size_t colon = line.find(':');
        if (colon == std::string::npos) return false;
        std::string name = Lower(line.substr(0, colon));
        if (request->headers.count(name)) return false;  // no header is sent twice
        request->headers[name] = Trim(line.substr(colon + 1));
        position = next + 2;
    }
    return true;
}

Listener::~Listener() { Stop(); }

bool Listener::Start(unsigned short port, ListenerMode mode, std::string reply) {
    mode_ = mode;
    reply_ = std::move(reply);
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        error_ = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    int on = 1;
    if (setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        error_ = std::string("SO_REUSEADDR: ") + std::strerror(errno);
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        error_ = "bind 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno);
        return false;
    }
    if (listen(fd_, 16) != 0) {
        error_ = std::string("listen: ") + std::strerror(errno);
        return false;
    }
    socklen_t length = sizeof address;
    if (getsockname(fd_, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        error_ = std::string("getsockname: ") + std::strerror(errno);
        return false;
    }
    port_ = ntohs(address.sin_port);
    if (pipe2(wake_, O_CLOEXEC) != 0) {
        error_ = std::string("pipe2: ") + std::strerror(errno);
        return false;
    }
    thread_ = std::thread([this] { Run(); });
    return true;
}

void Listener::Stop() {
    if (thread_.joinable()) {
        char byte = 1;
        // The thread only waits in poll, on this pipe among others.
        if (write(wake_[1], &byte, 1) != 1) std::abort();
        thread_.join();
    }
    for (int *fd : {&fd_, &wake_[0], &wake_[1]}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

void Listener::Run() {
    struct Connection {
        int fd;
        std::string received;
        bool recorded;
    };
    std::vector<Connection> connections;
    for (;;) {
        std::vector<pollfd> waits = {{wake_[0], POLLIN, 0}, {fd_, POLLIN, 0}};
        for (const Connection &connection : connections) {
            waits.push_back({connection.fd, POLLIN, 0});
        }
        if (poll(waits.data(), waits.size(), -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (waits[0].revents) break;
        for (std::size_t i = 0; i < connections.size(); ++i) {
            Connection &connection = connections[i];
            if (!waits[i + 2].revents) continue;
            char chunk[4096];
            ssize_t count = read(connection.fd, chunk, sizeof chunk);
            if (count > 0) connection.received.append(chunk, static_cast<std::size_t>(count));
            bool close = count <= 0;
            if (!connection.recorded && connection.received.find("\r\n\r\n") != std::string::npos) {
                connection.recorded = true;
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    requests_.push_back(connection.received);
                }
                arrived_.notify_all();
                if (mode_ == ListenerMode::Answer) {
                    // Small enough for one write on a fresh loopback connection;
                    // a client that has gone already is its own business.
                    [[maybe_unused]] ssize_t written =
                        write(connection.fd, reply_.data(), reply_.size());
                    close = true;
                }
            }
            if (close) {
                ::close(connection.fd);
                connection.fd = -1;
            }
        }
        connections.erase(std::remove_if(connections.begin(), connections.end(),
                                         [](const Connection &c) { return c.fd < 0; }),
                          connections.end());
        // Accepted last, so the waits above still match the connections.
        if (waits[1].revents & POLLIN) {
            int client = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) {
                connections.push_back({client, "", false});
                std::lock_guard<std::mutex> lock(mutex_);
                ++connections_;
            }
        }
    }
    for (const Connection &connection : connections) ::close(connection.fd);
}

bool Listener::WaitForRequests(std::size_t count, std::chrono::milliseconds within) {
    std::unique_lock<std::mutex> lock(mutex_);
    return arrived_.wait_for(lock, within, [&] { return requests_.size() >= count; });
}

std::vector<std::string> Listener::Requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::size_t Listener::Connections() {
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_;
}

}  // namespace identity_test
