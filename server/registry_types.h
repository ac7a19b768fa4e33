#pragma once
// What a registration is made of and what can come of it, whichever store
// keeps it.

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

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

// A user as a list reply carries it, ready to send: "name|sex|age|comment|
// address|" in UTF-16LE. Stores keep it encoded, so a list of a hundred
// users is a hundred copies of bytes, not five hundred conversions.
std::string ListedRecord(const Profile& profile, const std::string& address);

enum class RegisterOutcome {
    Added, // a new name
    Refreshed, // same name, same registrant (same PASS, or same address when unprotected)
    TakenOver, // an unprotected name now belongs to someone at another address
    NameProtected, // the name carries another PASS
    DirectoryFull,
    AddressFull, // too many names from this address
    TooManyAttempts, // too many wrong PASSes lately from this address or for this name
    StoreUnavailable, // the shared store did not answer (in time)
};

bool IsAccepted(RegisterOutcome outcome);
const char* OutcomeName(RegisterOutcome outcome);

// The network whose users share the list: the first three parts of a
// dotted IPv4 address ("198.51.100.7" -> "198.51.100").
std::string_view ListNetwork(std::string_view address);

} // namespace voxlet::directory_server
