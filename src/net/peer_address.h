#pragma once
// Peers of either family. IPv4 keeps its dotted form everywhere (and its
// old road: a dotted address is dialled as it stands); IPv6 literals and
// host names with AAAA records are dialled too, IPv6 first.

#include <QString>

#include <cstdint>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>

namespace voxlet {

struct DialTarget {
    sockaddr_storage address {};
    socklen_t length = 0;
    int family() const { return address.ss_family; }
};

// A dotted IPv4 address: itself. An IPv6 literal (brackets allowed): itself.
// A host name: its first IPv6 and its first IPv4 address, in that order.
// Nothing found: 255.255.255.255, which no connection reaches.
std::vector<DialTarget> ResolvePeer(const QString& host, std::uint16_t port);

// Dotted for IPv4 and IPv4-mapped addresses, the usual short form for IPv6.
QString FormatPeerAddress(const sockaddr_storage& address);

// The machine's IPv6 address callers are given and the listener takes calls
// on: a stable one (neither temporary, which privacy extensions rotate
// daily, nor deprecated, tentative or failed), global on the default
// route's interface if there is one, else global anywhere, else unique
// local (fd00::/8); empty when none. Asked again when it may have changed.
QString LocalIPv6Address();
// The same choice from the kernel's tables as /proc/net/if_inet6 and
// /proc/net/ipv6_route print them.
QString ChooseIPv6Address(const QString& ifInet6, const QString& ipv6Route);

// An IPv4 (or IPv4-mapped IPv6) socket address as an IPv4 one.
bool AsIPv4(const sockaddr_storage& address, sockaddr_in& out);

} // namespace voxlet
