#pragma once
// The directory's memory: who registered, from where, and when. Nothing is
// written to disk; an entry lives until it has not been refreshed for the
// keep time.

#include "directory/server/directory_store.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace voxlet::directory_server {

struct RegistryLimits {
    std::chrono::seconds keepFor { 15 * 60 };
    std::size_t maxUsers = 10000;
    std::size_t maxUsersPerAddress = 32;
};

class Registry : public DirectoryStore {
public:
    Registry(RegistryLimits limits, Clock clock);

    std::uint64_t registerAndList(
        const Profile& profile, const std::string& address, std::size_t maxListed, Done done) override;

    RegisterOutcome registerUser(const Profile& profile, const std::string& address);

    // Users still current, in order of first registration, without the asker
    // (same name from the same address), at most maxCount of them, as
    // ListedRecord()s valid until the next change.
    std::vector<std::string_view> list(
        const std::u16string& askerName, const std::string& askerAddress, std::size_t maxCount);

    std::size_t size();

private:
    struct Entry {
        Profile profile;
        std::string address;
        TimePoint refreshed;
        std::string record; // ListedRecord(profile, address)
        std::multimap<TimePoint, std::uint64_t>::iterator expiryPos;
    };

    void expire(TimePoint now);
    void insert(std::uint64_t order, Entry entry);
    void erase(std::map<std::uint64_t, Entry>::iterator it);

    RegistryLimits m_limits;
    Clock m_clock;
    std::uint64_t m_nextOrder = 1;
    std::map<std::uint64_t, Entry> m_entries; // keyed by order of first registration
    // Orders by refresh time, so expiring costs only what expires.
    std::multimap<TimePoint, std::uint64_t> m_byRefresh;
    std::unordered_map<std::u16string, std::uint64_t> m_byName;
    std::unordered_map<std::string, std::size_t> m_perAddress;
};

} // namespace voxlet::directory_server
