#include "net/reach/upnp_router.h"

#include <miniupnpc/upnpcommands.h>
#include <miniupnpc/upnperrors.h>

namespace voxlet::reach {

namespace {
constexpr int kDiscoverMs = 1000;
constexpr int kOnlyPermanentLeases = 725;
constexpr int kConflictInMappingEntry = 718;
const char* const kDescription = "Voxlet";
} // namespace

UpnpRouter::UpnpRouter() = default;

UpnpRouter::~UpnpRouter()
{
    Forget();
}

void UpnpRouter::Forget()
{
    if (found_)
        FreeUPNPUrls(&urls_);
    found_ = false;
    urls_ = {};
    data_ = {};
}

bool UpnpRouter::Discover()
{
    Forget();
    int error = 0;
    UPNPDev* devices = upnpDiscover(kDiscoverMs, nullptr, nullptr, UPNP_LOCAL_PORT_ANY, 0, 2, &error);
    if (!devices)
        return false;
    char lan[64] = "";
    const int r = UPNP_GetValidIGD(devices, &urls_, &data_, lan, sizeof lan);
    freeUPNPDevlist(devices);
    if (r == 0)
        return false;
    found_ = true;
    // 2: "not connected", which is also what it says when its outside
    // address is a private one; the directory will tell.
    if (r == 3 || !urls_.controlURL || !*urls_.controlURL) {
        Forget();
        return false;
    }
    return true;
}

QString UpnpRouter::ExternalAddress()
{
    char address[40] = "";
    if (!found_ || UPNP_GetExternalIPAddress(urls_.controlURL, data_.first.servicetype, address) != 0)
        return {};
    return QString::fromLatin1(address);
}

std::optional<QString> UpnpRouter::Holder(std::uint16_t port)
{
    if (!found_)
        return std::nullopt;
    char client[40] = "", clientPort[6] = "", description[80] = "", enabled[4] = "", lease[16] = "";
    const QByteArray external = QByteArray::number(port);
    if (UPNP_GetSpecificPortMappingEntry(urls_.controlURL, data_.first.servicetype, external.constData(),
            "TCP", nullptr, client, clientPort, description, enabled, lease)
        != 0)
        return std::nullopt;
    return QString::fromLatin1(client);
}

RouterAnswer UpnpRouter::Map(std::uint16_t port, const QString& internalClient, int leaseSeconds)
{
    RouterAnswer a;
    if (!found_)
        return a;
    const QByteArray p = QByteArray::number(port);
    const QByteArray client = internalClient.toLatin1();
    const QByteArray lease = QByteArray::number(leaseSeconds);
    const int r = UPNP_AddPortMapping(urls_.controlURL, data_.first.servicetype, p.constData(), p.constData(),
        client.constData(), kDescription, "TCP", nullptr, lease.constData());
    a.detail = QString::fromLatin1(strupnperror(r));
    if (r == 0) {
        a.code = RouterAnswer::Code::Ok;
        a.leaseSeconds = leaseSeconds;
    } else if (r == kOnlyPermanentLeases) {
        a.code = RouterAnswer::Code::PermanentOnly;
    } else if (r == kConflictInMappingEntry) {
        a.code = RouterAnswer::Code::Conflict;
    } else if (r < 0 && r != UPNPCOMMAND_INVALID_ARGS) {
        a.code = RouterAnswer::Code::NoRouter; // no answer (the router went away)
    } else {
        a.code = RouterAnswer::Code::Failed;
    }
    return a;
}

bool UpnpRouter::Unmap(std::uint16_t port, const QString&)
{
    const QByteArray p = QByteArray::number(port);
    return found_
        && UPNP_DeletePortMapping(urls_.controlURL, data_.first.servicetype, p.constData(), "TCP", nullptr)
        == 0;
}

} // namespace voxlet::reach
