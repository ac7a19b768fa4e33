#include "server/server_counters.h"

namespace voxlet::directory_server {

const char* DroppedName(Dropped reason)
{
    switch (reason) {
    case Dropped::ConnectionCap:
        return "connection cap";
    case Dropped::AddressCap:
        return "address cap";
    case Dropped::OutOfDescriptors:
        return "out of descriptors";
    case Dropped::ProxyHeader:
        return "PROXY header";
    case Dropped::MadeRoom:
        return "made room";
    case Dropped::IdleTimeout:
        return "idle";
    case Dropped::ReplyNotRead:
        return "reply not read";
    case Dropped::StoreTimeout:
        return "store timeout";
    case Dropped::Stopping:
        return "stopping";
    }
    return "?";
}

std::uint64_t ServerCounters::exchanges() const
{
    std::uint64_t total = addressRequests + connectBacks + badRequests;
    for (const auto& [outcome, n] : registrations)
        total += n;
    return total;
}

std::uint64_t ServerCounters::storeErrors() const
{
    const auto found = registrations.find(static_cast<int>(RegisterOutcome::StoreUnavailable));
    return found == registrations.end() ? 0 : found->second;
}

std::string DescribeCounters(const ServerCounters& now, const ServerCounters& before)
{
    std::string text = std::to_string(now.exchanges() - before.exchanges()) + " exchanges (address "
        + std::to_string(now.addressRequests - before.addressRequests);
    for (const auto& [outcome, n] : now.registrations) {
        const auto old = before.registrations.find(outcome);
        const std::uint64_t delta = n - (old == before.registrations.end() ? 0 : old->second);
        if (delta)
            text += std::string(", ") + OutcomeName(static_cast<RegisterOutcome>(outcome)) + " "
                + std::to_string(delta);
    }
    if (const std::uint64_t probes = now.connectBacks - before.connectBacks)
        text += ", connect-back " + std::to_string(probes);
    text += ", malformed " + std::to_string(now.badRequests - before.badRequests) + "), "
        + std::to_string(now.connections - before.connections) + " connections, dropped:";
    bool any = false;
    for (std::size_t i = 0; i < kDroppedReasons; ++i) {
        if (const std::uint64_t delta = now.dropped[i] - before.dropped[i]) {
            text += std::string(any ? ", " : " ") + DroppedName(static_cast<Dropped>(i)) + " "
                + std::to_string(delta);
            any = true;
        }
    }
    if (!any)
        text += " none";
    text += ", store errors " + std::to_string(now.storeErrors() - before.storeErrors())
        + ", log lines dropped " + std::to_string(now.logLinesDropped - before.logLinesDropped);
    return text;
}

std::uint64_t CountingStore::registerAndList(
    const Profile& profile, const std::string& address, std::size_t maxListed, Done done)
{
    return m_store.registerAndList(profile, address, maxListed,
        [this, done = std::move(done)](RegisterOutcome outcome, const std::vector<std::string_view>& others) {
            m_answered = true;
            ++m_counters.registrations[static_cast<int>(outcome)];
            done(outcome, others);
        });
}

} // namespace voxlet::directory_server
