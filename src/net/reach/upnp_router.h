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
    std::optional<QString> Holder(std::uint16_t port) override;
    RouterAnswer Map(std::uint16_t port, const QString& internalClient, int leaseSeconds) override;
    bool Unmap(std::uint16_t port, const QString& internalClient) override;

private:
    void Forget();

    UPNPUrls urls_ {};
    IGDdatas data_ {};
    bool found_ = false;
};

} // namespace voxlet::reach
