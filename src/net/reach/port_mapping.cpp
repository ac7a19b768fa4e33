#include "net/reach/port_mapping.h"

namespace voxlet::reach {

PortMapping::PortMapping(
    std::vector<RouterProtocol*> protocols, std::uint16_t port, QString internalClient, QString ipv6Client)
    : protocols_(std::move(protocols))
    , port_(port)
    , client_(std::move(internalClient))
    , client6_(std::move(ipv6Client))
{
}

void PortMapping::KeepPinhole(RouterProtocol& mapper)
{
    // IPv6 needs no translation, only a way through the router's firewall,
    // which another protocol than the IPv4 mapping's may offer.
    if (client6_.isEmpty())
        return;
    if (pinholeBy_ && !pinhole_.isEmpty() && pinholeBy_->RenewPinhole(pinhole_, kLeaseSeconds)) {
        state_.pinhole = pinhole_;
        return;
    }
    pinhole_.clear();
    pinholeBy_ = nullptr;
    std::vector<RouterProtocol*> order { &mapper };
    for (RouterProtocol* p : protocols_)
        if (p != &mapper)
            order.push_back(p);
    for (RouterProtocol* p : order) {
        if (p != &mapper && p != current_ && !p->Discover())
            continue;
        pinhole_ = p->OpenPinhole(port_, client6_, kLeaseSeconds);
        if (!pinhole_.isEmpty()) {
            pinholeBy_ = p;
            break;
        }
    }
    state_.pinhole = pinhole_;
}

MappingState PortMapping::MapWith(RouterProtocol& protocol)
{
    MappingState s;
    s.method = protocol.name();
    s.externalAddress = protocol.ExternalAddress();
    // Another machine's mapping is reported, never taken over.
    if (const auto holder = protocol.Holder(port_); holder && !holder->isEmpty() && *holder != client_) {
        s.status = MappingState::Status::Conflict;
        s.holder = *holder;
        return s;
    }
    RouterAnswer answer = protocol.Map(port_, client_, kLeaseSeconds);
    if (answer.code == RouterAnswer::Code::PermanentOnly)
        answer = protocol.Map(port_, client_, 0);
    s.detail = answer.detail;
    switch (answer.code) {
    case RouterAnswer::Code::Ok:
        s.status = MappingState::Status::Mapped;
        s.leaseSeconds = answer.leaseSeconds;
        s.permanent = answer.leaseSeconds == 0;
        break;
    case RouterAnswer::Code::Conflict:
        s.status = MappingState::Status::Conflict;
        s.holder = answer.holder;
        break;
    case RouterAnswer::Code::NoRouter:
        s.status = MappingState::Status::NoRouter;
        break;
    case RouterAnswer::Code::PermanentOnly:
    case RouterAnswer::Code::Failed:
        s.status = MappingState::Status::Failed;
        break;
    }
    return s;
}

MappingState PortMapping::Establish()
{
    current_ = nullptr;
    state_ = MappingState {};
    for (RouterProtocol* p : protocols_) {
        if (!p->Discover())
            continue;
        current_ = p;
        state_ = MapWith(*p);
        // A router that answers but will not map may still speak the other
        // protocol better (NAT-PMP refused, UPnP allowed).
        if (state_.status == MappingState::Status::Mapped || state_.status == MappingState::Status::Conflict)
            break;
    }
    if (current_)
        KeepPinhole(*current_);
    return state_;
}

MappingState PortMapping::Renew()
{
    if (!current_)
        return Establish();
    state_ = MapWith(*current_);
    if (state_.status == MappingState::Status::NoRouter) {
        pinhole_.clear();
        pinholeBy_ = nullptr;
        return Establish();
    }
    KeepPinhole(*current_);
    return state_;
}

void PortMapping::Remove()
{
    if (current_ && state_.status == MappingState::Status::Mapped)
        current_->Unmap(port_, client_);
    if (pinholeBy_ && !pinhole_.isEmpty())
        pinholeBy_->ClosePinhole(pinhole_);
    pinholeBy_ = nullptr;
    pinhole_.clear();
    state_.pinhole.clear();
    state_.status = MappingState::Status::NoRouter;
}

std::chrono::seconds PortMapping::NextRenewal() const
{
    if (state_.status == MappingState::Status::Mapped && !state_.permanent && state_.leaseSeconds > 0)
        return std::chrono::seconds(std::max(30, state_.leaseSeconds / 2));
    return kPermanentCheck;
}

} // namespace voxlet::reach
