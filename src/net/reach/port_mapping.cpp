#include "net/reach/port_mapping.h"

namespace voxlet::reach {

PortMapping::PortMapping(std::vector<RouterProtocol*> protocols, std::uint16_t port, QString internalClient)
    : protocols_(std::move(protocols))
    , port_(port)
    , client_(std::move(internalClient))
{
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
    return state_;
}

MappingState PortMapping::Renew()
{
    if (!current_)
        return Establish();
    state_ = MapWith(*current_);
    if (state_.status == MappingState::Status::NoRouter)
        return Establish();
    return state_;
}

void PortMapping::Remove()
{
    if (current_ && state_.status == MappingState::Status::Mapped)
        current_->Unmap(port_, client_);
    state_.status = MappingState::Status::NoRouter;
}

std::chrono::seconds PortMapping::NextRenewal() const
{
    if (state_.status == MappingState::Status::Mapped && !state_.permanent && state_.leaseSeconds > 0)
        return std::chrono::seconds(std::max(30, state_.leaseSeconds / 2));
    return kPermanentCheck;
}

} // namespace voxlet::reach
