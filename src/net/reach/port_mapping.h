#pragma once
// What the phone asks of the home router, whichever protocol it speaks:
// the call port mapped to the listener for about an hour, renewed at half
// the lease; a permanent mapping where the router takes no leases; never a
// mapping over another machine's; and at the end the mapping removed.

#include "net/reach/router_protocol.h"

#include <chrono>
#include <cstdint>
#include <vector>

namespace voxlet::reach {

constexpr int kLeaseSeconds = 3600;
// A permanent mapping is looked at as often as a lease is renewed: a
// router that forgot it (rebooted) gets it back.
constexpr std::chrono::seconds kPermanentCheck { kLeaseSeconds / 2 };

struct MappingState {
    enum class Status {
        Off, // mapping switched off
        NoRouter, // no router answered any protocol
        Mapped,
        Conflict, // another machine holds the port
        Failed, // a router answered but refused
    };
    Status status = Status::NoRouter;
    QString method; // the protocol that answered
    QString externalAddress; // as the router says; may be empty
    bool permanent = false;
    int leaseSeconds = 0;
    QString holder; // Conflict: who holds the port, when known
    QString detail;
    QString pinhole; // the IPv6 pinhole's id, when the router opened one

    bool operator==(const MappingState&) const = default;
};

class PortMapping {
public:
    // Protocols in the order they are tried.
    // ipv6Client: the listener's IPv6 address, for a pinhole (empty: none).
    PortMapping(std::vector<RouterProtocol*> protocols, std::uint16_t port, QString internalClient,
        QString ipv6Client = {});

    // Looks for a router and maps; the first protocol whose router answers
    // is kept for the renewals.
    MappingState Establish();
    // The mapping again (a router that forgot it maps it anew); when its
    // router no longer answers, every protocol is tried again.
    MappingState Renew();
    // Removes the mapping this phone made, if any.
    void Remove();
    // When to renew: half the lease.
    std::chrono::seconds NextRenewal() const;

    const MappingState& state() const { return state_; }

private:
    MappingState MapWith(RouterProtocol& protocol);
    void KeepPinhole(RouterProtocol& protocol);

    std::vector<RouterProtocol*> protocols_;
    std::uint16_t port_;
    QString client_;
    QString client6_;
    QString pinhole_;
    RouterProtocol* pinholeBy_ = nullptr;
    RouterProtocol* current_ = nullptr; // the one that answered
    MappingState state_;
};

} // namespace voxlet::reach
