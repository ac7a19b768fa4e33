#include "server/registry.h"

#include "server/text_codec.h"

#include <algorithm>
#include <utility>

namespace voxlet::directory_server {

bool IsAccepted(RegisterOutcome outcome)
{
    return outcome == RegisterOutcome::Added || outcome == RegisterOutcome::Refreshed
        || outcome == RegisterOutcome::TakenOver;
}

const char* OutcomeName(RegisterOutcome outcome)
{
    switch (outcome) {
    case RegisterOutcome::Added:
        return "added";
    case RegisterOutcome::Refreshed:
        return "refreshed";
    case RegisterOutcome::TakenOver:
        return "taken over";
    case RegisterOutcome::NameProtected:
        return "name protected by another PASS";
    case RegisterOutcome::DirectoryFull:
        return "directory full";
    case RegisterOutcome::AddressFull:
        return "too many names from this address";
    case RegisterOutcome::TooManyAttempts:
        return "too many wrong PASSes lately";
    case RegisterOutcome::StoreUnavailable:
        return "directory store unavailable";
    }
    return "?";
}

std::string ListedRecord(const Profile& profile, const std::string& address)
{
    std::string record;
    record.reserve(2
        * (profile.name.size() + profile.sex.size() + profile.age.size() + profile.comment.size()
            + address.size() + 5));
    for (const std::u16string* field : { &profile.name, &profile.sex, &profile.age, &profile.comment }) {
        AppendUtf16Le(record, *field);
        AppendAsciiAsUtf16Le(record, "|");
    }
    AppendAsciiAsUtf16Le(record, address);
    AppendAsciiAsUtf16Le(record, "|");
    return record;
}

std::string_view ListNetwork(std::string_view address)
{
    const auto dot = address.rfind('.');
    return dot == std::string_view::npos ? address : address.substr(0, dot);
}

namespace {

AttemptRules Rules(const RegistryLimits& limits)
{
    return { limits.passAttempts, limits.passWindow, kMaxPassWait, limits.attemptRecords };
}

} // namespace

Registry::Registry(RegistryLimits limits, Clock clock)
    : m_limits(limits)
    , m_clock(std::move(clock))
    , m_failedFrom(Rules(limits))
    , m_failedFor(Rules(limits))
{
}

void Registry::expire(TimePoint now)
{
    while (!m_byRefresh.empty() && now - m_byRefresh.begin()->first >= m_limits.keepFor)
        erase(m_entries.find(m_byRefresh.begin()->second));
}

void Registry::insert(std::uint64_t order, Entry entry)
{
    m_byName[entry.profile.name] = order;
    ++m_perAddress[entry.address];
    entry.record = ListedRecord(entry.profile, entry.address);
    entry.expiryPos = m_byRefresh.emplace(entry.refreshed, order);
    join(m_entries.emplace(order, std::move(entry)).first);
}

void Registry::join(Entries::iterator it)
{
    const std::string network(ListNetwork(it->second.address));
    m_byNetwork[network].insert(it->first);
    settleShare(network);
}

void Registry::leave(Entries::iterator it)
{
    const std::string network(ListNetwork(it->second.address));
    m_listed.erase(it->first);
    auto members = m_byNetwork.find(network);
    if (members == m_byNetwork.end())
        return;
    members->second.erase(it->first);
    if (members->second.empty())
        m_byNetwork.erase(members);
    else
        settleShare(network);
}

// One user joining or leaving a network moves at most one other across the
// edge of its share.
void Registry::settleShare(const std::string& network)
{
    const auto& members = m_byNetwork.at(network);
    std::size_t rank = 0;
    for (std::uint64_t order : members) {
        if (rank++ == m_limits.listShare) {
            m_listed.erase(order);
            break;
        }
        m_listed.emplace(order, &m_entries.at(order));
    }
}

void Registry::erase(Entries::iterator it)
{
    leave(it);
    m_byName.erase(it->second.profile.name);
    auto count = m_perAddress.find(it->second.address);
    if (count != m_perAddress.end() && --count->second == 0)
        m_perAddress.erase(count);
    m_byRefresh.erase(it->second.expiryPos);
    m_entries.erase(it);
}

RegisterOutcome Registry::registerUser(const Profile& profile, const std::string& address)
{
    const TimePoint now = m_clock();
    expire(now);

    auto fromAddress = [&](const std::string& a) {
        auto found = m_perAddress.find(a);
        return found == m_perAddress.end() ? std::size_t { 0 } : found->second;
    };

    auto named = m_byName.find(profile.name);
    if (named == m_byName.end()) {
        if (m_entries.size() >= m_limits.maxUsers)
            return RegisterOutcome::DirectoryFull;
        if (fromAddress(address) >= m_limits.maxUsersPerAddress)
            return RegisterOutcome::AddressFull;
        insert(m_nextOrder++, Entry { profile, address, now, {}, {} });
        return RegisterOutcome::Added;
    }

    auto it = m_entries.find(named->second);
    const Entry& old = it->second;
    RegisterOutcome outcome;
    if (!old.profile.pass.empty())
        outcome = checkPass(old, profile, address, now);
    else
        outcome = old.address == address ? RegisterOutcome::Refreshed : RegisterOutcome::TakenOver;
    if (!IsAccepted(outcome))
        return outcome;
    if (old.address != address && fromAddress(address) >= m_limits.maxUsersPerAddress)
        return RegisterOutcome::AddressFull;

    if (outcome == RegisterOutcome::Refreshed) {
        // The owner keeps its place in the list: update the entry where it is.
        Entry& entry = it->second;
        if (entry.address != address) {
            auto count = m_perAddress.find(entry.address);
            if (count != m_perAddress.end() && --count->second == 0)
                m_perAddress.erase(count);
            ++m_perAddress[address];
            leave(it);
            entry.address = address;
            join(it);
        }
        entry.profile = profile;
        entry.record = ListedRecord(entry.profile, entry.address);
        m_byRefresh.erase(entry.expiryPos);
        entry.refreshed = now;
        entry.expiryPos = m_byRefresh.emplace(now, it->first);
        return outcome;
    }
    // A newcomer to the name goes last.
    erase(it);
    insert(m_nextOrder++, Entry { profile, address, now, {}, {} });
    return outcome;
}

RegisterOutcome Registry::checkPass(
    const Entry& old, const Profile& profile, const std::string& address, TimePoint now)
{
    const bool right = old.profile.pass == profile.pass;
    // The owner refreshing from where it is listed is never held up by
    // anyone else's failures.
    if (right && old.address == address)
        return RegisterOutcome::Refreshed;
    // Locked: the PASS is not even looked at, so guessing on learns nothing.
    const std::string nameKey = EncodeUtf16Le(profile.name);
    if (m_failedFrom.locked(address, now) || m_failedFor.locked(nameKey, now))
        return RegisterOutcome::TooManyAttempts;
    if (right)
        return RegisterOutcome::Refreshed;
    m_failedFrom.fail(address, now);
    m_failedFor.fail(nameKey, now);
    return RegisterOutcome::NameProtected;
}

void Registry::remove(const std::u16string& name, Removed done)
{
    expire(m_clock());
    m_failedFor.forget(EncodeUtf16Le(name));
    auto named = m_byName.find(name);
    const bool found = named != m_byName.end();
    if (found)
        erase(m_entries.find(named->second));
    done(found, {});
}

std::uint64_t Registry::registerAndList(
    const Profile& profile, const std::string& address, std::size_t maxListed, Done done)
{
    const RegisterOutcome outcome = registerUser(profile, address);
    done(outcome,
        IsAccepted(outcome) ? list(profile.name, address, maxListed) : std::vector<std::string_view> {});
    return 0;
}

std::vector<std::string_view> Registry::list(
    const std::u16string& askerName, const std::string& askerAddress, std::size_t maxCount)
{
    expire(m_clock());
    std::vector<std::string_view> users;
    users.reserve(std::min(maxCount, m_listed.size()));
    for (const auto& [order, entry] : m_listed) {
        if (users.size() >= maxCount)
            break;
        if (entry->profile.name == askerName && entry->address == askerAddress)
            continue;
        users.push_back(entry->record);
    }
    return users;
}

std::size_t Registry::size()
{
    expire(m_clock());
    return m_entries.size();
}

} // namespace voxlet::directory_server
