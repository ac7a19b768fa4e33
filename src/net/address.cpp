#include "net/address.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

namespace voxlet {

std::int32_t ResolveAddress(const QString& text)
{
    const QByteArray bytes = text.toLocal8Bit();
    if (bytes.contains('\0'))
        return kNoAddress;
    const in_addr_t direct = inet_addr(bytes.constData());
    if (direct != INADDR_NONE)
        return std::int32_t(direct);

    addrinfo hints {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (bytes.isEmpty() || getaddrinfo(bytes.constData(), nullptr, &hints, &found) != 0 || !found)
        return kNoAddress;
    std::int32_t value = kNoAddress;
    for (addrinfo* a = found; a; a = a->ai_next) {
        if (a->ai_family == AF_INET && a->ai_addr) {
            sockaddr_in sin;
            std::memcpy(&sin, a->ai_addr, sizeof sin);
            value = std::int32_t(sin.sin_addr.s_addr);
            break;
        }
    }
    freeaddrinfo(found);
    return value;
}

std::int32_t LocalHostAddress()
{
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return kNoAddress;
    std::int32_t loopback = kNoAddress;
    std::int32_t other = kNoAddress;
    for (ifaddrs* i = list; i && other == kNoAddress; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP))
            continue;
        sockaddr_in sin;
        std::memcpy(&sin, i->ifa_addr, sizeof sin);
        if (i->ifa_flags & IFF_LOOPBACK) {
            if (loopback == kNoAddress)
                loopback = std::int32_t(sin.sin_addr.s_addr);
        } else {
            other = std::int32_t(sin.sin_addr.s_addr);
        }
    }
    freeifaddrs(list);
    return other != kNoAddress ? other : loopback;
}

QString FormatAddress(std::int32_t value)
{
    const auto v = std::uint32_t(value);
    return QStringLiteral("%1.%2.%3.%4")
        .arg(v & 0xFF)
        .arg((v >> 8) & 0xFF)
        .arg((v >> 16) & 0xFF)
        .arg((v >> 24) & 0xFF);
}

} // namespace voxlet
