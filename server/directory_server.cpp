#include "server/directory_server.h"

#include "server/deadlines.h"
#include "server/redis_store.h"
#include "server/registry.h"
#include "server/text_codec.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace voxlet::directory_server {

namespace {

constexpr std::size_t kReadChunk = 4096;
// Reads per connection and accepts per wake-up, so one busy client cannot starve the rest.
constexpr int kReadsPerTurn = 4;
constexpr std::size_t kAcceptsPerTurn = 64;
constexpr std::chrono::milliseconds kListenerPause { 100 };
constexpr std::chrono::milliseconds kMaxLinger { 2000 };
// A session waiting for its store or its probe is closed only after both
// would have answered, a backstop that should never be reached.
constexpr std::chrono::milliseconds kWaitMargin { 1000 };
// Descriptors kept free beside the connections: one being accepted while
// another makes room for it, and the spare given up when out of them.
constexpr std::size_t kSpareDescriptors = 2;

std::string ErrnoText(int error)
{
    return std::strerror(error);
}

std::size_t OpenDescriptors()
{
    DIR* folder = ::opendir("/proc/self/fd");
    if (!folder)
        return 0;
    std::size_t count = 0;
    while (const dirent* entry = ::readdir(folder)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    ::closedir(folder);
    return count > 0 ? count - 1 : 0; // not the one reading the folder
}

std::size_t SoftFileLimit()
{
    rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return 1 << 20;
    return static_cast<std::size_t>(limit.rlim_cur);
}

} // namespace

std::size_t RaiseOpenFileLimit()
{
    rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    return SoftFileLimit();
}

DirectoryServer::DirectoryServer(ServerOptions options, LogSink sink)
    : m_options(std::move(options))
    , m_sink(std::move(sink))
{
    if (!m_sink && !m_options.quiet)
        m_log = std::make_unique<ServerLog>(m_options.log);
}

DirectoryServer::~DirectoryServer()
{
    for (auto& [fd, c] : m_connections)
        ::close(fd);
    m_connections.clear(); // sessions before the store and the probes they wait on
    m_prober.reset(); // before the store that counts its probes
    m_store.reset(); // with it the control socket's waiting commands
    m_control.reset();
    for (int fd : { m_listener, m_wakeRead, m_wakeWrite, m_spareFd }) {
        if (fd >= 0)
            ::close(fd);
    }
}

bool DirectoryServer::logging() const
{
    return !m_options.quiet && (m_sink || m_log);
}

void DirectoryServer::log(const std::string& line)
{
    logTo(&ServerLog::line, line);
}

void DirectoryServer::logClient(const std::string& line)
{
    logTo(&ServerLog::clientLine, line);
}

void DirectoryServer::logTo(void (ServerLog::*kind)(std::string_view), const std::string& line)
{
    if (m_options.quiet)
        return;
    if (m_sink)
        m_sink(line);
    else if (m_log)
        (*m_log.*kind)(line);
}

bool DirectoryServer::start(std::string& error)
{
    m_started = Steady::now();
    if (m_log && !m_log->open(error))
        return false;
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
    if (!m_options.healthAddress.empty()) {
        m_health = std::make_unique<HealthEndpoint>(
            m_options.healthAddress, m_options.healthPort, [this] { return health(); });
        if (!m_health->start(error))
            return false;
    }
    if (!openStore(error))
        return false;
    if (!m_options.controlSocket.empty()) {
        m_control = std::make_unique<ControlSocket>(*m_store, [this](const std::string& line) { log(line); });
        if (!m_control->open(m_options.controlSocket, error))
            return false;
    }
    deriveConnectionCap();
    if (m_options.connectBack.enabled)
        m_prober = std::make_unique<ConnectBackProber>(m_options.connectBack, m_probeCounter);
    log("listening on " + m_options.listenAddress + ":" + std::to_string(m_port) + ", at most "
        + std::to_string(m_cap) + " connections (open-file limit " + std::to_string(m_fileLimit) + ")");
    if (m_cap < m_options.maxConnections)
        log("fewer connections than --max-connections " + std::to_string(m_options.maxConnections)
            + ": raise the open-file limit (ulimit -n, LimitNOFILE=) to allow them");
    if (m_health)
        log("health check on " + m_health->where());
    if (m_options.statsInterval.count() > 0)
        m_nextCounters = m_started + m_options.statsInterval;
    if (m_notifier.watchdogEvery().count() > 0)
        m_nextWatchdog = m_started;
    return true;
}

void DirectoryServer::deriveConnectionCap()
{
    // Every connection is a descriptor: a cap at or above the limit would
    // never be reached, and accept() would fail for everyone instead.
    m_fileLimit = SoftFileLimit();
    std::size_t reserve = OpenDescriptors() + kSpareDescriptors;
    if (m_options.redis)
        reserve += 1; // a reconnection opens the new socket before the old one is gone
    if (m_health)
        reserve += HealthEndpoint::kMaxConnections;
    if (m_options.connectBack.enabled) {
        // Probes are brief: a small share of the descriptors is enough.
        auto& probes = m_options.connectBack.atOnce;
        probes = std::clamp<std::size_t>(m_fileLimit / 16, 1, probes);
        reserve += probes;
    }
    const std::size_t room = m_fileLimit > reserve ? m_fileLimit - reserve : 1;
    m_cap = std::max<std::size_t>(1, std::min(m_options.maxConnections, room));
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
    auto shared = std::make_unique<RedisStore>(store, [this](const std::string& line) { log(line); });
    m_probeCounter = shared.get();
    m_store = std::move(shared);
    return true;
}

void DirectoryServer::wake()
{
    if (m_wakeWrite >= 0) {
        const char byte = 0;
        [[maybe_unused]] auto ignored = ::write(m_wakeWrite, &byte, 1);
    }
}

void DirectoryServer::stop()
{
    m_stopRequests.fetch_add(1);
    wake();
}

void DirectoryServer::reopenLog()
{
    m_reopenLog.store(true);
    wake();
}

HealthEndpoint::State DirectoryServer::health() const
{
    const std::string trouble = m_store->trouble();
    HealthEndpoint::State state;
    state.healthy = trouble.empty() && !m_stopping;
    state.body = std::string("status: ")
        + (m_stopping             ? "stopping"
                : trouble.empty() ? "ok"
                                  : "store unavailable: " + trouble)
        + "\nstore: " + (m_options.redis ? m_options.redis->text() : "memory") + "\nconnections: "
        + std::to_string(m_connections.size()) + " of " + std::to_string(m_cap) + "\nuptime: "
        + std::to_string(std::chrono::duration_cast<std::chrono::seconds>(Steady::now() - m_started).count())
        + " s\nsince start: " + DescribeCounters(m_counters, {}) + "\n";
    return state;
}

int DirectoryServer::pollTimeoutMs(Steady::time_point now) const
{
    auto next = std::min(now + std::chrono::seconds(1), EarliestDeadline(m_connections));
    if (m_listenerPausedUntil > now)
        next = std::min(next, m_listenerPausedUntil);
    if (m_stopping)
        next = std::min(next, m_stopBy);
    if (m_health)
        next = std::min(next, m_health->nextDeadline());
    if (m_prober)
        next = std::min(next, m_prober->nextDeadline());
    next = std::min({ next, m_nextCounters, m_nextWatchdog, m_store->nextTick() });
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
    return static_cast<int>(std::max<long long>(0, wait));
}

void DirectoryServer::run()
{
    if (m_listener < 0)
        return;
    m_notifier.send("READY=1\nSTATUS=listening on port " + std::to_string(m_port));
    std::vector<pollfd> fds;
    for (;;) {
        auto now = Steady::now();
        const int stops = m_stopRequests.load();
        if (stops > 1 || (stops == 1 && m_options.stopTime.count() == 0))
            break;
        if (stops == 1 && !m_stopping)
            beginStopping(now);
        if (m_stopping && (m_connections.empty() || now >= m_stopBy))
            break;
        if (m_reopenLog.exchange(false) && m_log) {
            std::string error;
            log(m_log->reopen(error) ? "log reopened" : error);
        }

        fds.clear();
        fds.push_back({ m_wakeRead, POLLIN, 0 });
        const bool listening = m_listener >= 0 && m_listenerPausedUntil <= now;
        fds.push_back({ listening ? m_listener : -1, POLLIN, 0 });
        short storeEvents = 0;
        const int storeFd = m_store->pollDescriptor(storeEvents);
        fds.push_back({ storeFd, storeEvents, 0 });
        fds.push_back({ m_log ? m_log->pollDescriptor() : -1, POLLOUT, 0 });
        constexpr std::size_t kControlSlot = 4;
        fds.push_back({ m_control ? m_control->descriptor() : -1, POLLIN, 0 });
        const std::size_t firstHealth = fds.size();
        if (m_health)
            m_health->appendPollFds(fds);
        const std::size_t firstProbe = fds.size();
        if (m_prober)
            m_prober->appendPollFds(fds);
        const std::size_t firstConnection = fds.size();
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
        if (m_stopRequests.load() > 1)
            break;

        if (fds[2].revents) {
            m_store->onPollEvents(fds[2].revents);
            deliverReplies();
        }
        if (fds[kControlSlot].revents) {
            m_control->onReadable();
            deliverReplies();
        }
        for (std::size_t i = firstConnection; i < fds.size() && ready > 0; ++i) {
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
        if (m_health)
            m_health->handle(fds.data() + firstHealth, firstProbe - firstHealth);
        if (m_prober) {
            m_prober->handle(fds.data() + firstProbe, firstConnection - firstProbe);
            m_prober->expire(Steady::now());
        }
        if (listening && (fds[1].revents & POLLIN))
            acceptPending();

        now = Steady::now();
        m_store->onTick(now);
        deliverReplies();
        closeExpired(now);
        if (m_stopping)
            closeAnswered();
        onTimers(now);
        if (m_log)
            m_log->flush();
    }
    // What is left had its stop time: a request still with the store is
    // refused rather than dropped without a word.
    const std::string refusal = EncodeUtf16Le(u"DISCONNECT|END");
    while (!m_connections.empty()) {
        Connection& c = m_connections.begin()->second;
        if (c.session && c.session->waiting()) [[maybe_unused]]
            auto ignored = ::send(c.fd, refusal.data(), refusal.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        close(c.fd, "server stopping", Dropped::Stopping);
    }
    m_counters.logLinesDropped = m_log ? m_log->dropped() : 0;
    log("stopped; since start: " + DescribeCounters(m_counters, {}));
}

void DirectoryServer::beginStopping(Steady::time_point now)
{
    m_stopping = true;
    m_stopBy = now + m_options.stopTime;
    m_notifier.send("STOPPING=1");
    // Whoever the kernel has already accepted for us is served too.
    if (m_listener >= 0) {
        for (int round = 0; round < 64 && acceptPending() == kAcceptsPerTurn; ++round) { }
        ::close(m_listener);
        m_listener = -1;
    }
    log("stopping: no new connections; finishing " + std::to_string(m_connections.size())
        + " open ones (at most " + std::to_string(m_options.stopTime.count()) + " ms)");
}

void DirectoryServer::onTimers(Steady::time_point now)
{
    if (m_health)
        m_health->expire(now);
    if (now >= m_nextWatchdog) {
        m_notifier.send("WATCHDOG=1");
        m_nextWatchdog = now + m_notifier.watchdogEvery();
    }
    if (now >= m_nextCounters) {
        m_counters.logLinesDropped = m_log ? m_log->dropped() : 0;
        const std::string text = DescribeCounters(m_counters, m_reported);
        log("counters, last " + std::to_string(m_options.statsInterval.count()) + " s: " + text);
        m_notifier.send("STATUS=" + text);
        m_reported = m_counters;
        m_nextCounters = now + m_options.statsInterval;
    }
}

void DirectoryServer::closeAnswered()
{
    // Stopping: a reply already handed to the kernel still reaches its
    // client after close(), as long as nothing unread makes it a reset.
    std::vector<int> done;
    for (const auto& [fd, c] : m_connections) {
        int unread = 0;
        if (c.lingering && ::ioctl(fd, FIONREAD, &unread) == 0 && unread == 0)
            done.push_back(fd);
    }
    for (int fd : done)
        close(fd, "closed after the reply");
}

void DirectoryServer::closeExpired(Steady::time_point now)
{
    for (int fd : PastDeadline(m_connections, now)) {
        const Connection& c = m_connections.at(fd);
        if (c.lingering)
            close(fd, "closed after the reply");
        else if (c.session && c.session->finished())
            close(fd, "did not read the reply in time", Dropped::ReplyNotRead);
        else if (c.session && c.session->waiting())
            close(fd, "no answer from the store in time", Dropped::StoreTimeout);
        else
            close(fd, "idle timeout", Dropped::IdleTimeout);
    }
}

std::size_t DirectoryServer::acceptPending()
{
    std::size_t accepted = 0;
    for (; accepted < kAcceptsPerTurn; ++accepted) {
        sockaddr_in peer {};
        socklen_t length = sizeof peer;
        const int fd = ::accept4(
            m_listener, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            const int error = errno;
            if (error == EINTR || error == ECONNABORTED || error == EPROTO)
                continue;
            if (error == EAGAIN || error == EWOULDBLOCK)
                return accepted;
            if ((error == EMFILE || error == ENFILE) && !m_idle.empty()) {
                // Fewer descriptors than the cap expected (the limit was
                // lowered, or something else holds them): make room all the same.
                logClient("out of file descriptors: closing the oldest idle connection");
                makeRoom();
                continue;
            }
            if ((error == EMFILE || error == ENFILE) && m_spareFd >= 0) {
                // Out of descriptors: free the spare one to take the waiting
                // client off the queue, so the listener does not stay readable.
                ::close(m_spareFd);
                const int dropped = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
                if (dropped >= 0)
                    ::close(dropped);
                m_spareFd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
                m_counters.count(Dropped::OutOfDescriptors);
                log("refused a connection: out of file descriptors");
            } else {
                log("accept: " + ErrnoText(error));
            }
            m_listenerPausedUntil = Steady::now() + kListenerPause;
            return accepted;
        }
        char text[INET_ADDRSTRLEN] = "";
        ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
        const std::string address = text;
        // A trusted proxy carries many clients; each is counted once its header names it.
        const bool trusted = IsTrusted(m_options.trustedProxies, address);
        const auto from = m_perAddress.find(address);
        if (!trusted && from != m_perAddress.end() && from->second >= m_options.maxConnectionsPerAddress) {
            refuse(fd, address, "too many connections from this address", Dropped::AddressCap);
            continue;
        }
        if (m_connections.size() >= m_cap && !makeRoom()) {
            refuse(fd, address, "too many connections", Dropped::ConnectionCap);
            continue;
        }
        admit(fd, address, trusted);
    }
    return accepted;
}

void DirectoryServer::admit(int fd, const std::string& address, bool trusted)
{
    ++m_counters.connections;
    ++m_perAddress[address];
    Connection c;
    c.fd = fd;
    c.address = address;
    c.order = m_nextOrder++;
    c.proxyHeader = std::make_unique<ProxyHeaderReader>(trusted);
    c.deadline = Steady::now() + m_options.idleTimeout;
    m_idle.emplace(c.order, fd);
    m_connections.emplace(fd, std::move(c));
}

void DirectoryServer::refuse(int fd, const std::string& who, const char* why, Dropped reason)
{
    ::close(fd);
    m_counters.count(reason);
    if (logging())
        logClient(who + " refused: " + why);
}

bool DirectoryServer::makeRoom()
{
    // The oldest connection still without a request: a client that holds
    // one open for nothing, rather than one being served or a newcomer.
    if (m_idle.empty())
        return false;
    close(m_idle.begin()->second, "closed to make room for a new client", Dropped::MadeRoom);
    return true;
}

void DirectoryServer::leaveIdle(Connection& c)
{
    if (c.idle) {
        m_idle.erase(c.order);
        c.idle = false;
    }
}

void DirectoryServer::onReadable(Connection& c)
{
    char buffer[kReadChunk];
    for (int turn = 0; turn < kReadsPerTurn; ++turn) {
        const ssize_t got = ::recv(c.fd, buffer, sizeof buffer, 0);
        if (got < 0) {
            if (interrupted(c, "receive"))
                continue;
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

bool DirectoryServer::takeProxyHeader(Connection& c)
{
    const std::string client = c.proxyHeader->clientAddress();
    if (client.empty() || client == c.address)
        return true;
    // Limits per address hold for the client, not for the proxy carrying it.
    const auto from = m_perAddress.find(client);
    if (from != m_perAddress.end() && from->second >= m_options.maxConnectionsPerAddress) {
        close(c.fd, "refused: too many connections from " + client, Dropped::AddressCap);
        return false;
    }
    auto proxy = m_perAddress.find(c.address);
    if (proxy != m_perAddress.end() && --proxy->second == 0)
        m_perAddress.erase(proxy);
    ++m_perAddress[client];
    c.proxy = c.address;
    c.address = client;
    return true;
}

void DirectoryServer::feed(Connection& c, std::string_view bytes)
{
    std::string rest;
    if (c.proxyHeader) {
        switch (c.proxyHeader->feed(bytes)) {
        case ProxyHeaderReader::Status::NeedMore:
            return;
        case ProxyHeaderReader::Status::Refused:
            close(c.fd, "refused: " + c.proxyHeader->reason(), Dropped::ProxyHeader);
            return;
        case ProxyHeaderReader::Status::Done:
            break;
        }
        if (!takeProxyHeader(c))
            return;
        rest = c.proxyHeader->takeRest();
        c.proxyHeader.reset();
        bytes = rest;
        const int fd = c.fd;
        // The session logs nothing itself: its outcome goes into the one
        // line written when the connection closes.
        c.counting = std::make_unique<CountingStore>(*m_store, m_counters);
        c.session = std::make_unique<DirectorySession>(*c.counting, c.address, m_options.session,
            DirectorySession::Logger(), [this, fd] { m_replied.push_back(fd); });
        if (m_prober) {
            sockaddr_in local {};
            socklen_t length = sizeof local;
            char reached[INET_ADDRSTRLEN] = "";
            if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0)
                ::inet_ntop(AF_INET, &local.sin_addr, reached, sizeof reached);
            c.connectBack
                = std::make_unique<ClientConnectBack>(*m_prober, c.address, reached, !c.proxy.empty());
            c.session->setConnectBack(c.connectBack.get());
        }
        if (bytes.empty())
            return;
    }
    c.output += c.session->receive(bytes);
    if (c.session->completedMessages() != c.messagesSeen || c.session->finished()) {
        c.messagesSeen = c.session->completedMessages();
        // Waiting, the store and the probe keep deadlines of their own: cut
        // short, a probe went unanswered, a registration was stored unanswered.
        c.deadline = Steady::now()
            + (c.session->waiting() ? m_options.storeTimeout + m_options.connectBack.timeout + kWaitMargin
                                    : m_options.idleTimeout);
    }
    if (c.session->waiting() || c.session->finished())
        leaveIdle(c);
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

bool DirectoryServer::interrupted(Connection& c, const char* what)
{
    const int error = errno;
    if (error == EINTR)
        return true;
    if (error != EAGAIN && error != EWOULDBLOCK)
        close(c.fd, std::string(what) + " failed: " + ErrnoText(error));
    return false;
}

void DirectoryServer::flush(Connection& c)
{
    while (c.sent < c.output.size()) {
        const ssize_t put
            = ::send(c.fd, c.output.data() + c.sent, c.output.size() - c.sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (put < 0) {
            if (interrupted(c, "send"))
                continue;
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

void DirectoryServer::close(int fd, const std::string& reason, std::optional<Dropped> dropped)
{
    auto found = m_connections.find(fd);
    if (found == m_connections.end())
        return;
    Connection& c = found->second;
    const bool finished = c.session && c.session->finished();
    if (finished && !(c.counting && c.counting->answered())) {
        if (c.session->outcome() == "address request")
            ++m_counters.addressRequests;
        else if (c.session->outcome().starts_with("connect-back"))
            ++m_counters.connectBacks;
        else
            ++m_counters.badRequests;
    }
    if (dropped)
        m_counters.count(*dropped);
    // One line per connection, whatever happened on it.
    if (logging()) {
        std::string line = c.address;
        if (!c.proxy.empty())
            line += " via " + c.proxy;
        if (c.session && !c.session->outcome().empty())
            line += " " + c.session->outcome() + ";";
        logClient(line + " " + reason);
    }
    leaveIdle(c);
    auto count = m_perAddress.find(c.address);
    if (count != m_perAddress.end() && --count->second == 0)
        m_perAddress.erase(count);
    ::close(fd);
    m_connections.erase(found);
}

} // namespace voxlet::directory_server
