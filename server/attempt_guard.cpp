#include "server/attempt_guard.h"

#include <algorithm>

namespace voxlet::directory_server {

namespace {

// Expired records dropped per failure: the work of one call stays small.
constexpr int kDropsPerCall = 16;

} // namespace

AttemptGuard::AttemptGuard(AttemptRules rules)
    : m_rules(rules)
{
}

bool AttemptGuard::locked(const std::string& key, TimePoint now) const
{
    auto found = m_records.find(key);
    return found != m_records.end() && found->second.until > now;
}

void AttemptGuard::fail(const std::string& key, TimePoint now)
{
    dropExpired(now);
    auto [it, added] = m_records.try_emplace(key);
    Record& r = it->second;
    if (!added) {
        const bool expired = r.expiryPos->first <= now;
        m_byExpiry.erase(r.expiryPos);
        if (expired)
            r = Record {};
    }
    if (r.failures == 0 && r.locks == 0)
        r.since = now;
    if (now - r.since >= m_rules.window) {
        r.failures = 0;
        r.since = now;
    }
    if (++r.failures >= m_rules.attempts) {
        auto wait = std::chrono::duration_cast<std::chrono::seconds>(m_rules.maxWait);
        if (r.locks < 20)
            wait = std::min(wait, m_rules.window * (1u << r.locks));
        r.until = now + wait;
        ++r.locks;
        r.failures = 0;
        r.since = r.until;
    }
    const TimePoint expiry = r.locks ? r.until + m_rules.maxWait : r.since + m_rules.window;
    r.expiryPos = m_byExpiry.emplace(expiry, &it->first);
    while (m_records.size() > m_rules.capacity)
        erase(m_records.find(*m_byExpiry.begin()->second));
}

void AttemptGuard::forget(const std::string& key)
{
    auto found = m_records.find(key);
    if (found != m_records.end())
        erase(found);
}

void AttemptGuard::dropExpired(TimePoint now)
{
    for (int i = 0; i < kDropsPerCall && !m_byExpiry.empty() && m_byExpiry.begin()->first <= now; ++i)
        erase(m_records.find(*m_byExpiry.begin()->second));
}

void AttemptGuard::erase(std::unordered_map<std::string, Record>::iterator it)
{
    m_byExpiry.erase(it->second.expiryPos);
    m_records.erase(it);
}

} // namespace voxlet::directory_server
