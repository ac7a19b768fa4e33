#include "net/reach/natpmp_router.h"

#include <arpa/inet.h>
#include <chrono>
#include <poll.h>

namespace voxlet::reach {

namespace {
// libnatpmp resends after 250 ms, 500 ms, ...: two tries fit in a second.
constexpr int kDiscoverMs = 1000;
constexpr int kRequestMs = 1500;
} // namespace

NatPmpRouter::NatPmpRouter() = default;

NatPmpRouter::~NatPmpRouter()
{
    Close();
}

void NatPmpRouter::Close()
{
    if (open_)
        closenatpmp(&natpmp_);
    open_ = false;
}

int NatPmpRouter::Await(natpmpresp_t& response, int budgetMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(budgetMs);
    for (;;) {
        timeval retry {};
        getnatpmprequesttimeout(&natpmp_, &retry);
        const auto left
            = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now())
                  .count();
        if (left <= 0)
            return NATPMP_TRYAGAIN;
        const long wait = std::min<long>(left, retry.tv_sec * 1000 + retry.tv_usec / 1000 + 1);
        pollfd p { natpmp_.s, POLLIN, 0 };
        ::poll(&p, 1, int(wait));
        const int r = readnatpmpresponseorretry(&natpmp_, &response);
        if (r != NATPMP_TRYAGAIN)
            return r;
    }
}

bool NatPmpRouter::Discover()
{
    Close();
    external_.clear();
    if (initnatpmp(&natpmp_, 0, 0) != 0)
        return false; // no default gateway
    open_ = true;
    if (sendpublicaddressrequest(&natpmp_) < 0)
        return false;
    natpmpresp_t response {};
    const int r = Await(response, kDiscoverMs);
    if (r == 0) {
        char text[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &response.pnu.publicaddress.addr, text, sizeof text);
        external_ = QString::fromLatin1(text);
        return true;
    }
    // A router that answers with an error (no outside address yet) speaks
    // the protocol all the same.
    return r <= NATPMP_ERR_UNDEFINEDERROR && r >= NATPMP_ERR_OUTOFRESOURCES;
}

RouterAnswer NatPmpRouter::Map(std::uint16_t port, const QString&, int leaseSeconds)
{
    RouterAnswer a;
    if (!open_)
        return a;
    // NAT-PMP has no permanent mappings: "0" would delete.
    const int lifetime = leaseSeconds > 0 ? leaseSeconds : 7 * 24 * 3600;
    if (sendnewportmappingrequest(&natpmp_, NATPMP_PROTOCOL_TCP, port, port, std::uint32_t(lifetime)) < 0)
        return a;
    natpmpresp_t response {};
    const int r = Await(response, kRequestMs);
    if (r == NATPMP_TRYAGAIN || r == NATPMP_ERR_NOGATEWAYSUPPORT)
        return a;
    if (r != 0) {
        a.code = RouterAnswer::Code::Failed;
        a.detail = QStringLiteral("NAT-PMP error %1").arg(r);
        return a;
    }
    if (response.pnu.newportmapping.mappedpublicport != port) {
        // Our port is taken: the router offered another, which no caller dials.
        a.code = RouterAnswer::Code::Conflict;
        a.detail = QStringLiteral("offered port %1").arg(response.pnu.newportmapping.mappedpublicport);
        Unmap(port, {});
        return a;
    }
    a.code = RouterAnswer::Code::Ok;
    a.leaseSeconds = int(response.pnu.newportmapping.lifetime);
    return a;
}

bool NatPmpRouter::Unmap(std::uint16_t port, const QString&)
{
    if (!open_ || sendnewportmappingrequest(&natpmp_, NATPMP_PROTOCOL_TCP, port, 0, 0) < 0)
        return false;
    natpmpresp_t response {};
    return Await(response, kRequestMs) == 0;
}

} // namespace voxlet::reach
