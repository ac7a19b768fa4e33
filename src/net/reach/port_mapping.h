#pragma once
// What the phone asks of the home router, whichever protocol it speaks:
// the call port mapped to the listener for about an hour, renewed at half
// the lease; a permanent mapping where the router takes no leases; never a
// mapping over another machine's; and at the end the mapping removed.

#include "net/reach/router_protocol.h"

#include <chrono>
#include <cstdint>
#include <functional>
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
    QString client; // the inside address mapped to, as the router sees this computer
    QString pinhole; // the IPv6 pinhole's id, when the router opened one

    bool operator==(const MappingState&) const = default;
};

class PortMapping {
public:
    // Protocols in the order they are tried.
    // internalClient: mapped to where a router does not say how it sees us.
    // ipv6Client: the listener's IPv6 address, for a pinhole (empty: none).
    // stopping: once true, nothing more is mapped or opened.
    PortMapping(std::vector<RouterProtocol*> protocols, std::uint16_t port, QString internalClient,
        QString ipv6Client = {}, std::function<bool()> stopping = {});

    // Looks for a router and maps; the first protocol whose router answers
    // is kept for the renewals.
    MappingState Establish();
    // The mapping again (a router that forgot it maps it anew); when its
    // router no longer answers, every protocol is tried again.
    MappingState Renew();
    // Removes every mapping and pinhole this phone holds, whatever the last
    // renewal said; stops asking once `abandoned` says nobody waits.
    void Remove(const std::function<bool()>& abandoned = {});
    // When to renew: half the lease.
    std::chrono::seconds NextRenewal() const;
    // The IPv6 address chosen anew: the next renewal moves the pinhole to it.
    void SetIPv6Client(const QString& ipv6Client) { client6_ = ipv6Client; }

    const MappingState& state() const { return state_; }

private:
    bool Stopping() const { return stopping_ && stopping_(); }
    QString ClientFor(RouterProtocol& protocol) const;
    MappingState MapWith(RouterProtocol& protocol);
    void KeepPinhole(RouterProtocol& protocol);
    void ClosePinhole();
    void Hold(RouterProtocol* protocol, bool held);

    std::vector<RouterProtocol*> protocols_;
    std::uint16_t port_;
    QString client_;
    QString client6_;
    std::function<bool()> stopping_;
    QString pinhole_;
    QString pinholeTo_; // the address it leads to
    RouterProtocol* pinholeBy_ = nullptr;
    RouterProtocol* current_ = nullptr; // the one that answered
    // Where our mapping may be on the router: a failed renewal does not
    // take it off, only its removal or another machine's taking the port.
    std::vector<RouterProtocol*> held_;
    MappingState state_;
};

} // namespace voxlet::reach
