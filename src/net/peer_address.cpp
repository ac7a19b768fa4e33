#include "net/peer_address.h"

#include "net/address.h"

#include <QFile>
#include <QStringList>

#include <arpa/inet.h>
#include <netdb.h>

#include <cstring>

namespace voxlet {

namespace {

DialTarget IPv4Target(std::int32_t address, std::uint16_t port)
{
    DialTarget t;
    auto* sin = reinterpret_cast<sockaddr_in*>(&t.address);
    sin->sin_family = AF_INET;
    sin->sin_port = htons(port);
    sin->sin_addr.s_addr = in_addr_t(address);
    t.length = sizeof(sockaddr_in);
    return t;
}

bool IPv6Literal(QString text, std::uint16_t port, DialTarget& t)
{
    if (text.startsWith(QLatin1Char('[')) && text.endsWith(QLatin1Char(']')))
        text = text.mid(1, text.size() - 2);
    auto* sin6 = reinterpret_cast<sockaddr_in6*>(&t.address);
    if (!text.contains(QLatin1Char(':'))
        || inet_pton(AF_INET6, text.toLatin1().constData(), &sin6->sin6_addr) != 1)
        return false;
    sin6->sin6_family = AF_INET6;
    sin6->sin6_port = htons(port);
    t.length = sizeof(sockaddr_in6);
    return true;
}

} // namespace

std::vector<DialTarget> ResolvePeer(const QString& host, std::uint16_t port)
{
    const QByteArray bytes = host.toLocal8Bit();
    if (!bytes.contains('\0')) {
        const in_addr_t direct = inet_addr(bytes.constData());
        if (direct != INADDR_NONE)
            return { IPv4Target(std::int32_t(direct), port) };
    }
    DialTarget literal;
    if (IPv6Literal(host, port, literal))
        return { literal };

    std::vector<DialTarget> found;
    addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (!bytes.isEmpty() && !bytes.contains('\0')
        && getaddrinfo(bytes.constData(), nullptr, &hints, &list) == 0) {
        for (int family : { AF_INET6, AF_INET }) {
            for (addrinfo* a = list; a; a = a->ai_next) {
                if (a->ai_family != family || !a->ai_addr || a->ai_addrlen > sizeof(sockaddr_storage))
                    continue;
                DialTarget t;
                std::memcpy(&t.address, a->ai_addr, a->ai_addrlen);
                t.length = a->ai_addrlen;
                if (family == AF_INET6)
                    reinterpret_cast<sockaddr_in6*>(&t.address)->sin6_port = htons(port);
                else
                    reinterpret_cast<sockaddr_in*>(&t.address)->sin_port = htons(port);
                found.push_back(t);
                break;
            }
        }
        freeaddrinfo(list);
    }
    if (found.empty())
        found.push_back(IPv4Target(kNoAddress, port)); // attempted all the same, and fails
    return found;
}

QString ChooseIPv6Address(const QString& ifInet6, const QString& ipv6Route)
{
    // Flags of an address that callers must not be given.
    constexpr unsigned kTemporary = 0x01, kDadFailed = 0x08, kDeprecated = 0x20, kTentative = 0x40;
    QString defaultInterface;
    for (const QString& line : ipv6Route.split(QLatin1Char('\n'))) {
        const QStringList f = line.simplified().split(QLatin1Char(' '));
        if (f.size() >= 10 && f[0] == QString(32, QLatin1Char('0')) && f[1] == QLatin1String("00")
            && f[9] != QLatin1String("lo")) {
            defaultInterface = f[9];
            break;
        }
    }
    QString onDefault, global, local;
    for (const QString& line : ifInet6.split(QLatin1Char('\n'))) {
        const QStringList f = line.simplified().split(QLatin1Char(' '));
        bool hex = false, flagsOk = false;
        const unsigned flags = f.size() >= 6 ? f[4].toUInt(&flagsOk, 16) : 0;
        if (f.size() < 6 || f[0].size() != 32 || !flagsOk
            || (flags & (kTemporary | kDadFailed | kDeprecated | kTentative)))
            continue;
        in6_addr a {};
        for (int i = 0; i < 16; ++i) {
            a.s6_addr[i] = std::uint8_t(f[0].mid(2 * i, 2).toUInt(&hex, 16));
            if (!hex)
                break;
        }
        if (!hex)
            continue;
        char text[INET6_ADDRSTRLEN] = "";
        inet_ntop(AF_INET6, &a, text, sizeof text);
        const QString address = QString::fromLatin1(text);
        if ((a.s6_addr[0] & 0xE0) == 0x20) {
            if (onDefault.isEmpty() && f[5] == defaultInterface)
                onDefault = address;
            if (global.isEmpty())
                global = address;
        } else if (a.s6_addr[0] == 0xFD && local.isEmpty()) {
            local = address;
        }
    }
    return !onDefault.isEmpty() ? onDefault : !global.isEmpty() ? global : local;
}

QString LocalIPv6Address()
{
    const auto read = [](const char* path) {
        QFile f(QString::fromLatin1(path));
        return f.open(QIODevice::ReadOnly) ? QString::fromLatin1(f.read(1 << 20)) : QString();
    };
    return ChooseIPv6Address(read("/proc/net/if_inet6"), read("/proc/net/ipv6_route"));
}

bool AsIPv4(const sockaddr_storage& address, sockaddr_in& out)
{
    if (address.ss_family == AF_INET) {
        std::memcpy(&out, &address, sizeof out);
        return true;
    }
    const auto& sin6 = reinterpret_cast<const sockaddr_in6&>(address);
    if (address.ss_family != AF_INET6 || !IN6_IS_ADDR_V4MAPPED(&sin6.sin6_addr))
        return false;
    out = {};
    out.sin_family = AF_INET;
    out.sin_port = sin6.sin6_port;
    std::memcpy(&out.sin_addr, sin6.sin6_addr.s6_addr + 12, 4);
    return true;
}

QString FormatPeerAddress(const sockaddr_storage& address)
{
    sockaddr_in v4 {};
    if (AsIPv4(address, v4))
        return FormatAddress(std::int32_t(v4.sin_addr.s_addr));
    if (address.ss_family != AF_INET6)
        return {};
    char text[INET6_ADDRSTRLEN] = "";
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(address).sin6_addr, text, sizeof text);
    return QString::fromLatin1(text);
}

} // namespace voxlet
