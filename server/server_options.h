#pragma once
// Command-line settings of voxlet-directory.

#include "server/connect_back.h"
#include "server/directory_session.h"
#include "server/proxy_header.h"
#include "server/redis_store.h"
#include "server/registry.h"
#include "server/server_log.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace voxlet::directory_server {

struct ServerOptions {
    std::string listenAddress = "0.0.0.0";
    std::uint16_t port = 8003; // 0: any free port (tests)
    RegistryLimits registry;
    SessionLimits session;
    std::chrono::milliseconds idleTimeout { 10000 };
    std::size_t maxConnections = 1024; // and always below the open-file limit
    std::size_t maxConnectionsPerAddress = 16;
    bool quiet = false;
    LogOptions log;
    std::chrono::seconds statsInterval { 60 }; // counters in the log; 0: never
    std::string healthAddress; // empty: no health check
    std::uint16_t healthPort = 0;
    std::chrono::milliseconds stopTime { 2000 }; // to finish exchanges in flight on SIGTERM
    bool reusePort = false; // several processes on one port (SO_REUSEPORT)
    std::vector<Ipv4Network> trustedProxies; // may send a PROXY header
    std::optional<RedisLocation> redis; // none: registrations in this process's memory
    std::chrono::milliseconds storeTimeout { 2000 };
    std::string storePassword;
    std::string storePasswordFile; // read again when Redis refuses the password
    std::string storeUser; // a Redis ACL user
    std::size_t storeQueue = 1000; // requests waiting for Redis at most
    std::string controlSocket; // the administrator's socket; none if empty
    std::optional<std::string> removeName; // --remove: send it to the control socket and exit
    ConnectBackLimits connectBack; // probes of the phones that ask whether callers reach them
};

// "redis://HOST:PORT" (port optional) or "unix:PATH"; false if neither.
bool ParseStoreLocation(const std::string& text, RedisLocation& out);

// Arguments may include "--config PATH": a file of "name value" lines (the
// options without "--"; '#' starts a comment line), read where it stands,
// so that later arguments override it.
struct ParsedArguments {
    ServerOptions options;
    bool showHelp = false;
    std::string error; // non-empty: print it with the usage and exit 2
};

ParsedArguments ParseArguments(const std::vector<std::string>& arguments);
std::string UsageText();

} // namespace voxlet::directory_server
