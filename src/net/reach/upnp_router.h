#pragma once
// UPnP-IGD v1 and v2 (WANIPConnection) through miniupnpc: SSDP discovery on
// the local network, then SOAP requests to the router's control URL.

#include "net/reach/router_protocol.h"

#include <miniupnpc/miniupnpc.h>

namespace voxlet::reach {

class UpnpRouter : public RouterProtocol {
public:
    UpnpRouter();
    ~UpnpRouter() override;
    UpnpRouter(const UpnpRouter&) = delete;
    UpnpRouter& operator=(const UpnpRouter&) = delete;

    QString name() const override { return QStringLiteral("UPnP"); }
    bool Discover() override;
    QString ExternalAddress() override;
    QString LanAddress() override { return igd_.lan; }
    std::optional<QString> Holder(std::uint16_t port) override;
    RouterAnswer Map(std::uint16_t port, const QString& internalClient, int leaseSeconds) override;
    bool Unmap(std::uint16_t port, const QString& internalClient) override;
    QString OpenPinhole(std::uint16_t port, const QString& client, int leaseSeconds) override;
    bool RenewPinhole(const QString& id, int leaseSeconds) override;
    void ClosePinhole(const QString& id) override;

private:
    // One router found by SSDP, over IPv4 or over IPv6.
    struct Igd {
        UPNPUrls urls {};
        IGDdatas data {};
        bool found = false;
        QString lan; // our address on the connection that found it
        bool Discover(bool ipv6);
        void Forget();
        ~Igd() { Forget(); }
    };

    Igd igd_;
    // Pinholes are asked for over IPv6: a router lets each client open
    // only its own, and knows the client by the address the request comes from.
    Igd igd6_;
};

} // namespace voxlet::reach
