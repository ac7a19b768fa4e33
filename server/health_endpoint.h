#pragma once
// A plain HTTP health check on a port of its own, for load balancers and
// orchestrators: any request is answered "200 OK" while the server can
// register users and "503" while it cannot (the shared store is down, or the
// server is stopping), with a few lines of figures as the body. It runs on
// the server's poll loop and keeps at most a handful of connections.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <poll.h>
#include <string>
#include <vector>

namespace voxlet::directory_server {

class HealthEndpoint {
public:
    using Steady = std::chrono::steady_clock;
    struct State {
        bool healthy = true;
        std::string body; // lines of text
    };
    using Report = std::function<State()>;

    HealthEndpoint(std::string address, std::uint16_t port, Report report);
    ~HealthEndpoint();
    HealthEndpoint(const HealthEndpoint&) = delete;
    HealthEndpoint& operator=(const HealthEndpoint&) = delete;

    bool start(std::string& error);
    std::uint16_t port() const { return m_port; }
    std::string where() const { return m_address + ":" + std::to_string(m_port); }

    // Descriptors it needs polled, appended to `fds`; then handle() with the
    // same entries after poll().
    void appendPollFds(std::vector<pollfd>& fds) const;
    void handle(const pollfd* fds, std::size_t count);
    Steady::time_point nextDeadline() const;
    void expire(Steady::time_point now);

    static constexpr std::size_t kMaxConnections = 4;

private:
    struct Client {
        std::string request;
        Steady::time_point deadline;
    };

    void acceptOne();
    void answer(int fd, Client& client);
    void drop(int fd);

    std::string m_address;
    std::uint16_t m_port;
    Report m_report;
    int m_listener = -1;
    std::map<int, Client> m_clients;
};

} // namespace voxlet::directory_server
