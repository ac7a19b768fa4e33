#pragma once
// The phone's side of the directory's connect-back: one exchange on port
// 8003 asking to be dialled back (only of a directory that said it can),
// and, where it will not say what it sees, the older address request
// instead. Blocking, for the reachability worker; a write to wakeFd cuts it
// short.

#include "net/reach/reach_verdict.h"

#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>

#include <netinet/in.h>

namespace voxlet::reach {

// Whole exchanges take at most this long: the directory dials back within 3 s.
constexpr std::chrono::milliseconds kExchangeTimeout { 6000 };

struct DirectoryReply {
    bool answered = false; // a reply ending in "END" (or the close after one)
    QString text;
};

// Hello, then the request; the reply to the request. From the listener's
// address, so that the directory sees (and dials back) the address whose
// mapping leads to the listener.
DirectoryReply ExchangeWithDirectory(const sockaddr_in& server, const QString& from, const QString& request,
    int wakeFd, std::chrono::milliseconds timeout = kExchangeTimeout);

// The directory's IPv4 address, looked up (this may take a while).
bool ResolveDirectory(const QString& host, std::uint16_t port, sockaddr_in& out);

// The words the directory's dial-back says when it reaches the listener.
QString DialBackWords(const QString& token);

// Asks for the dial-back (its words to carry `token`, 32 lowercase hex
// digits) and reads the answer. `expectProbe` is called before the request
// goes out; `probeSeen` waits up to the given time for the probe to have
// arrived and says whether it did.
DirectoryCheck CheckWithDirectory(const sockaddr_in& server, const QString& from, const QString& token,
    int wakeFd, const std::function<void()>& expectProbe,
    const std::function<bool(std::chrono::milliseconds)>& probeSeen);

} // namespace voxlet::reach
