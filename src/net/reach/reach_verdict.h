#pragma once
// What the phone tells its user about callers from outside, from what the
// router said, what the directory saw and whether its dial-back came in.

#include "net/reach/port_mapping.h"
#include "net/reachability_port.h"

#include <QString>

namespace voxlet::reach {

enum class AddressKind { Global, Private, Shared, Loopback, LinkLocal, Invalid };
// RFC 1918 private, RFC 6598 shared (carrier-grade NAT), loopback,
// link-local; every other unicast IPv4 address counts as global.
AddressKind ClassifyIPv4(const QString& dotted);
// What a router or a directory says is an address, as the phone writes
// one; empty when it is not a dotted IPv4 address.
QString CanonicalIPv4(const QString& text);

struct DirectoryCheck {
    enum class Answer {
        NotAsked, // no directory in name.txt
        NoAnswer, // it could not be reached, or did not answer in time
        CannotTell, // an older directory, or one that would not probe now
        Reached,
        Refused,
        TimedOut,
    };
    Answer answer = Answer::NotAsked;
    QString observed; // the address the directory sees, when it said
    bool probeSeen = false; // the dial-back arrived at the listener
};

struct ReachFacts {
    MappingState mapping;
    DirectoryCheck check;
    QString listenAddress; // the phone's own
    std::uint16_t port = 8002;
    QString ipv6Address; // the one callers are given; empty: none
};

ReachOutcome Judge(const ReachFacts& facts);

} // namespace voxlet::reach
