#include "server/proxy_header.h"

#include <arpa/inet.h>
#include <charconv>
#include <cstring>
#include <netinet/in.h>

namespace voxlet::directory_server {

namespace {

constexpr std::string_view kV1Signature = "PROXY ";
constexpr std::string_view kV2Signature { "\r\n\r\n\0\r\nQUIT\n", 12 };
constexpr std::size_t kV1MaxBytes = 107; // the protocol's own bound, CRLF included
constexpr std::size_t kV2FixedBytes = 16;
// A trusted proxy's extensions (TLVs) are small; do not buffer what it may not need.
constexpr std::size_t kV2MaxBytes = 1024;

// 0: `have` is a prefix of `signature`; 1: it starts with all of it; -1: neither.
int Match(std::string_view have, std::string_view signature)
{
    const std::size_t n = std::min(have.size(), signature.size());
    if (have.substr(0, n) != signature.substr(0, n))
        return -1;
    return have.size() >= signature.size() ? 1 : 0;
}

std::string Dotted(std::uint32_t networkOrder)
{
    char text[INET_ADDRSTRLEN] = "";
    in_addr a {};
    a.s_addr = networkOrder;
    ::inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

// 0.0.0.0/8, multicast and the reserved block (with 255.255.255.255) never
// open a TCP connection: a header naming one names no client.
bool CanBeAClient(std::uint32_t networkOrder)
{
    const std::uint32_t a = ntohl(networkOrder);
    return (a >> 24) != 0 && (a >> 28) < 0xE;
}

bool ParsePort(std::string_view text)
{
    unsigned value = 0;
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && ec == std::errc() && ptr == text.data() + text.size() && value <= 65535
        && !(text.size() > 1 && text[0] == '0');
}

} // namespace

bool Ipv4Network::Parse(std::string_view text, Ipv4Network& out)
{
    unsigned bits = 32;
    const auto slash = text.find('/');
    if (slash != std::string_view::npos) {
        const std::string_view b = text.substr(slash + 1);
        auto [ptr, ec] = std::from_chars(b.data(), b.data() + b.size(), bits);
        if (b.empty() || ec != std::errc() || ptr != b.data() + b.size() || bits > 32)
            return false;
        text = text.substr(0, slash);
    }
    in_addr a {};
    if (::inet_pton(AF_INET, std::string(text).c_str(), &a) != 1)
        return false;
    out.mask = bits == 0 ? 0 : ~std::uint32_t(0) << (32 - bits);
    out.address = ntohl(a.s_addr) & out.mask;
    return true;
}

bool IsTrusted(const std::vector<Ipv4Network>& proxies, const std::string& dottedAddress)
{
    in_addr a {};
    if (proxies.empty() || ::inet_pton(AF_INET, dottedAddress.c_str(), &a) != 1)
        return false;
    for (const Ipv4Network& network : proxies) {
        if (network.contains(ntohl(a.s_addr)))
            return true;
    }
    return false;
}

ProxyHeaderReader::Status ProxyHeaderReader::refuse(std::string reason)
{
    m_reason = std::move(reason);
    m_buffer.clear();
    return Status::Refused;
}

ProxyHeaderReader::Status ProxyHeaderReader::feed(std::string_view bytes)
{
    m_buffer.append(bytes);
    const int v1 = Match(m_buffer, kV1Signature);
    const int v2 = Match(m_buffer, kV2Signature);
    if (v1 < 0 && v2 < 0)
        return Status::Done; // no header: all of it is the client's
    if (v1 == 0 || v2 == 0)
        return Status::NeedMore;
    if (!m_trusted)
        return refuse("PROXY header from an address not trusted as a proxy");
    return v1 > 0 ? parseV1() : parseV2();
}

ProxyHeaderReader::Status ProxyHeaderReader::parseV1()
{
    const auto end = m_buffer.find("\r\n");
    if (end == std::string::npos)
        return m_buffer.size() >= kV1MaxBytes ? refuse("PROXY v1 header too long") : Status::NeedMore;
    if (end + 2 > kV1MaxBytes)
        return refuse("PROXY v1 header too long");
    const std::string line = m_buffer.substr(kV1Signature.size(), end - kV1Signature.size());
    m_buffer.erase(0, end + 2);

    std::vector<std::string_view> words;
    std::string_view rest = line;
    while (!rest.empty()) {
        const auto space = rest.find(' ');
        words.push_back(rest.substr(0, space));
        rest = space == std::string_view::npos ? std::string_view() : rest.substr(space + 1);
    }
    if (!words.empty() && words[0] == "UNKNOWN")
        return Status::Done; // the proxy speaks for itself (a health check)
    in_addr source {};
    in_addr destination {};
    if (words.size() != 5 || words[0] != "TCP4"
        || ::inet_pton(AF_INET, std::string(words[1]).c_str(), &source) != 1
        || ::inet_pton(AF_INET, std::string(words[2]).c_str(), &destination) != 1 || !ParsePort(words[3])
        || !ParsePort(words[4]))
        return refuse("malformed or non-IPv4 PROXY v1 header");
    if (!CanBeAClient(source.s_addr))
        return refuse("PROXY v1 header names no client (" + Dotted(source.s_addr) + ")");
    m_client = Dotted(source.s_addr);
    return Status::Done;
}

ProxyHeaderReader::Status ProxyHeaderReader::parseV2()
{
    if (m_buffer.size() < kV2FixedBytes)
        return Status::NeedMore;
    const auto byte = [this](std::size_t i) { return static_cast<unsigned char>(m_buffer[i]); };
    const std::size_t length = (std::size_t(byte(14)) << 8) | byte(15);
    if (kV2FixedBytes + length > kV2MaxBytes)
        return refuse("PROXY v2 header too long");
    if (m_buffer.size() < kV2FixedBytes + length)
        return Status::NeedMore;
    const unsigned version = byte(12) >> 4;
    const unsigned command = byte(12) & 0x0F;
    const unsigned family = byte(13);
    if (version != 2 || command > 1)
        return refuse("unknown PROXY v2 version or command");
    // LOCAL, or an unspecified family: the proxy speaks for itself.
    const bool local = command == 0 || family == 0x00;
    if (!local) {
        if (family != 0x11 || length < 12) // TCP over IPv4 with its 12 address bytes
            return refuse("PROXY v2 header not for TCP over IPv4");
        std::uint32_t source = 0;
        std::memcpy(&source, m_buffer.data() + kV2FixedBytes, sizeof source);
        if (!CanBeAClient(source))
            return refuse("PROXY v2 header names no client (" + Dotted(source) + ")");
        m_client = Dotted(source);
    }
    m_buffer.erase(0, kV2FixedBytes + length);
    return Status::Done;
}

} // namespace voxlet::directory_server
