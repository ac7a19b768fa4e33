// voxlet-directory's request handling: every piece of the input is one
// client connection, fed in reads of varying size, all sharing one registry
// (so registrations of earlier pieces show up in later lists).

#include "fuzz_support.h"

#include "directory/server/directory_session.h"
#include "directory/server/registry.h"

#include <chrono>
#include <string>

using namespace voxlet::directory_server;
using voxlet::fuzz::SplitInput;

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
        const std::string address = "10.0.0." + std::to_string(shape % 8);
        DirectorySession session(registry, address, sessionLimits,
            [](const std::string& line) { FUZZ_CHECK(line.find('\n') == std::string::npos); });
        const std::size_t step = 1 + shape / 8;
        std::string sent;
        std::size_t fed = 0;
        while (fed < connection.size() && !session.finished()) {
            const std::string_view piece = connection.substr(fed, step);
            fed += piece.size();
            sent += session.receive(piece);
        }
        FUZZ_CHECK(sent.size() % 2 == 0);
        // A reply holds at most the listed users' bounded fields.
        FUZZ_CHECK(sent.size() <= 2 * (64 + sessionLimits.maxListedUsers * (6 * kMaxFieldUnits + 32)));
        FUZZ_CHECK(fed <= sessionLimits.maxRequestBytes + step || session.finished());
        FUZZ_CHECK(registry.size() <= limits.maxUsers);
        now += std::chrono::seconds(1 + shape);
        ++client;
    }
    return 0;
}
