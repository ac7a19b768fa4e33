#pragma once
// Counts failed PASS attempts per key (a client address, or a name) and
// locks a key that failed too often: `attempts` failures within `window`
// lock it for one window, and each lock that follows before the key has
// been quiet for `maxWait` lasts twice as long as the one before, up to
// `maxWait`. The Redis store's script keeps the same records by the same
// rules, so both stores answer alike.

#include "server/registry_types.h"

#include <chrono>
#include <cstddef>
#include <map>
#include <string>
#include <unordered_map>

namespace voxlet::directory_server {

// The longest lock, and how long a key that has been locked is remembered.
inline constexpr std::chrono::hours kMaxPassWait { 24 };

struct AttemptRules {
    unsigned attempts = 5;
    std::chrono::seconds window { 600 };
    std::chrono::seconds maxWait = kMaxPassWait;
    // Most keys remembered: beyond it the record that would be forgotten
    // first goes. Locked keys outlive unlocked ones, so an attacker must
    // lock this many keys of his own to unlock one.
    std::size_t capacity = 100000;
};

class AttemptGuard {
public:
    explicit AttemptGuard(AttemptRules rules);

    bool locked(const std::string& key, TimePoint now) const;
    void fail(const std::string& key, TimePoint now);
    void forget(const std::string& key);
    std::size_t size() const { return m_records.size(); }

private:
    struct Record {
        unsigned failures = 0;
        TimePoint since; // the current window began
        TimePoint until; // locked until
        unsigned locks = 0;
        std::multimap<TimePoint, const std::string*>::iterator expiryPos;
    };

    void dropExpired(TimePoint now);
    void erase(std::unordered_map<std::string, Record>::iterator it);

    AttemptRules m_rules;
    std::unordered_map<std::string, Record> m_records;
    // By the time each record may be forgotten (its key lives in m_records).
    std::multimap<TimePoint, const std::string*> m_byExpiry;
};

} // namespace voxlet::directory_server
