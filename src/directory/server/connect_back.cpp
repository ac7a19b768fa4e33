#include "directory/server/connect_back.h"

#include "directory/server/deadlines.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace voxlet::directory_server {

const char* ProbeResultWord(ProbeResult result)
{
    switch (result) {
    case ProbeResult::Reached:
        return "OK";
    case ProbeResult::Refused:
        return "REFUSED";
    case ProbeResult::TimedOut:
        return "TIMEOUT";
    case ProbeResult::Limited:
        return "LIMIT";
    case ProbeResult::Unavailable:
        return "NA";
    }
    return "NA";
}

ConnectBackProber::ConnectBackProber(ConnectBackLimits limits)
    : m_limits(limits)
{
}

ConnectBackProber::~ConnectBackProber()
{
    for (const auto& [fd, probe] : m_probes)
        ::close(fd);
}

bool ConnectBackProber::allow(const std::string& target, Steady::time_point now)
{
    if (now >= m_nextSweep) {
        // Forget addresses whose probes are all older than the window.
        for (auto it = m_recent.begin(); it != m_recent.end();) {
            auto& times = it->second;
            std::erase_if(times, [&](Steady::time_point t) { return now - t >= m_limits.window; });
            it = times.empty() ? m_recent.erase(it) : std::next(it);
        }
        m_nextSweep = now + m_limits.window;
    }
    if (m_probes.size() >= m_limits.atOnce)
        return false;
    auto& times = m_recent[target];
    std::erase_if(times, [&](Steady::time_point t) { return now - t >= m_limits.window; });
    if (times.size() >= m_limits.perAddress)
        return false;
    times.push_back(now);
    return true;
}

std::uint64_t ConnectBackProber::start(const std::string& target, const std::string& source, Done done)
{
    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(m_limits.port);
    sockaddr_in from {};
    from.sin_family = AF_INET;
    if (!m_limits.enabled || ::inet_pton(AF_INET, target.c_str(), &to.sin_addr) != 1
        || ::inet_pton(AF_INET, source.c_str(), &from.sin_addr) != 1) {
        done(ProbeResult::Unavailable);
        return 0;
    }
    const auto now = Steady::now();
    if (!allow(target, now)) {
        done(ProbeResult::Limited);
        return 0;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        done(ProbeResult::Unavailable);
        return 0;
    }
    // From the address the phone asked: that is how it knows its own probe.
    ::bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) {
        ::close(fd);
        done(ProbeResult::Reached);
        return 0;
    }
    if (errno != EINPROGRESS) {
        const int error = errno;
        ::close(fd);
        done(error == ECONNREFUSED ? ProbeResult::Refused : ProbeResult::TimedOut);
        return 0;
    }
    const std::uint64_t ticket = m_nextTicket++;
    m_probes.emplace(fd, Probe { ticket, now + m_limits.timeout, std::move(done) });
    m_byTicket.emplace(ticket, fd);
    return ticket;
}

void ConnectBackProber::cancel(std::uint64_t ticket)
{
    const auto found = m_byTicket.find(ticket);
    if (found == m_byTicket.end())
        return;
    const int fd = found->second;
    m_byTicket.erase(found);
    m_probes.erase(fd);
    ::close(fd);
}

void ConnectBackProber::finish(int fd, ProbeResult result)
{
    const auto found = m_probes.find(fd);
    if (found == m_probes.end())
        return;
    Done done = std::move(found->second.done);
    m_byTicket.erase(found->second.ticket);
    m_probes.erase(found);
    // The handshake is what was asked; the phone closes its side at once.
    ::close(fd);
    done(result);
}

void ConnectBackProber::appendPollFds(std::vector<pollfd>& fds)
{
    m_polled.clear();
    for (const auto& [fd, probe] : m_probes) {
        fds.push_back({ fd, POLLOUT, 0 });
        m_polled.push_back(probe.ticket);
    }
}

void ConnectBackProber::handle(const pollfd* fds, std::size_t count)
{
    for (std::size_t i = 0; i < count && i < m_polled.size(); ++i) {
        const auto found = m_probes.find(fds[i].fd);
        if (fds[i].revents == 0 || found == m_probes.end() || found->second.ticket != m_polled[i])
            continue;
        int error = 0;
        socklen_t length = sizeof error;
        ::getsockopt(fds[i].fd, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error == 0 && !(fds[i].revents & (POLLERR | POLLHUP)))
            finish(fds[i].fd, ProbeResult::Reached);
        else
            finish(fds[i].fd, error == ECONNREFUSED ? ProbeResult::Refused : ProbeResult::TimedOut);
    }
}

ConnectBackProber::Steady::time_point ConnectBackProber::nextDeadline() const
{
    return EarliestDeadline(m_probes);
}

void ConnectBackProber::expire(Steady::time_point now)
{
    for (int fd : PastDeadline(m_probes, now))
        finish(fd, ProbeResult::TimedOut);
}

std::uint64_t ClientConnectBack::probe(Done done)
{
    if (m_proxied) {
        done(ProbeResult::Unavailable);
        return 0;
    }
    return m_prober.start(m_client, m_local, std::move(done));
}

void ClientConnectBack::cancel(std::uint64_t ticket)
{
    m_prober.cancel(ticket);
}

} // namespace voxlet::directory_server
