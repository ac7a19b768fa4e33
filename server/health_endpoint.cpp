#include "server/health_endpoint.h"

#include "server/deadlines.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace voxlet::directory_server {

namespace {

constexpr std::chrono::seconds kRequestTime { 2 };
constexpr std::size_t kMaxRequestBytes = 2048;

} // namespace

HealthEndpoint::HealthEndpoint(std::string address, std::uint16_t port, Report report)
    : m_address(std::move(address))
    , m_port(port)
    , m_report(std::move(report))
{
}

HealthEndpoint::~HealthEndpoint()
{
    for (const auto& [fd, client] : m_clients)
        ::close(fd);
    if (m_listener >= 0)
        ::close(m_listener);
}

bool HealthEndpoint::start(std::string& error)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(m_port);
    if (::inet_pton(AF_INET, m_address.c_str(), &address.sin_addr) != 1) {
        error = "not an IPv4 address for the health check: " + m_address;
        return false;
    }
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    if (m_listener < 0 || ::setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0
        || ::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || ::listen(m_listener, 16) != 0) {
        error = "health check on " + where() + ": " + std::strerror(errno);
        return false;
    }
    socklen_t length = sizeof address;
    ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
    return true;
}

void HealthEndpoint::appendPollFds(std::vector<pollfd>& fds) const
{
    // A full house waits: the listener is not polled until one goes.
    fds.push_back({ m_clients.size() < kMaxConnections ? m_listener : -1, POLLIN, 0 });
    for (const auto& [fd, client] : m_clients)
        fds.push_back({ fd, POLLIN, 0 });
}

void HealthEndpoint::handle(const pollfd* fds, std::size_t count)
{
    for (std::size_t i = 1; i < count; ++i) {
        if (!fds[i].revents)
            continue;
        auto found = m_clients.find(fds[i].fd);
        if (found == m_clients.end())
            continue;
        char buffer[1024];
        const ssize_t got = ::recv(fds[i].fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got < 0 && (errno == EAGAIN || errno == EINTR))
            continue;
        if (got <= 0) {
            drop(fds[i].fd);
            continue;
        }
        std::string& request = found->second.request;
        request.append(buffer, static_cast<std::size_t>(got));
        if (request.find("\r\n\r\n") != std::string::npos || request.find("\n\n") != std::string::npos
            || request.size() >= kMaxRequestBytes)
            answer(fds[i].fd, found->second);
    }
    if (count > 0 && (fds[0].revents & POLLIN))
        acceptOne();
}

void HealthEndpoint::acceptOne()
{
    const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0)
        m_clients.emplace(fd, Client { {}, Steady::now() + kRequestTime });
}

void HealthEndpoint::answer(int fd, Client& client)
{
    const State state = m_report();
    const bool head = client.request.rfind("HEAD ", 0) == 0;
    const std::string reply
        = std::string(state.healthy ? "HTTP/1.0 200 OK" : "HTTP/1.0 503 Service Unavailable")
        + "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: "
        + std::to_string(state.body.size()) + "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n"
        + (head ? std::string() : state.body);
    // A few hundred bytes into an empty socket buffer: one send.
    [[maybe_unused]] auto ignored = ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    ::shutdown(fd, SHUT_WR);
    drop(fd);
}

void HealthEndpoint::drop(int fd)
{
    ::close(fd);
    m_clients.erase(fd);
}

HealthEndpoint::Steady::time_point HealthEndpoint::nextDeadline() const
{
    return EarliestDeadline(m_clients);
}

void HealthEndpoint::expire(Steady::time_point now)
{
    for (int fd : PastDeadline(m_clients, now))
        drop(fd);
}

} // namespace voxlet::directory_server
