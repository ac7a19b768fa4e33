#pragma once
// NAT-PMP (RFC 6886) through libnatpmp, to the default gateway. Routers
// that speak PCP answer these requests too (PCP keeps NAT-PMP's port).

#include "net/reach/router_protocol.h"

#include <natpmp.h>

namespace voxlet::reach {

class NatPmpRouter : public RouterProtocol {
public:
    NatPmpRouter();
    ~NatPmpRouter() override;
    NatPmpRouter(const NatPmpRouter&) = delete;
    NatPmpRouter& operator=(const NatPmpRouter&) = delete;

    QString name() const override { return QStringLiteral("NAT-PMP"); }
    bool Discover() override;
    QString ExternalAddress() override { return external_; }
    std::optional<QString> Holder(std::uint16_t) override { return std::nullopt; }
    RouterAnswer Map(std::uint16_t port, const QString& internalClient, int leaseSeconds) override;
    bool Unmap(std::uint16_t port, const QString& internalClient) override;

private:
    // The answer to the request just sent, waiting at most budgetMs.
    int Await(natpmpresp_t& response, int budgetMs);
    void Close();

    natpmp_t natpmp_ {};
    bool open_ = false;
    QString external_;
};

} // namespace voxlet::reach
