#pragma once
// What the server has done since it started, for the periodic log line, the
// health check and the service manager's status.

#include "server/directory_store.h"

#include <array>
#include <cstdint>
#include <map>
#include <string>

namespace voxlet::directory_server {

// Why a connection ended without an exchange, or was never served.
enum class Dropped {
    ConnectionCap, // refused: the server holds its most connections, none idle
    AddressCap, // refused: the address holds its most connections
    OutOfDescriptors,
    ProxyHeader, // a PROXY header refused
    MadeRoom, // idle, closed to make room for a new client
    IdleTimeout,
    ReplyNotRead,
    StoreTimeout,
    Stopping, // still open when the server stopped
};
inline constexpr std::size_t kDroppedReasons = static_cast<std::size_t>(Dropped::Stopping) + 1;
const char* DroppedName(Dropped reason);

struct ServerCounters {
    std::uint64_t connections = 0; // accepted
    std::uint64_t addressRequests = 0;
    std::uint64_t connectBacks = 0; // reachability probes answered
    std::uint64_t badRequests = 0; // refused before reaching the store
    std::map<int, std::uint64_t> registrations; // by RegisterOutcome
    std::array<std::uint64_t, kDroppedReasons> dropped {};
    std::uint64_t logLinesDropped = 0;

    void count(Dropped reason) { ++dropped[static_cast<std::size_t>(reason)]; }
    std::uint64_t exchanges() const;
    std::uint64_t storeErrors() const;
};

// "1234 exchanges (...), ..." for what happened since `before`.
std::string DescribeCounters(const ServerCounters& now, const ServerCounters& before);

// Stands between one connection's session and the store, to count what the
// store answers. It forwards only what a session calls.
class CountingStore : public DirectoryStore {
public:
    CountingStore(DirectoryStore& store, ServerCounters& counters)
        : m_store(store)
        , m_counters(counters)
    {
    }

    std::uint64_t registerAndList(
        const Profile& profile, const std::string& address, std::size_t maxListed, Done done) override;
    void cancel(std::uint64_t ticket) override { m_store.cancel(ticket); }
    void remove(const std::u16string& name, Removed done) override { m_store.remove(name, std::move(done)); }

    bool answered() const { return m_answered; }

private:
    DirectoryStore& m_store;
    ServerCounters& m_counters;
    bool m_answered = false;
};

} // namespace voxlet::directory_server
