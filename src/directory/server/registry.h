#pragma once
// The directory's memory: who registered, from where, and when. Nothing is
// written to disk; an entry lives until it has not been refreshed for the
// keep time.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

namespace voxlet::directory_server {

using TimePoint = std::chrono::steady_clock::time_point;
using Clock = std::function<TimePoint()>;

// The six registration fields in the order the client sends them.
struct Profile {
    std::u16string name;
    std::u16string sex;
    std::u16string age;
    std::u16string comment;
    std::u16string pass;
    std::u16string extra;
};

struct ListedUser {
    std::u16string name;
    std::u16string sex;
    std::u16string age;
    std::u16string comment;
    std::string address;
};

enum class RegisterOutcome {
    Added, // a new name
    Refreshed, // same name, same registrant (same PASS, or same address when unprotected)
    TakenOver, // an unprotected name now belongs to someone at another address
    NameProtected, // the name carries another PASS
    DirectoryFull,
    AddressFull, // too many names from this address
};

bool IsAccepted(RegisterOutcome outcome);
const char* OutcomeName(RegisterOutcome outcome);

struct RegistryLimits {
    std::chrono::seconds keepFor { 15 * 60 };
    std::size_t maxUsers = 10000;
    std::size_t maxUsersPerAddress = 32;
};

class Registry {
public:
    Registry(RegistryLimits limits, Clock clock);

    RegisterOutcome registerUser(const Profile& profile, const std::string& address);

    // Users still current, in order of first registration, without the asker
    // (same name from the same address), at most maxCount of them.
    std::vector<ListedUser> list(
        const std::u16string& askerName, const std::string& askerAddress, std::size_t maxCount);

    std::size_t size();

private:
    struct Entry {
        Profile profile;
        std::string address;
        TimePoint refreshed;
    };

    void expire(TimePoint now);
    void insert(std::uint64_t order, Entry entry);
    void erase(std::map<std::uint64_t, Entry>::iterator it);

    RegistryLimits m_limits;
    Clock m_clock;
    std::uint64_t m_nextOrder = 1;
    std::map<std::uint64_t, Entry> m_entries; // keyed by order of first registration
    std::unordered_map<std::u16string, std::uint64_t> m_byName;
    std::unordered_map<std::string, std::size_t> m_perAddress;
};

} // namespace voxlet::directory_server
