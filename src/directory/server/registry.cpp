#include "directory/server/registry.h"

#include "directory/server/text_codec.h"

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

Registry::Registry(RegistryLimits limits, Clock clock)
    : m_limits(limits)
    , m_clock(std::move(clock))
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
    m_entries.emplace(order, std::move(entry));
}

void Registry::erase(std::map<std::uint64_t, Entry>::iterator it)
{
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
        outcome
            = old.profile.pass == profile.pass ? RegisterOutcome::Refreshed : RegisterOutcome::NameProtected;
    else
        outcome = old.address == address ? RegisterOutcome::Refreshed : RegisterOutcome::TakenOver;
    if (outcome == RegisterOutcome::NameProtected)
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
            entry.address = address;
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
    users.reserve(std::min(maxCount, m_entries.size()));
    for (const auto& [order, entry] : m_entries) {
        if (users.size() >= maxCount)
            break;
        if (entry.profile.name == askerName && entry.address == askerAddress)
            continue;
        users.push_back(entry.record);
    }
    return users;
}

std::size_t Registry::size()
{
    expire(m_clock());
    return m_entries.size();
}

} // namespace voxlet::directory_server
