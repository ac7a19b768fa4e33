#include "server/connect_back.h"

#include "server/deadlines.h"
#include "server/text_codec.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace voxlet::directory_server {

namespace {

// How long a probe that has said its text waits for the phone to close.
constexpr std::chrono::milliseconds kLinger { 2000 };

} // namespace

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

std::uint64_t LocalProbeCounter::countProbe(
    const std::string& address, std::size_t perAddress, std::chrono::seconds window, Counted done)
{
    const auto now = Steady::now();
    auto old = [&](Steady::time_point t) { return now - t >= window; };
    if (now >= m_nextSweep) {
        // Forget addresses whose probes are all older than the window.
        for (auto it = m_recent.begin(); it != m_recent.end();) {
            std::erase_if(it->second, old);
            it = it->second.empty() ? m_recent.erase(it) : std::next(it);
        }
        m_nextSweep = now + window;
    }
    auto& times = m_recent[address];
    std::erase_if(times, old);
    const bool allowed = times.size() < perAddress;
    if (allowed)
        times.push_back(now);
    done(allowed ? ProbeCount::Allowed : ProbeCount::Limited);
    return 0;
}

ConnectBackProber::ConnectBackProber(ConnectBackLimits limits, ProbeCounter* shared)
    : m_limits(limits)
    , m_counter(shared ? *shared : m_local)
{
}

ConnectBackProber::~ConnectBackProber()
{
    for (const auto& [fd, probe] : m_probes)
        ::close(fd);
}

std::uint64_t ConnectBackProber::start(
    const std::string& target, const std::string& source, const std::string& token, Done done)
{
    in_addr unused {};
    if (!m_limits.enabled || ::inet_pton(AF_INET, target.c_str(), &unused) != 1
        || ::inet_pton(AF_INET, source.c_str(), &unused) != 1) {
        done(ProbeResult::Unavailable);
        return 0;
    }
    if (inFlight() >= m_limits.atOnce) {
        done(ProbeResult::Limited);
        return 0;
    }
    const std::uint64_t ticket = m_nextTicket++;
    m_counting.emplace(ticket, Counting { target, source, token, std::move(done) });
    const std::uint64_t count = m_counter.countProbe(
        target, m_limits.perAddress, m_limits.window, [this, ticket](ProbeCount c) { counted(ticket, c); });
    if (const auto waiting = m_counting.find(ticket); waiting != m_counting.end())
        waiting->second.count = count;
    return m_counting.count(ticket) || m_byTicket.count(ticket) ? ticket : 0;
}

void ConnectBackProber::counted(std::uint64_t ticket, ProbeCount count)
{
    const auto found = m_counting.find(ticket);
    if (found == m_counting.end())
        return;
    Counting asked = std::move(found->second);
    m_counting.erase(found);
    if (count == ProbeCount::Allowed)
        dial(ticket, std::move(asked));
    else // a shared store that cannot count cannot keep the limit either
        asked.done(count == ProbeCount::Limited ? ProbeResult::Limited : ProbeResult::Unavailable);
}

void ConnectBackProber::dial(std::uint64_t ticket, Counting asked)
{
    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(m_limits.port);
    ::inet_pton(AF_INET, asked.target.c_str(), &to.sin_addr);
    sockaddr_in from {};
    from.sin_family = AF_INET;
    ::inet_pton(AF_INET, asked.source.c_str(), &from.sin_addr);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        asked.done(ProbeResult::Unavailable);
        return;
    }
    // From the address the phone asked, by which older phones know their probe.
    ::bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from);
    const bool connectedNow = ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0;
    if (!connectedNow && errno != EINPROGRESS) {
        const int error = errno;
        ::close(fd);
        asked.done(error == ECONNREFUSED ? ProbeResult::Refused : ProbeResult::TimedOut);
        return;
    }
    std::string text;
    if (!asked.token.empty())
        AppendAsciiAsUtf16Le(text, "CONNECTBACK|" + asked.token + "|END");
    m_probes.emplace(
        fd, Probe { ticket, Steady::now() + m_limits.timeout, std::move(asked.done), std::move(text) });
    m_byTicket.emplace(ticket, fd);
    if (connectedNow)
        connected(fd);
}

void ConnectBackProber::cancel(std::uint64_t ticket)
{
    if (const auto waiting = m_counting.find(ticket); waiting != m_counting.end()) {
        m_counter.cancelCount(waiting->second.count);
        m_counting.erase(waiting);
        return;
    }
    const auto found = m_byTicket.find(ticket);
    if (found == m_byTicket.end())
        return;
    drop(found->second);
}

void ConnectBackProber::drop(int fd)
{
    const auto found = m_probes.find(fd);
    if (found == m_probes.end())
        return;
    m_byTicket.erase(found->second.ticket);
    m_probes.erase(found);
    ::close(fd);
}

void ConnectBackProber::finish(int fd, ProbeResult result)
{
    const auto found = m_probes.find(fd);
    if (found == m_probes.end())
        return;
    Done done = std::move(found->second.done);
    drop(fd);
    if (done)
        done(result);
}

void ConnectBackProber::connected(int fd)
{
    Probe& probe = m_probes.at(fd);
    Done done = std::move(probe.done);
    m_byTicket.erase(probe.ticket);
    // The handshake is what was asked; an older phone closes at once.
    if (probe.text.empty()) {
        drop(fd);
    } else {
        probe.deadline = Steady::now() + kLinger;
        sendText(fd, probe);
    }
    done(ProbeResult::Reached);
}

void ConnectBackProber::sendText(int fd, Probe& probe)
{
    const ssize_t put = ::send(
        fd, probe.text.data() + probe.sent, probe.text.size() - probe.sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        drop(fd);
        return;
    }
    probe.sent += static_cast<std::size_t>(std::max<ssize_t>(put, 0));
    // Whatever the phone says then is read and dropped, so that our close
    // does not become a reset that could destroy the text in flight.
    if (probe.sent == probe.text.size())
        ::shutdown(fd, SHUT_WR);
}

void ConnectBackProber::drain(int fd)
{
    char buffer[512];
    for (int turn = 0; turn < 4; ++turn) {
        const ssize_t got = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            return;
        if (got <= 0) {
            drop(fd);
            return;
        }
    }
}

void ConnectBackProber::appendPollFds(std::vector<pollfd>& fds)
{
    m_polled.clear();
    for (const auto& [fd, probe] : m_probes) {
        const bool writing = probe.done || probe.sent < probe.text.size();
        fds.push_back({ fd, static_cast<short>(writing ? POLLOUT : POLLIN), 0 });
        m_polled.push_back(probe.ticket);
    }
}

void ConnectBackProber::handle(const pollfd* fds, std::size_t count)
{
    for (std::size_t i = 0; i < count && i < m_polled.size(); ++i) {
        const auto found = m_probes.find(fds[i].fd);
        if (fds[i].revents == 0 || found == m_probes.end() || found->second.ticket != m_polled[i])
            continue;
        Probe& probe = found->second;
        if (!probe.done) {
            if (probe.sent < probe.text.size())
                sendText(fds[i].fd, probe);
            else
                drain(fds[i].fd);
            continue;
        }
        int error = 0;
        socklen_t length = sizeof error;
        ::getsockopt(fds[i].fd, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error == 0 && !(fds[i].revents & (POLLERR | POLLHUP)))
            connected(fds[i].fd);
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
        finish(fd, ProbeResult::TimedOut); // once told, it only closes
}

std::uint64_t ClientConnectBack::probe(const std::string& token, Done done)
{
    if (m_proxied) {
        done(ProbeResult::Unavailable);
        return 0;
    }
    return m_prober.start(m_client, m_local, token, std::move(done));
}

void ClientConnectBack::cancel(std::uint64_t ticket)
{
    m_prober.cancel(ticket);
}

} // namespace voxlet::directory_server
