#include "net/reach/upnp_router.h"

#include "call/ports.h"

#include <miniupnpc/upnpcommands.h>
#include <miniupnpc/upnperrors.h>

namespace voxlet::reach {

namespace {
constexpr int kDiscoverMs = 1000;
constexpr int kOnlyPermanentLeases = 725;
constexpr int kConflictInMappingEntry = 718;
} // namespace

UpnpRouter::UpnpRouter() = default;

UpnpRouter::~UpnpRouter() = default;

void UpnpRouter::Igd::Forget()
{
    if (found)
        FreeUPNPUrls(&urls);
    found = false;
    urls = {};
    data = {};
    lan.clear();
}

bool UpnpRouter::Igd::Discover(bool ipv6)
{
    Forget();
    int error = 0;
    UPNPDev* devices
        = upnpDiscover(kDiscoverMs, nullptr, nullptr, UPNP_LOCAL_PORT_ANY, ipv6 ? 1 : 0, 2, &error);
    if (!devices)
        return false;
    char ownAddress[64] = "";
    const int r = UPNP_GetValidIGD(devices, &urls, &data, ownAddress, sizeof ownAddress);
    freeUPNPDevlist(devices);
    if (r == 0)
        return false;
    found = true;
    lan = QString::fromLatin1(ownAddress);
    // 2: "not connected", which is also what it says when its outside
    // address is a private one; the directory will tell.
    if (r == 3 || !urls.controlURL || !*urls.controlURL) {
        Forget();
        return false;
    }
    return true;
}

bool UpnpRouter::Discover()
{
    igd6_.Forget();
    return igd_.Discover(false);
}

QString UpnpRouter::ExternalAddress()
{
    char address[40] = "";
    if (!igd_.found
        || UPNP_GetExternalIPAddress(igd_.urls.controlURL, igd_.data.first.servicetype, address) != 0)
        return {};
    return QString::fromLatin1(address);
}

std::optional<QString> UpnpRouter::Holder(std::uint16_t port)
{
    if (!igd_.found)
        return std::nullopt;
    char client[40] = "", clientPort[6] = "", description[80] = "", enabled[4] = "", lease[16] = "";
    const QByteArray external = QByteArray::number(port);
    if (UPNP_GetSpecificPortMappingEntry(igd_.urls.controlURL, igd_.data.first.servicetype,
            external.constData(), "TCP", nullptr, client, clientPort, description, enabled, lease)
        != 0)
        return std::nullopt;
    return QString::fromLatin1(client);
}

RouterAnswer UpnpRouter::Map(std::uint16_t port, const QString& internalClient, int leaseSeconds)
{
    RouterAnswer a;
    if (!igd_.found)
        return a;
    const QByteArray p = QByteArray::number(port);
    const QByteArray client = internalClient.toLatin1();
    const QByteArray lease = QByteArray::number(leaseSeconds);
    const int r = UPNP_AddPortMapping(igd_.urls.controlURL, igd_.data.first.servicetype, p.constData(),
        p.constData(), client.constData(), kAppName, "TCP", nullptr, lease.constData());
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

QString UpnpRouter::OpenPinhole(std::uint16_t port, const QString& client, int leaseSeconds)
{
    // IGD v2's WANIPv6FirewallControl, where the router has it and allows it.
    if (!igd6_.found && !igd6_.Discover(true))
        return {};
    const auto& u = igd6_.urls;
    const char* type = igd6_.data.IPv6FC.servicetype;
    if (!u.controlURL_6FC || !*u.controlURL_6FC || !*type)
        return {};
    int enabled = 0, allowed = 0;
    if (UPNP_GetFirewallStatus(u.controlURL_6FC, type, &enabled, &allowed) != 0 || !allowed)
        return {};
    const QByteArray p = QByteArray::number(port), c = client.toLatin1(),
                     lease = QByteArray::number(leaseSeconds);
    char id[8] = "";
    if (UPNP_AddPinhole(
            u.controlURL_6FC, type, "", "0", c.constData(), p.constData(), "6", lease.constData(), id)
        != 0)
        return {};
    return QString::fromLatin1(id);
}

bool UpnpRouter::RenewPinhole(const QString& id, int leaseSeconds)
{
    const QByteArray i = id.toLatin1(), lease = QByteArray::number(leaseSeconds);
    return igd6_.found && igd6_.urls.controlURL_6FC
        && UPNP_UpdatePinhole(
               igd6_.urls.controlURL_6FC, igd6_.data.IPv6FC.servicetype, i.constData(), lease.constData())
        == 0;
}

void UpnpRouter::ClosePinhole(const QString& id)
{
    const QByteArray i = id.toLatin1();
    if (igd6_.found && igd6_.urls.controlURL_6FC)
        UPNP_DeletePinhole(igd6_.urls.controlURL_6FC, igd6_.data.IPv6FC.servicetype, i.constData());
}

bool UpnpRouter::Unmap(std::uint16_t port, const QString&)
{
    const QByteArray p = QByteArray::number(port);
    return igd_.found
        && UPNP_DeletePortMapping(
               igd_.urls.controlURL, igd_.data.first.servicetype, p.constData(), "TCP", nullptr)
        == 0;
}

} // namespace voxlet::reach
