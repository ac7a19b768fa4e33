#include "directory/server/directory_server.h"

#include "directory/server/redis_store.h"
#include "directory/server/registry.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace voxlet::directory_server {

namespace {

constexpr std::size_t kReadChunk = 4096;
// Reads per connection and accepts per wake-up, so one busy client cannot starve the rest.
constexpr int kReadsPerTurn = 4;
constexpr int kAcceptsPerTurn = 64;
constexpr std::chrono::milliseconds kListenerPause { 100 };
constexpr std::chrono::milliseconds kMaxLinger { 2000 };

void StderrLine(const std::string& line)
{
    char stamp[32] = "";
    const std::time_t now = std::time(nullptr);
    std::tm local {};
    if (localtime_r(&now, &local))
        std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S ", &local);
    const std::string text = stamp + line + "\n";
    // One write per line keeps lines whole; a failing stderr is not our problem.
    [[maybe_unused]] auto ignored = ::write(STDERR_FILENO, text.data(), text.size());
}

std::string ErrnoText(int error)
{
    return std::strerror(error);
}

} // namespace

DirectoryServer::DirectoryServer(ServerOptions options, LogSink sink)
    : m_options(std::move(options))
    , m_sink(std::move(sink))
{
    if (!m_sink && !m_options.quiet)
        m_sink = StderrLine;
}

DirectoryServer::~DirectoryServer()
{
    for (auto& [fd, c] : m_connections)
        ::close(fd);
    m_connections.clear(); // sessions before the store they wait on
    m_store.reset(); // with it the control socket's waiting commands
    m_control.reset();
    for (int fd : { m_listener, m_wakeRead, m_wakeWrite, m_spareFd }) {
        if (fd >= 0)
            ::close(fd);
    }
}

bool DirectoryServer::logging() const
{
    return m_sink && !m_options.quiet;
}

void DirectoryServer::log(const std::string& line) const
{
    if (m_sink && !m_options.quiet)
        m_sink(line);
}

bool DirectoryServer::start(std::string& error)
{
    int wake[2];
    if (::pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0) {
        error = "pipe: " + ErrnoText(errno);
        return false;
    }
    m_wakeRead = wake[0];
    m_wakeWrite = wake[1];
    m_spareFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);

    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(m_options.port);
    if (inet_pton(AF_INET, m_options.listenAddress.c_str(), &address.sin_addr) != 1) {
        error = "not an IPv4 address: " + m_options.listenAddress;
        return false;
    }
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_listener < 0) {
        error = "socket: " + ErrnoText(errno);
        return false;
    }
    const int on = 1;
    ::setsockopt(m_listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (m_options.reusePort && ::setsockopt(m_listener, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) != 0) {
        error = "SO_REUSEPORT: " + ErrnoText(errno);
        return false;
    }
    if (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        error = "bind " + m_options.listenAddress + ":" + std::to_string(m_options.port) + ": "
            + ErrnoText(errno);
        return false;
    }
    if (::listen(m_listener, SOMAXCONN) != 0) {
        error = "listen: " + ErrnoText(errno);
        return false;
    }
    socklen_t length = sizeof address;
    ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
    if (!openStore(error))
        return false;
    if (!m_options.controlSocket.empty()) {
        m_control = std::make_unique<ControlSocket>(*m_store, [this](const std::string& line) { log(line); });
        if (!m_control->open(m_options.controlSocket, error))
            return false;
    }
    log("listening on " + m_options.listenAddress + ":" + std::to_string(m_port));
    return true;
}

bool DirectoryServer::openStore(std::string& error)
{
    if (!m_options.redis) {
        m_store
            = std::make_unique<Registry>(m_options.registry, [] { return std::chrono::steady_clock::now(); });
        return true;
    }
    RedisStoreOptions store;
    store.location = *m_options.redis;
    store.location.user = m_options.storeUser;
    store.location.password = m_options.storePassword;
    store.passwordFile = m_options.storePasswordFile;
    store.limits = m_options.registry;
    store.maxListed = m_options.session.maxListedUsers;
    store.timeout = m_options.storeTimeout;
    store.maxQueued = m_options.storeQueue;
    if (!store.location.host.empty()) {
        addrinfo hints {};
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        const int failed = ::getaddrinfo(store.location.host.c_str(), nullptr, &hints, &found);
        char numeric[NI_MAXHOST] = "";
        if (failed == 0)
            ::getnameinfo(
                found->ai_addr, found->ai_addrlen, numeric, sizeof numeric, nullptr, 0, NI_NUMERICHOST);
        if (found)
            ::freeaddrinfo(found);
        if (failed != 0 || !*numeric) {
            error = "cannot find the Redis host " + store.location.host + ": "
                + (failed ? ::gai_strerror(failed) : "no address");
            return false;
        }
        store.hostAddress = numeric;
    }
    m_store = std::make_unique<RedisStore>(store, [this](const std::string& line) { log(line); });
    return true;
}

void DirectoryServer::stop()
{
    m_stopping.store(true);
    if (m_wakeWrite >= 0) {
        const char byte = 0;
        [[maybe_unused]] auto ignored = ::write(m_wakeWrite, &byte, 1);
    }
}

int DirectoryServer::pollTimeoutMs(Steady::time_point now) const
{
    auto next = now + std::chrono::seconds(1);
    for (const auto& [fd, c] : m_connections)
        next = std::min(next, c.deadline);
    if (m_listenerPausedUntil > now)
        next = std::min(next, m_listenerPausedUntil);
    next = std::min(next, m_store->nextTick());
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
    return static_cast<int>(std::max<long long>(0, wait));
}

void DirectoryServer::run()
{
    if (m_listener < 0)
        return;
    std::vector<pollfd> fds;
    while (!m_stopping.load()) {
        const auto now = Steady::now();
        fds.clear();
        fds.push_back({ m_wakeRead, POLLIN, 0 });
        const bool listening = m_listenerPausedUntil <= now;
        fds.push_back({ listening ? m_listener : -1, POLLIN, 0 });
        short storeEvents = 0;
        const int storeFd = m_store->pollDescriptor(storeEvents);
        fds.push_back({ storeFd, storeEvents, 0 });
        fds.push_back({ m_control ? m_control->descriptor() : -1, POLLIN, 0 });
        for (const auto& [fd, c] : m_connections) {
            short events = 0;
            if (c.sent < c.output.size())
                events |= POLLOUT;
            else if (!c.peerClosed)
                events |= POLLIN;
            fds.push_back({ fd, events, 0 });
        }

        const int ready = ::poll(fds.data(), fds.size(), pollTimeoutMs(now));
        if (ready < 0 && errno != EINTR) {
            log("poll: " + ErrnoText(errno));
            break;
        }
        if (fds[0].revents & POLLIN) {
            char drain[64];
            while (::read(m_wakeRead, drain, sizeof drain) > 0) { }
        }
        if (m_stopping.load())
            break;

        if (fds[2].revents) {
            m_store->onPollEvents(fds[2].revents);
            deliverReplies();
        }
        if (fds[3].revents) {
            m_control->onReadable();
            deliverReplies();
        }
        for (std::size_t i = 4; i < fds.size() && ready > 0; ++i) {
            if (fds[i].revents == 0)
                continue;
            auto found = m_connections.find(fds[i].fd);
            if (found == m_connections.end())
                continue;
            Connection& c = found->second;
            if (fds[i].revents & POLLNVAL) {
                close(c.fd, "invalid descriptor");
                continue;
            }
            if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
                onReadable(c);
                if (m_connections.count(fds[i].fd) == 0)
                    continue;
            }
            if (fds[i].revents & (POLLOUT | POLLERR))
                flush(c);
        }
        if (listening && (fds[1].revents & POLLIN))
            acceptPending();

        const auto after = Steady::now();
        m_store->onTick(after);
        deliverReplies();
        std::vector<int> expired;
        for (const auto& [fd, c] : m_connections) {
            if (c.deadline <= after)
                expired.push_back(fd);
        }
        for (int fd : expired) {
            const Connection& c = m_connections.at(fd);
            close(fd,
                c.lingering                              ? "closed after the reply"
                    : c.session && c.session->finished() ? "did not read the reply in time"
                    : c.session && c.session->waiting()  ? "no answer from the store in time"
                                                         : "idle timeout");
        }
    }
    while (!m_connections.empty())
        close(m_connections.begin()->first, "server stopping");
    log("stopped");
}

void DirectoryServer::acceptPending()
{
    for (int turn = 0; turn < kAcceptsPerTurn; ++turn) {
        sockaddr_in peer {};
        socklen_t length = sizeof peer;
        const int fd = ::accept4(
            m_listener, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            const int error = errno;
            if (error == EINTR || error == ECONNABORTED || error == EPROTO)
                continue;
            if (error == EAGAIN || error == EWOULDBLOCK)
                return;
            if ((error == EMFILE || error == ENFILE) && m_spareFd >= 0) {
                // Out of descriptors: free the spare one to take the waiting
                // client off the queue, so the listener does not stay readable.
                ::close(m_spareFd);
                const int dropped = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
                if (dropped >= 0)
                    ::close(dropped);
                m_spareFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
                log("refused a connection: out of file descriptors");
            } else {
                log("accept: " + ErrnoText(error));
            }
            m_listenerPausedUntil = Steady::now() + kListenerPause;
            return;
        }
        char text[INET_ADDRSTRLEN] = "";
        ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
        const std::string address = text;
        std::size_t& fromAddress = m_perAddress[address];
        // A trusted proxy carries many clients on its connections.
        const bool trusted = IsTrusted(m_options.trustedProxies, address);
        if (m_connections.size() >= m_options.maxConnections
            || (fromAddress >= m_options.maxConnectionsPerAddress && !trusted)) {
            const bool total = m_connections.size() >= m_options.maxConnections;
            if (fromAddress == 0)
                m_perAddress.erase(address);
            ::close(fd);
            log(address + " refused: too many connections" + (total ? "" : " from this address"));
            continue;
        }
        ++fromAddress;
        Connection c;
        c.fd = fd;
        c.address = address;
        c.proxyHeader = std::make_unique<ProxyHeaderReader>(trusted);
        c.deadline = Steady::now() + m_options.idleTimeout;
        m_connections.emplace(fd, std::move(c));
        if (logging())
            log(address + " connected");
    }
}

void DirectoryServer::onReadable(Connection& c)
{
    char buffer[kReadChunk];
    for (int turn = 0; turn < kReadsPerTurn; ++turn) {
        const ssize_t got = ::recv(c.fd, buffer, sizeof buffer, 0);
        if (got < 0) {
            const int error = errno;
            if (error == EINTR)
                continue;
            if (error == EAGAIN || error == EWOULDBLOCK)
                return;
            close(c.fd, "receive failed: " + ErrnoText(error));
            return;
        }
        if (got == 0) {
            c.peerClosed = true;
            // A client that half-closes after its request still gets the reply.
            if (c.lingering || (c.sent >= c.output.size() && !(c.session && c.session->waiting())))
                close(c.fd, c.lingering ? "closed after the reply" : "closed by the client");
            return;
        }
        if (c.lingering || (c.session && c.session->finished()))
            continue; // whatever comes after the reply is dropped
        const int fd = c.fd;
        feed(c, std::string_view(buffer, static_cast<std::size_t>(got)));
        if (m_connections.count(fd) == 0)
            return;
        if (c.sent < c.output.size()) {
            flush(c);
            return;
        }
    }
}

void DirectoryServer::feed(Connection& c, std::string_view bytes)
{
    std::string rest;
    if (c.proxyHeader) {
        switch (c.proxyHeader->feed(bytes)) {
        case ProxyHeaderReader::Status::NeedMore:
            return;
        case ProxyHeaderReader::Status::Refused:
            close(c.fd, "refused: " + c.proxyHeader->reason());
            return;
        case ProxyHeaderReader::Status::Done:
            break;
        }
        std::string listed = c.proxyHeader->clientAddress();
        if (listed.empty())
            listed = c.address;
        else
            log(c.address + " forwards " + listed);
        rest = c.proxyHeader->takeRest();
        c.proxyHeader.reset();
        bytes = rest;
        const int fd = c.fd;
        c.session = std::make_unique<DirectorySession>(*m_store, listed, m_options.session,
            m_sink && !m_options.quiet ? DirectorySession::Logger(m_sink) : DirectorySession::Logger(),
            [this, fd] { m_replied.push_back(fd); });
        if (bytes.empty())
            return;
    }
    c.output += c.session->receive(bytes);
    if (c.session->completedMessages() != c.messagesSeen || c.session->finished()) {
        c.messagesSeen = c.session->completedMessages();
        c.deadline = Steady::now() + m_options.idleTimeout;
    }
}

void DirectoryServer::deliverReplies()
{
    for (int fd : std::exchange(m_replied, {})) {
        auto found = m_connections.find(fd);
        if (found == m_connections.end() || !found->second.session)
            continue;
        Connection& c = found->second;
        c.output += c.session->takeOutput();
        c.deadline = Steady::now() + m_options.idleTimeout; // time to read the reply
        flush(c);
    }
}

void DirectoryServer::flush(Connection& c)
{
    while (c.sent < c.output.size()) {
        const ssize_t put
            = ::send(c.fd, c.output.data() + c.sent, c.output.size() - c.sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (put < 0) {
            const int error = errno;
            if (error == EINTR)
                continue;
            if (error == EAGAIN || error == EWOULDBLOCK)
                return;
            close(c.fd, "send failed: " + ErrnoText(error));
            return;
        }
        c.sent += static_cast<std::size_t>(put);
    }
    c.output.clear();
    c.sent = 0;
    if (!c.session || !c.session->finished() || c.lingering)
        return;
    if (c.peerClosed) {
        close(c.fd, "closed after the reply");
        return;
    }
    // Closing with unread input would reset the connection and could destroy
    // the reply in flight; send FIN and wait for the client's close instead.
    ::shutdown(c.fd, SHUT_WR);
    c.lingering = true;
    c.deadline = Steady::now() + std::min<std::chrono::milliseconds>(m_options.idleTimeout, kMaxLinger);
}

void DirectoryServer::close(int fd, const std::string& reason)
{
    auto found = m_connections.find(fd);
    if (found == m_connections.end())
        return;
    const std::string address = found->second.address;
    ::close(fd);
    m_connections.erase(found);
    auto count = m_perAddress.find(address);
    if (count != m_perAddress.end() && --count->second == 0)
        m_perAddress.erase(count);
    if (logging())
        log(address + " " + reason);
}

} // namespace voxlet::directory_server
