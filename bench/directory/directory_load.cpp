// Load generator for voxlet-directory: many simulated users, each on its own
// loopback source address (127.x.y.z, a few users per address), making the
// phone's exchange: connect, "SERVEROK|END", a registration (which the
// server answers with the list), read to the close. Prints exchanges per
// second, latency percentiles and the server processes' CPU and memory,
// each beside its target when one is given. Asserts nothing.
//
//   directory_load --server 127.0.0.1:8003 [--server ...] [--pid PID ...]
//       [--users N] [--per-address K] [--concurrency C] [--threads T]
//       [--preload | --seconds S] [--label TEXT]
//       [--target-rate R] [--target-p99-ms MS] [--target-rss-mb MB] [--target-lost]

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::string Wire(const std::string& ascii)
{
    std::string bytes;
    for (char c : ascii) {
        bytes.push_back(c);
        bytes.push_back('\0');
    }
    return bytes;
}

const std::string kHello = Wire("SERVEROK|END");
// The reply of a directory that dials back.
const std::string kDialBackHello = Wire("SERVEROK|dialback|END");
const std::string kListed = Wire("ClientData|");
const std::string kEnd = Wire("|END");

struct Settings {
    std::vector<sockaddr_in> servers;
    std::vector<int> pids;
    std::size_t users = 10000;
    std::size_t perAddress = 8;
    std::size_t concurrency = 64;
    unsigned threads = 1;
    bool preload = false;
    double seconds = 10;
    std::chrono::milliseconds timeout { 5000 };
    std::string label = "directory";
    std::optional<double> targetRate, targetP99Ms, targetRssMb;
    bool targetLost = false;
};

struct Stats {
    std::vector<std::uint32_t> latencyUs;
    std::size_t ok = 0;
    std::size_t refused = 0; // a DISCONNECT|END or a bad reply
    std::size_t failed = 0; // no connection, reset, timed out
};

in_addr UserAddress(std::size_t user, std::size_t perAddress)
{
    const std::size_t a = user / perAddress;
    in_addr address {};
    address.s_addr
        = htonl((127u << 24) | ((1 + a / 62500 % 250) << 16) | ((1 + a / 250 % 250) << 8) | (1 + a % 250));
    return address;
}

std::string Request(std::size_t user, bool search)
{
    const std::string n = std::to_string(user);
    return Wire(std::string(search ? "MYDATA|" : "ADDITIONDATA|") + "user" + n + "|M|"
        + std::to_string(20 + user % 50) + "|load test " + n + "|||END");
}

class Worker {
public:
    Worker(const Settings& s, unsigned index, std::atomic<std::size_t>& nextUser, Clock::time_point until)
        : m_s(s)
        , m_index(index)
        , m_nextUser(nextUser)
        , m_until(until)
        , m_random(index * 7919 + 1)
    {
    }

    void run(std::size_t connections)
    {
        m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
        m_conns.resize(connections);
        for (std::size_t i = 0; i < connections; ++i)
            start(i);
        std::vector<epoll_event> events(256);
        while (m_active > 0) {
            const int n = ::epoll_wait(m_epoll, events.data(), static_cast<int>(events.size()), 50);
            for (int k = 0; k < n; ++k)
                step(events[k].data.u64, events[k].events);
            const auto now = Clock::now();
            for (std::size_t i = 0; i < m_conns.size(); ++i) {
                if (m_conns[i].fd >= 0 && now - m_conns[i].began > m_s.timeout)
                    finish(i, Outcome::Failed);
            }
        }
        ::close(m_epoll);
    }

    Stats stats;

private:
    enum class Stage { Connecting, SendingHello, ReadingHello, SendingRequest, ReadingReply };
    enum class Outcome { Ok, Refused, Failed };
    struct Conn {
        int fd = -1;
        Stage stage = Stage::Connecting;
        std::string out;
        std::size_t sent = 0;
        std::string in;
        std::size_t user = 0;
        Clock::time_point began;
    };

    std::optional<std::size_t> pickUser()
    {
        if (m_s.preload) {
            const std::size_t user = m_nextUser++;
            return user < m_s.users ? std::optional(user) : std::nullopt;
        }
        if (Clock::now() >= m_until)
            return std::nullopt;
        return std::uniform_int_distribution<std::size_t>(0, m_s.users - 1)(m_random);
    }

    void start(std::size_t i)
    {
        const auto user = pickUser();
        if (!user)
            return;
        Conn& c = m_conns[i];
        c = Conn {};
        c.user = *user;
        c.began = Clock::now();
        c.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(c.fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
        sockaddr_in local {};
        local.sin_family = AF_INET;
        local.sin_addr = UserAddress(c.user, m_s.perAddress);
        ++m_active;
        if (::bind(c.fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            finish(i, Outcome::Failed);
            return;
        }
        const sockaddr_in& server = m_s.servers[(m_index + m_started++) % m_s.servers.size()];
        if (::connect(c.fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0
            && errno != EINPROGRESS) {
            finish(i, Outcome::Failed);
            return;
        }
        // Edge-triggered, both ways, once: no further epoll calls per exchange,
        // so that the generator spends as little of the shared machine as it can.
        epoll_event e {};
        e.events = EPOLLIN | EPOLLOUT | EPOLLET;
        e.data.u64 = i;
        ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, c.fd, &e);
    }

    void finish(std::size_t i, Outcome outcome)
    {
        Conn& c = m_conns[i];
        if (c.fd >= 0)
            ::close(c.fd);
        c.fd = -1;
        --m_active;
        if (outcome == Outcome::Ok) {
            ++stats.ok;
            stats.latencyUs.push_back(static_cast<std::uint32_t>(
                std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - c.began).count()));
        } else {
            ++(outcome == Outcome::Refused ? stats.refused : stats.failed);
        }
        start(i);
    }

    // false: the connection is finished
    bool sendPending(std::size_t i)
    {
        Conn& c = m_conns[i];
        while (c.sent < c.out.size()) {
            const ssize_t put = ::send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
            if (put < 0) {
                if (errno == EAGAIN)
                    return true;
                finish(i, Outcome::Failed);
                return false;
            }
            c.sent += static_cast<std::size_t>(put);
        }
        return true;
    }

    void step(std::size_t i, std::uint32_t events)
    {
        Conn& c = m_conns[i];
        if (c.fd < 0)
            return;
        if (c.stage == Stage::Connecting) {
            if (events & (EPOLLERR | EPOLLHUP)) {
                finish(i, Outcome::Failed);
                return;
            }
            if (!(events & EPOLLOUT))
                return;
            c.stage = Stage::SendingHello;
            c.out = kHello;
        }
        char buffer[16384];
        for (;;) {
            if (c.stage == Stage::SendingHello || c.stage == Stage::SendingRequest) {
                if (!sendPending(i))
                    return;
                if (c.sent < c.out.size())
                    return; // the next EPOLLOUT edge goes on
                c.stage = c.stage == Stage::SendingHello ? Stage::ReadingHello : Stage::ReadingReply;
            }
            const ssize_t got = ::recv(c.fd, buffer, sizeof buffer, 0);
            if (got < 0) {
                if (errno != EAGAIN)
                    finish(i, Outcome::Failed);
                return; // else the next EPOLLIN edge goes on
            }
            if (got == 0) {
                if (c.stage != Stage::ReadingReply) {
                    finish(i, Outcome::Failed);
                    return;
                }
                const bool listed = c.in.rfind(kListed, 0) == 0 && c.in.size() >= kEnd.size()
                    && c.in.compare(c.in.size() - kEnd.size(), kEnd.size(), kEnd) == 0;
                finish(i, listed ? Outcome::Ok : Outcome::Refused);
                return;
            }
            c.in.append(buffer, static_cast<std::size_t>(got));
            const std::string& hello = c.in.rfind(kHello, 0) == 0 ? kHello : kDialBackHello;
            if (c.stage == Stage::ReadingHello && c.in.size() >= hello.size()) {
                if (c.in.compare(0, hello.size(), hello) != 0) {
                    finish(i, Outcome::Refused);
                    return;
                }
                c.in.erase(0, hello.size());
                c.stage = Stage::SendingRequest;
                c.out = Request(c.user, (m_started + i) % 2 == 0);
                c.sent = 0;
            }
        }
    }

    const Settings& m_s;
    unsigned m_index;
    std::atomic<std::size_t>& m_nextUser;
    Clock::time_point m_until;
    std::mt19937_64 m_random;
    int m_epoll = -1;
    std::vector<Conn> m_conns;
    std::size_t m_active = 0;
    std::size_t m_started = 0;
};

struct ProcessSample {
    double cpuSeconds = 0;
    double rssMb = 0;
};

ProcessSample Sample(int pid)
{
    ProcessSample sample;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    const auto paren = text.rfind(')');
    if (paren != std::string::npos) {
        std::istringstream fields(text.substr(paren + 2));
        std::string field;
        unsigned long long utime = 0, stime = 0;
        for (int n = 3; fields >> field; ++n) { // field 3 is the state
            if (n == 14)
                utime = std::stoull(field);
            if (n == 15) {
                stime = std::stoull(field);
                break;
            }
        }
        sample.cpuSeconds = double(utime + stime) / double(::sysconf(_SC_CLK_TCK));
    }
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0)
            sample.rssMb = std::strtod(line.c_str() + 6, nullptr) / 1024.0;
    }
    return sample;
}

bool Parse(int argc, char** argv, Settings& s)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s needs a value\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--server") {
            const std::string v = value();
            const auto colon = v.rfind(':');
            sockaddr_in server {};
            server.sin_family = AF_INET;
            server.sin_port = htons(static_cast<std::uint16_t>(std::stoi(v.substr(colon + 1))));
            if (colon == std::string::npos
                || ::inet_pton(AF_INET, v.substr(0, colon).c_str(), &server.sin_addr) != 1)
                return false;
            s.servers.push_back(server);
        } else if (a == "--pid") {
            s.pids.push_back(std::stoi(value()));
        } else if (a == "--users") {
            s.users = std::stoul(value());
        } else if (a == "--per-address") {
            s.perAddress = std::max(1ul, std::stoul(value()));
        } else if (a == "--concurrency") {
            s.concurrency = std::max(1ul, std::stoul(value()));
        } else if (a == "--threads") {
            s.threads = std::max(1, std::stoi(value()));
        } else if (a == "--preload") {
            s.preload = true;
        } else if (a == "--seconds") {
            s.seconds = std::stod(value());
        } else if (a == "--label") {
            s.label = value();
        } else if (a == "--target-rate") {
            s.targetRate = std::stod(value());
        } else if (a == "--target-p99-ms") {
            s.targetP99Ms = std::stod(value());
        } else if (a == "--target-rss-mb") {
            s.targetRssMb = std::stod(value());
        } else if (a == "--target-lost") {
            s.targetLost = true;
        } else {
            return false;
        }
    }
    return !s.servers.empty() && s.users > 0;
}

std::string Target(const char* relation, const std::optional<double>& target)
{
    if (!target)
        return "";
    char text[64];
    std::snprintf(text, sizeof text, "  (target %s %g)", relation, *target);
    return text;
}

} // namespace

int main(int argc, char** argv)
{
    Settings s;
    if (!Parse(argc, argv, s)) {
        std::fprintf(stderr, "usage: see the top of directory_load.cpp\n");
        return 2;
    }
    std::vector<ProcessSample> before;
    for (int pid : s.pids)
        before.push_back(Sample(pid));

    std::atomic<std::size_t> nextUser { 0 };
    const auto began = Clock::now();
    const auto until
        = began + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s.seconds));
    std::vector<std::unique_ptr<Worker>> workers;
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < s.threads; ++t) {
        workers.push_back(std::make_unique<Worker>(s, t, nextUser, until));
        const std::size_t share = s.concurrency / s.threads + (t < s.concurrency % s.threads ? 1 : 0);
        threads.emplace_back([w = workers.back().get(), share] { w->run(share); });
    }
    for (auto& t : threads)
        t.join();
    const double wall = std::chrono::duration<double>(Clock::now() - began).count();

    Stats all;
    for (auto& w : workers) {
        all.ok += w->stats.ok;
        all.refused += w->stats.refused;
        all.failed += w->stats.failed;
        all.latencyUs.insert(all.latencyUs.end(), w->stats.latencyUs.begin(), w->stats.latencyUs.end());
    }
    std::sort(all.latencyUs.begin(), all.latencyUs.end());
    auto percentile = [&](double p) {
        if (all.latencyUs.empty())
            return 0.0;
        const std::size_t k
            = std::min(all.latencyUs.size() - 1, std::size_t(p / 100.0 * all.latencyUs.size()));
        return all.latencyUs[k] / 1000.0;
    };

    const double rate = all.ok / wall;
    std::printf("[%s] %zu exchanges in %.1f s by %zu users on %zu addresses, %zu at a time\n",
        s.label.c_str(), all.ok, wall, s.users, (s.users + s.perAddress - 1) / s.perAddress, s.concurrency);
    std::printf("  rate: %.0f exchanges/s%s\n", rate, Target(">=", s.targetRate).c_str());
    std::printf("  latency ms: p50 %.2f  p90 %.2f  p99 %.2f%s  max %.2f\n", percentile(50), percentile(90),
        percentile(99), Target("<=", s.targetP99Ms).c_str(), percentile(100));
    std::printf(
        "  refused %zu, failed %zu%s\n", all.refused, all.failed, s.targetLost ? "  (target: 0 and 0)" : "");
    for (std::size_t k = 0; k < s.pids.size(); ++k) {
        const ProcessSample after = Sample(s.pids[k]);
        std::printf("  server pid %d: CPU %.0f%% of one core, RSS %.1f MB%s\n", s.pids[k],
            100.0 * (after.cpuSeconds - before[k].cpuSeconds) / wall, after.rssMb,
            Target("<=", s.targetRssMb).c_str());
    }
    return 0;
}
