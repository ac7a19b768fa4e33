#pragma once
// Where registrations live, as the session sees it: one call registers (or
// refreshes) a user and lists the others. The in-memory registry answers at
// once; a shared store answers later, from the poll loop, so the loop never
// waits for it.

#include "server/registry_types.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace voxlet::directory_server {

class DirectoryStore {
public:
    // `others` are ListedRecord()s, valid only during the call.
    using Done = std::function<void(RegisterOutcome outcome, const std::vector<std::string_view>& others)>;

    virtual ~DirectoryStore() = default;

    // Registers `profile` from `address` and, when accepted, lists at most
    // maxListed current users other than the asker (same name from the same
    // address), in order of first registration. `done` runs exactly once:
    // before this returns (the result is then 0), or later from poll events
    // or timers, unless cancel() is given the ticket returned. A store that
    // cannot answer gives StoreUnavailable.
    virtual std::uint64_t registerAndList(
        const Profile& profile, const std::string& address, std::size_t maxListed, Done done)
        = 0;
    // The asker is gone: `done` of that ticket must not run.
    virtual void cancel(std::uint64_t /*ticket*/) { }

    // The administrator's removal of one entry; `done` runs exactly once,
    // now or later, with whether the name was registered, or an error.
    using Removed = std::function<void(bool found, const std::string& error)>;
    virtual void remove(const std::u16string& name, Removed done) = 0;

    // What the store waits for, for the poll loop: a descriptor (-1: none)
    // with the events wanted, and the next time it needs a tick.
    virtual int pollDescriptor(short& events) const
    {
        events = 0;
        return -1;
    }
    virtual void onPollEvents(short /*revents*/) { }
    virtual TimePoint nextTick() const { return TimePoint::max(); }
    virtual void onTick(TimePoint /*now*/) { }

    // Why registrations cannot be served now, for the health check; "" when they can.
    virtual std::string trouble() const { return {}; }
};

} // namespace voxlet::directory_server
