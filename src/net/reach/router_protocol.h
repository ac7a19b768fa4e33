#pragma once
// One way of asking the home router for a port mapping (NAT-PMP, UPnP-IGD).
// Calls block (they run on the reachability worker) but each is bounded.

#include <QString>

#include <cstdint>
#include <optional>

namespace voxlet::reach {

struct RouterAnswer {
    enum class Code {
        Ok,
        NoRouter, // nothing answered this protocol
        Conflict, // the port is another machine's
        PermanentOnly, // the router takes no leases (UPnP error 725)
        Failed, // refused for another reason
    };
    Code code = Code::NoRouter;
    int leaseSeconds = 0; // granted; 0: permanent
    QString holder; // Conflict: the machine that holds the port, when known
    QString detail; // for the log
};

class RouterProtocol {
public:
    virtual ~RouterProtocol() = default;
    virtual QString name() const = 0;
    // Looks for a router speaking this protocol; false when none answered.
    virtual bool Discover() = 0;
    // The router's outside address, empty when it does not say.
    virtual QString ExternalAddress() = 0;
    // This computer's address as the router sees it (the source of what we
    // send it), empty when the protocol does not name an inside address.
    virtual QString LanAddress() { return {}; }
    // The inside address that holds the external port now, when the
    // protocol can tell (nullopt: free, or cannot be told).
    virtual std::optional<QString> Holder(std::uint16_t port) = 0;
    // Maps the external port to the same port of internalClient; a lease of
    // 0 asks for a permanent mapping.
    virtual RouterAnswer Map(std::uint16_t port, const QString& internalClient, int leaseSeconds) = 0;
    virtual bool Unmap(std::uint16_t port, const QString& internalClient) = 0;

    // An IPv6 firewall pinhole to the port of client, for any remote host:
    // its id, or empty where the router offers none. Renewing an id the
    // router no longer knows fails (then it is opened anew).
    virtual QString OpenPinhole(std::uint16_t, const QString&, int) { return {}; }
    virtual bool RenewPinhole(const QString&, int) { return false; }
    virtual void ClosePinhole(const QString&) { }
};

} // namespace voxlet::reach
