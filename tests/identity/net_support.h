// Helpers of the POSIX identity tests: what the kernel says about the network
// interfaces, and a loopback HTTP listener that records what reaches it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace identity_test {

// One interface as /sys/class/net describes it.
struct SysLink {
    std::string name;
    unsigned index = 0;
    std::string address;  // twelve upper-case hex digits
};

// The interfaces with a 6-byte hardware address, loopback left out, ordered
// by interface index. False when /sys/class/net cannot be read.
bool ReadSysLinks(std::vector<SysLink> *links);

// A request as received: its request line and its headers (names in lower
// case).
struct HttpRequest {
    std::string requestLine;
    std::map<std::string, std::string> headers;
    std::string raw;
};
bool ParseHttpRequest(const std::string &raw, HttpRequest *request);

enum class ListenerMode {
    Answer,  // read the request, answer with the reply text, close
    Silent,  // read the request, never answer, keep the connection open
};

// Listens on 127.0.0.1:port (0 picks a free one) on a thread of its own.
class Listener {
public:
    Listener() = default;
    ~Listener();
    Listener(const Listener &) = delete;
    Listener &operator=(const Listener &) = delete;

    // False (with the reason in error()) when the port cannot be bound.
    bool Start(unsigned short port, ListenerMode mode, std::string reply);
    unsigned short port() const { return port_; }
    const std::string &error() const { return error_; }
    // Stops accepting, closes every connection and ends the thread.
    void Stop();
    // Waits until at least count requests arrived or the deadline passes.
    bool WaitForRequests(std::size_t count, std::chrono::milliseconds within);
    std::vector<std::string> Requests();
    std::size_t Connections();

private:
    void Run();

    int fd_ = -1;
    int wake_[2] = {-1, -1};
    unsigned short port_ = 0;
    ListenerMode mode_ = ListenerMode::Answer;
    std::string reply_;
    std::string error_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<std::string> requests_;
    std::size_t connections_ = 0;
};

}  // namespace identity_test
