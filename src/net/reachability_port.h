#pragma once
// Whether callers from outside can reach the listener: while the phone
// listens, its port is kept mapped on the home router, and the directory is
// asked to dial back. The phone starts it when listening begins, stops it
// when listening ends, and hears the outcome; the work itself happens off
// the main thread. Tests use none or a fake.

#include <QString>

#include <cstdint>
#include <functional>

namespace voxlet {

struct ReachRequest {
    QString listenAddress; // dotted: the address the listener is bound to
    std::uint16_t port = 8002;
    QString directory; // host of the connection server (name.txt); may be empty
    std::uint16_t directoryPort = 8003;
    // Only a directory that said so in a hello reply ("dialback") is asked
    // to dial back: any other sees nothing it did not see before.
    bool directoryDialsBack = false;
};

struct ReachOutcome {
    bool reachable = false;
    QString notice; // the whole story and the one thing to try, for a notice
    QString status; // one short line, for the tray icon's tooltip
    // The IPv6 address callers are given (and a pinhole leads to), as last
    // chosen; empty: none.
    QString ipv6Address;
    // The IPv4 address the router forwards callers to, where it may differ
    // from the own one (another card the router is reached through); empty: none.
    QString mappedAddress;
};

class ReachabilityPort {
public:
    virtual ~ReachabilityPort() = default;
    virtual void Start(const ReachRequest& request) = 0;
    // Listening has ended: the mapping goes (in the background).
    virtual void Stop() = 0;
    // A hello reply has just said that the directory of the running check
    // dials back: it is asked now, if it was not at the start.
    virtual void DirectoryDialsBack() = 0;
    // The dial-back may be on its way (the phone asked and the answer is
    // not long past).
    virtual bool ProbeExpected() const = 0;
    // The first words of an accepted connection: true when they are the
    // dial-back (the token this phone gave), which the phone then closes
    // without showing anything.
    virtual bool TakeOwnProbe(const QString& firstWords) = 0;

    // On the main thread: the first outcome once, then every change.
    std::function<void(const ReachOutcome& outcome, bool first)> onOutcome;
};

} // namespace voxlet
