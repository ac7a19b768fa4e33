#pragma once
// The directory's memory: who registered, from where, and when. Nothing is
// written to disk; an entry lives until it has not been refreshed for the
// keep time.

#include "server/attempt_guard.h"
#include "server/directory_store.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace voxlet::directory_server {

// The directory's settings. With the Redis store the first process stores
// them there, and every process uses the stored ones.
struct RegistryLimits {
    std::chrono::seconds keepFor { 15 * 60 };
    std::size_t maxUsers = 10000;
    std::size_t maxUsersPerAddress = 8;
    // Most users of one ListNetwork() in a list, so that a few networks
    // cannot fill the hundred places for everyone.
    std::size_t listShare = 4;
    // Wrong PASSes allowed per window, per address and per name.
    unsigned passAttempts = 5;
    std::chrono::seconds passWindow { 600 };
    std::size_t attemptRecords = 100000; // of each kind, in memory
};

class Registry : public DirectoryStore {
public:
    Registry(RegistryLimits limits, Clock clock);

    std::uint64_t registerAndList(
        const Profile& profile, const std::string& address, std::size_t maxListed, Done done) override;

    RegisterOutcome registerUser(const Profile& profile, const std::string& address);

    void remove(const std::u16string& name, Removed done) override;

    // Users still current, in order of first registration, without the asker
    // (same name from the same address), at most maxCount of them, as
    // ListedRecord()s valid until the next change.
    std::vector<std::string_view> list(
        const std::u16string& askerName, const std::string& askerAddress, std::size_t maxCount);

    std::size_t size();
    // Addresses and names with failed PASS attempts remembered.
    std::size_t attemptRecords() const { return m_failedFrom.size() + m_failedFor.size(); }

private:
    struct Entry {
        Profile profile;
        std::string address;
        TimePoint refreshed;
        std::string record; // ListedRecord(profile, address)
        std::multimap<TimePoint, std::uint64_t>::iterator expiryPos;
    };
    using Entries = std::map<std::uint64_t, Entry>;

    void expire(TimePoint now);
    void insert(std::uint64_t order, Entry entry);
    void erase(Entries::iterator it);
    void join(Entries::iterator it);
    void leave(Entries::iterator it);
    void settleShare(const std::string& network);
    RegisterOutcome checkPass(
        const Entry& old, const Profile& profile, const std::string& address, TimePoint now);

    RegistryLimits m_limits;
    Clock m_clock;
    std::uint64_t m_nextOrder = 1;
    Entries m_entries; // keyed by order of first registration
    // Orders by refresh time, so expiring costs only what expires.
    std::multimap<TimePoint, std::uint64_t> m_byRefresh;
    std::unordered_map<std::u16string, std::uint64_t> m_byName;
    std::unordered_map<std::string, std::size_t> m_perAddress;
    // Each network's users by order; the first listShare of each are listed.
    std::unordered_map<std::string, std::set<std::uint64_t>> m_byNetwork;
    std::map<std::uint64_t, const Entry*> m_listed;
    AttemptGuard m_failedFrom; // by client address
    AttemptGuard m_failedFor; // by name (its UTF-16LE bytes)
};

} // namespace voxlet::directory_server
