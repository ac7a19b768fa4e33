#pragma once
// The PROXY protocol header (versions 1 and 2) that a load balancer puts in
// front of a client's bytes to say whom it is forwarding. Only a proxy we
// trust may say so: from anyone else a PROXY header is refused, or a client
// could choose the address listed for it.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace voxlet::directory_server {

// An IPv4 network, from "a.b.c.d" or "a.b.c.d/bits".
struct Ipv4Network {
    std::uint32_t address = 0; // host byte order
    std::uint32_t mask = 0;

    static bool Parse(std::string_view text, Ipv4Network& out);
    bool contains(std::uint32_t hostOrder) const { return (hostOrder & mask) == address; }
};

bool IsTrusted(const std::vector<Ipv4Network>& proxies, const std::string& dottedAddress);

class ProxyHeaderReader {
public:
    enum class Status { NeedMore, Done, Refused };

    // trusted: the peer may send a header (it need not: health checks and
    // direct clients from the proxy's machine do not).
    explicit ProxyHeaderReader(bool trusted)
        : m_trusted(trusted)
    {
    }

    // Feeds received bytes until the result is Done or Refused.
    Status feed(std::string_view bytes);

    // After Done: the client's IPv4 address from the header, or "" when
    // there was none (or it spoke for the proxy itself).
    const std::string& clientAddress() const { return m_client; }
    // After Done: the bytes that followed the header, for the session.
    std::string takeRest() { return std::move(m_buffer); }
    // After Refused: why, for the log.
    const std::string& reason() const { return m_reason; }

private:
    Status refuse(std::string reason);
    Status parseV1();
    Status parseV2();

    bool m_trusted;
    std::string m_buffer;
    std::string m_client;
    std::string m_reason;
};

} // namespace voxlet::directory_server
