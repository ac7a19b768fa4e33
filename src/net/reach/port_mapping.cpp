#include "net/reach/port_mapping.h"

#include "net/reach/reach_verdict.h"

#include <algorithm>

namespace voxlet::reach {

PortMapping::PortMapping(std::vector<RouterProtocol*> protocols, std::uint16_t port, QString internalClient,
    QString ipv6Client, std::function<bool()> stopping)
    : protocols_(std::move(protocols))
    , port_(port)
    , client_(std::move(internalClient))
    , client6_(std::move(ipv6Client))
    , stopping_(std::move(stopping))
{
}

QString PortMapping::ClientFor(RouterProtocol& protocol) const
{
    const QString lan = protocol.LanAddress();
    return lan.isEmpty() ? client_ : lan;
}

void PortMapping::Hold(RouterProtocol* protocol, bool held)
{
    const auto at = std::find(held_.begin(), held_.end(), protocol);
    if (held && at == held_.end())
        held_.push_back(protocol);
    else if (!held && at != held_.end())
        held_.erase(at);
}

void PortMapping::ClosePinhole()
{
    if (pinholeBy_ && !pinhole_.isEmpty())
        pinholeBy_->ClosePinhole(pinhole_);
    pinholeBy_ = nullptr;
    pinhole_.clear();
    pinholeTo_.clear();
    state_.pinhole.clear();
}

void PortMapping::KeepPinhole(RouterProtocol& mapper)
{
    // IPv6 needs no translation, only a way through the router's firewall,
    // which another protocol than the IPv4 mapping's may offer.
    if (pinholeTo_ != client6_)
        ClosePinhole(); // callers are given another address now
    if (client6_.isEmpty())
        return;
    if (pinholeBy_ && !pinhole_.isEmpty() && pinholeBy_->RenewPinhole(pinhole_, kLeaseSeconds)) {
        state_.pinhole = pinhole_;
        return;
    }
    // A renewal that failed may have left it open.
    ClosePinhole();
    std::vector<RouterProtocol*> order { &mapper };
    for (RouterProtocol* p : protocols_)
        if (p != &mapper)
            order.push_back(p);
    for (RouterProtocol* p : order) {
        if (Stopping())
            break;
        if (p != &mapper && p != current_ && !p->Discover())
            continue;
        if (Stopping())
            break;
        pinhole_ = p->OpenPinhole(port_, client6_, kLeaseSeconds);
        if (!pinhole_.isEmpty()) {
            pinholeBy_ = p;
            pinholeTo_ = client6_;
            break;
        }
    }
    state_.pinhole = pinhole_;
}

MappingState PortMapping::MapWith(RouterProtocol& protocol)
{
    MappingState s;
    s.method = protocol.name();
    s.externalAddress = CanonicalIPv4(protocol.ExternalAddress());
    s.client = ClientFor(protocol);
    // Another machine's mapping is reported, never taken over.
    if (const auto holder = protocol.Holder(port_); holder && !holder->isEmpty() && *holder != s.client) {
        s.status = MappingState::Status::Conflict;
        s.holder = CanonicalIPv4(*holder);
        Hold(&protocol, false);
        return s;
    }
    if (Stopping())
        return s;
    RouterAnswer answer = protocol.Map(port_, s.client, kLeaseSeconds);
    if (answer.code == RouterAnswer::Code::PermanentOnly && !Stopping())
        answer = protocol.Map(port_, s.client, 0);
    s.detail = answer.detail;
    switch (answer.code) {
    case RouterAnswer::Code::Ok:
        s.status = MappingState::Status::Mapped;
        s.leaseSeconds = answer.leaseSeconds;
        s.permanent = answer.leaseSeconds == 0;
        Hold(&protocol, true);
        break;
    case RouterAnswer::Code::Conflict:
        s.status = MappingState::Status::Conflict;
        s.holder = CanonicalIPv4(answer.holder);
        Hold(&protocol, false);
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
        if (Stopping())
            break;
        if (!p->Discover())
            continue;
        if (Stopping())
            break;
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
        // Looking for the router again forgets how to reach this one.
        ClosePinhole();
        return Establish();
    }
    KeepPinhole(*current_);
    return state_;
}

void PortMapping::Remove(const std::function<bool()>& abandoned)
{
    const auto over = [&] { return abandoned && abandoned(); };
    if (!over())
        ClosePinhole();
    for (RouterProtocol* p : held_) {
        if (over())
            break;
        // Taken over by another machine since: theirs now.
        const auto holder = p->Holder(port_);
        if (!holder || holder->isEmpty() || *holder == ClientFor(*p))
            p->Unmap(port_, ClientFor(*p));
    }
    held_.clear();
    pinholeBy_ = nullptr;
    pinhole_.clear();
    pinholeTo_.clear();
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
