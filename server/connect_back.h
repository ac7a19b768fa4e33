#pragma once
// Connect-back: a phone asks whether callers can reach it, and the directory
// dials the phone's own address on the call port and says whether the
// connection got through. The asker cannot name another address or port,
// and each address gets only a few probes, so the directory is no port
// scanner. Old phones never ask; old directories, and this one with
// connect-back switched off, refuse the request as unknown, which the phone
// takes for "cannot tell". A phone that gave a token with its request is
// told it on the probe, so that it knows its probe by what it says.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <poll.h>
#include <string>
#include <unordered_map>
#include <vector>

namespace voxlet::directory_server {

struct ConnectBackLimits {
    bool enabled = true;
    std::uint16_t port = 8002; // the phones' call port; tests use another
    std::chrono::milliseconds timeout { 3000 };
    std::size_t perAddress = 4; // probes of one address per window
    std::chrono::seconds window { 600 };
    std::size_t atOnce = 64; // probes in flight, all addresses together
};

enum class ProbeResult {
    Reached, // the connection was accepted
    Refused, // something answered with a reset: nothing listens there
    TimedOut, // no answer in time: dropped on the way (no mapping, a firewall)
    Limited, // this address has had its probes for now
    Unavailable, // not offered to this asker (it came through a proxy)
};
// The reply's word for a result: OK, REFUSED, TIMEOUT, LIMIT, NA.
const char* ProbeResultWord(ProbeResult result);

// What a session may ask for: a probe of its own client.
class ConnectBack {
public:
    using Done = std::function<void(ProbeResult)>;
    virtual ~ConnectBack() = default;
    // Calls done once, possibly before returning (then the result is 0);
    // otherwise returns a ticket for cancel(). The probe says `token`, or
    // nothing when it is empty (the request of an older phone).
    virtual std::uint64_t probe(const std::string& token, Done done) = 0;
    virtual void cancel(std::uint64_t ticket) = 0;
};

enum class ProbeCount { Allowed, Limited, Unknown };

// Where the probes of each address are counted: in this process, or in the
// store that several processes share, so that the limit is the directory's.
class ProbeCounter {
public:
    using Counted = std::function<void(ProbeCount)>;
    virtual ~ProbeCounter() = default;
    // Counts a probe of `address` unless it had `perAddress` in the last
    // `window`. As DirectoryStore::registerAndList: `done` runs once, now
    // (the result is then 0) or later, unless cancelCount() is given the ticket.
    virtual std::uint64_t countProbe(
        const std::string& address, std::size_t perAddress, std::chrono::seconds window, Counted done)
        = 0;
    virtual void cancelCount(std::uint64_t /*ticket*/) { }
};

class LocalProbeCounter : public ProbeCounter {
public:
    std::uint64_t countProbe(const std::string& address, std::size_t perAddress, std::chrono::seconds window,
        Counted done) override;

private:
    using Steady = std::chrono::steady_clock;
    // Start times of recent probes, per address.
    std::unordered_map<std::string, std::vector<Steady::time_point>> m_recent;
    Steady::time_point m_nextSweep {};
};

// Probes on the server's poll loop: non-blocking connects with a deadline.
class ConnectBackProber {
public:
    using Steady = std::chrono::steady_clock;
    using Done = ConnectBack::Done;

    // Counted by `shared` when there is one, else in this process.
    explicit ConnectBackProber(ConnectBackLimits limits, ProbeCounter* shared = nullptr);
    ~ConnectBackProber();
    ConnectBackProber(const ConnectBackProber&) = delete;
    ConnectBackProber& operator=(const ConnectBackProber&) = delete;

    // Dials target (dotted IPv4) from source, the local address the asker
    // reached (older phones know their probe by it). Once connected it sends
    // "CONNECTBACK|token|END", ends its side and drops what comes until the
    // phone closes or a short time is up. As ConnectBack::probe.
    std::uint64_t start(
        const std::string& target, const std::string& source, const std::string& token, Done done);
    void cancel(std::uint64_t ticket);

    const ConnectBackLimits& limits() const { return m_limits; }
    std::size_t inFlight() const { return m_probes.size() + m_counting.size(); }

    // Descriptors to poll, appended to `fds`; then handle() with the same
    // entries after poll().
    void appendPollFds(std::vector<pollfd>& fds);
    void handle(const pollfd* fds, std::size_t count);
    Steady::time_point nextDeadline() const;
    void expire(Steady::time_point now);

private:
    struct Probe {
        std::uint64_t ticket = 0;
        Steady::time_point deadline;
        Done done; // until the result is told
        std::string text; // the token's, sent once connected
        std::size_t sent = 0;
    };
    struct Counting {
        std::string target, source, token;
        Done done;
        std::uint64_t count = 0; // the counter's ticket
    };
    void counted(std::uint64_t ticket, ProbeCount count);
    void dial(std::uint64_t ticket, Counting asked);
    void finish(int fd, ProbeResult result);
    void connected(int fd);
    void sendText(int fd, Probe& probe);
    void drain(int fd);
    void drop(int fd);

    ConnectBackLimits m_limits;
    LocalProbeCounter m_local;
    ProbeCounter& m_counter;
    std::map<std::uint64_t, Counting> m_counting; // by ticket, until counted
    std::map<int, Probe> m_probes; // by descriptor, until closed
    std::unordered_map<std::uint64_t, int> m_byTicket; // those not yet told
    // The ticket of each probe polled, as its descriptor's generation: a
    // probe closed after poll() leaves its number, and its events, to the
    // next socket opened.
    std::vector<std::uint64_t> m_polled;
    std::uint64_t m_nextTicket = 1;
};

// One connection's ConnectBack: its client, the address it reached, and
// whether it came through a proxy (the probe would not come from the
// address the phone asked, so it could not tell the probe from a caller).
class ClientConnectBack : public ConnectBack {
public:
    ClientConnectBack(ConnectBackProber& prober, std::string client, std::string local, bool proxied)
        : m_prober(prober)
        , m_client(std::move(client))
        , m_local(std::move(local))
        , m_proxied(proxied)
    {
    }
    std::uint64_t probe(const std::string& token, Done done) override;
    void cancel(std::uint64_t ticket) override;

private:
    ConnectBackProber& m_prober;
    std::string m_client;
    std::string m_local;
    bool m_proxied;
};

} // namespace voxlet::directory_server
