// voxlet-directory's request handling: every piece of the input is one
// client connection, fed in reads of varying size, all sharing one registry
// (so registrations of earlier pieces show up in later lists). Half of the
// connections come from a trusted proxy, whose PROXY header (if any) names
// the client.

#include "fuzz_support.h"

#include "server/directory_session.h"
#include "server/proxy_header.h"
#include "server/registry.h"

#include <chrono>
#include <string>

using namespace voxlet::directory_server;
using voxlet::fuzz::SplitInput;

namespace {
// A dial-back that answers at once, with a result the input chooses.
class InstantConnectBack : public ConnectBack {
public:
    explicit InstantConnectBack(unsigned shape)
        : m_result(static_cast<ProbeResult>(shape % 5))
    {
    }
    std::uint64_t probe(const std::string& token, Done done) override
    {
        ++probes;
        // No token, or exactly the phone's 32 lowercase hex digits.
        FUZZ_CHECK(token.empty() || token.size() == 32);
        for (char c : token)
            FUZZ_CHECK((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
        done(m_result);
        return 0;
    }
    void cancel(std::uint64_t) override { FUZZ_CHECK(false); }
    int probes = 0;

private:
    ProbeResult m_result;
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    TimePoint now {};
    RegistryLimits limits;
    limits.maxUsers = 50;
    limits.maxUsersPerAddress = 4;
    Registry registry(limits, [&now] { return now; });
    SessionLimits sessionLimits;
    sessionLimits.maxListedUsers = 20;

    int client = 0;
    for (std::string_view connection : SplitInput(data, size, 32)) {
        // The first byte picks the client's address and how it splits its sends.
        if (connection.empty())
            continue;
        const auto shape = static_cast<unsigned char>(connection.front());
        connection.remove_prefix(1);
        std::string address = "10.0.0." + std::to_string(shape % 8);
        const std::size_t step = 1 + shape / 16;
        ProxyHeaderReader header(shape & 8);
        std::size_t fed = 0;
        std::string rest;
        ProxyHeaderReader::Status status = ProxyHeaderReader::Status::NeedMore;
        while (fed < connection.size() && status == ProxyHeaderReader::Status::NeedMore) {
            const std::string_view piece = connection.substr(fed, step);
            fed += piece.size();
            status = header.feed(piece);
        }
        if (status == ProxyHeaderReader::Status::Refused) {
            FUZZ_CHECK(!header.reason().empty());
            continue;
        }
        if (status == ProxyHeaderReader::Status::Done) {
            rest = header.takeRest();
            if (!header.clientAddress().empty())
                address = header.clientAddress();
        }
        FUZZ_CHECK(rest.size() <= fed);
        DirectorySession session(registry, address, sessionLimits,
            [](const std::string& line) { FUZZ_CHECK(line.find('\n') == std::string::npos); });
        InstantConnectBack connectBack(shape);
        if (shape & 4)
            session.setConnectBack(&connectBack);
        std::string sent = session.receive(rest);
        while (fed < connection.size() && !session.finished()) {
            const std::string_view piece = connection.substr(fed, step);
            fed += piece.size();
            sent += session.receive(piece);
        }
        FUZZ_CHECK(sent.size() % 2 == 0);
        // A reply holds at most the listed users' bounded fields.
        FUZZ_CHECK(sent.size() <= 2 * (64 + sessionLimits.maxListedUsers * (6 * kMaxFieldUnits + 32)));
        FUZZ_CHECK(fed <= sessionLimits.maxRequestBytes + 1024 + step || session.finished());
        FUZZ_CHECK(registry.size() <= limits.maxUsers);
        FUZZ_CHECK(connectBack.probes <= 1); // one request, one probe
        now += std::chrono::seconds(1 + shape);
        ++client;
    }
    return 0;
}
