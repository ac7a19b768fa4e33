#include "server/server_options.h"

#include <arpa/inet.h>
#include <charconv>
#include <fstream>
#include <functional>
#include <netinet/in.h>

namespace voxlet::directory_server {

namespace {

std::optional<unsigned long long> Number(
    const std::string& text, unsigned long long min, unsigned long long max)
{
    unsigned long long value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end || value < min || value > max)
        return std::nullopt;
    return value;
}

std::string Trimmed(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// A configuration file as arguments, one group per line; false if unreadable.
bool ReadConfiguration(const std::string& path, std::vector<std::vector<std::string>>& lines)
{
    std::ifstream file(path);
    if (!file)
        return false;
    std::string line;
    while (std::getline(file, line)) {
        line = Trimmed(line);
        std::vector<std::string> arguments;
        if (!line.empty() && line[0] != '#') {
            const auto split = line.find_first_of(" \t=");
            std::string name = line.substr(0, split);
            arguments.push_back(name.rfind("--", 0) == 0 ? name : "--" + name);
            if (split != std::string::npos) {
                std::string value = Trimmed(line.substr(split));
                if (!value.empty() && value[0] == '=')
                    value = Trimmed(value.substr(1));
                if (!value.empty())
                    arguments.push_back(value);
            }
        }
        lines.push_back(std::move(arguments));
    }
    return !file.bad();
}

// A proxy network we refuse to trust, and why; "" if fine.
std::string UntrustableProxy(const Ipv4Network& network, const std::string& text)
{
    if (network.mask == 0)
        return "--trusted-proxy " + text
            + " would trust every address: any client could send a PROXY header and choose the "
              "address listed for it; name the load balancers' own addresses or network";
    if ((network.mask >> 24) != 0xFF)
        return "--trusted-proxy " + text
            + " is wider than a /8: name the load balancers' own addresses or network";
    if ((network.address >> 24) == 0)
        return "--trusted-proxy " + text + ": no peer connects from 0.0.0.0/8";
    return {};
}

} // namespace

bool ParseStoreLocation(const std::string& text, RedisLocation& out)
{
    if (text.rfind("unix:", 0) == 0 && text.size() > 5) {
        out = RedisLocation { {}, 0, text.substr(5), {}, {} };
        return true;
    }
    const std::string scheme = "redis://";
    if (text.rfind(scheme, 0) != 0)
        return false;
    std::string host = text.substr(scheme.size());
    if (!host.empty() && host.back() == '/')
        host.pop_back();
    unsigned long long port = 6379;
    if (const auto colon = host.rfind(':'); colon != std::string::npos) {
        auto value = Number(host.substr(colon + 1), 1, 65535);
        if (!value)
            return false;
        port = *value;
        host.resize(colon);
    }
    if (host.empty() || host.find_first_of("/@[]") != std::string::npos)
        return false;
    out = RedisLocation { host, static_cast<std::uint16_t>(port), {}, {}, {} };
    return true;
}

std::string UsageText()
{
    return "Usage: voxlet-directory [options]\n"
           "Connection server (user directory) for Voxlet, TCP/IPv4.\n"
           "\n"
           "  --listen ADDR                 IPv4 address to listen on (default 0.0.0.0)\n"
           "  --port N                      TCP port (default 8003; 0 picks a free port)\n"
           "  --keep SECONDS                how long a registration stays listed without\n"
           "                                being refreshed (default 900)\n"
           "  --idle SECONDS                close a connection that sends no complete\n"
           "                                message for this long (default 10)\n"
           "  --max-request BYTES           most bytes one connection may send (default 4096)\n"
           "  --max-list N                  most users in one list reply, 1-100 (default 100)\n"
           "  --max-users N                 most registered users (default 10000)\n"
           "  --max-users-per-address N     most registered names from one address (default 8)\n"
           "  --list-share N                most users of one /24 network in a list reply\n"
           "                                (default 4)\n"
           "  --pass-attempts N             wrong PASSes allowed per address and per name\n"
           "                                in each window (default 5)\n"
           "  --pass-window SECONDS         that window, and the first wait (default 600)\n"
           "  --max-connections N           most open connections (default 1024, always below\n"
           "                                the open-file limit)\n"
           "  --max-connections-per-address N\n"
           "                                most open connections from one address (default 16)\n"
           "  --store STORE                 where registrations live: memory (default),\n"
           "                                redis://HOST:PORT or unix:PATH (a Redis server\n"
           "                                shared by several voxlet-directory processes)\n"
           "  --store-timeout MS            longest an exchange waits for Redis (default 2000)\n"
           "  --store-password-file PATH    Redis password (AUTH), the first line of PATH\n"
           "                                (a file no other users may read)\n"
           "  --store-user NAME             Redis ACL user to authenticate as\n"
           "  --store-queue N               most requests waiting for Redis (default 1000)\n"
           "  --control-socket PATH         Unix socket for the administrator's commands\n"
           "  --remove NAME                 remove NAME from the directory of the server\n"
           "                                whose --control-socket is given, then exit\n"
           "  --reuse-port                  let several processes listen on one port\n"
           "  --trusted-proxy ADDR[/BITS]   accept a PROXY protocol header (v1 or v2) from\n"
           "                                this address or network; repeatable\n"
           "  --config PATH                 read options from PATH, one \"name value\" a line\n"
           "                                (the options above without \"--\"; # comments)\n"
           "  --log-file PATH               log to PATH instead of stderr (SIGHUP reopens it)\n"
           "  --log-rate N                  most log lines a second about clients (default 100,\n"
           "                                0: no limit); the rest are counted\n"
           "  --stats-interval SECONDS      counters in the log this often (default 60, 0: never)\n"
           "  --health ADDR:PORT            answer HTTP health checks there (200 while\n"
           "                                registrations are served, else 503)\n"
           "  --connect-back=no             refuse the phones' reachability probes (by default a\n"
           "                                phone that asks is dialled back on port 8002, a few\n"
           "                                times per address per 10 minutes)\n"
           "  --quiet                       no log lines\n"
           "  --help                        this text\n";
}

ParsedArguments ParseArguments(const std::vector<std::string>& arguments)
{
    ParsedArguments parsed;
    ServerOptions& o = parsed.options;
    std::string why; // a setter's own message, clearer than "bad value"

    using Setter = std::function<bool(const std::string&)>;
    auto count = [](std::size_t& target, unsigned long long min, unsigned long long max) -> Setter {
        return [&target, min, max](const std::string& text) {
            auto value = Number(text, min, max);
            if (value)
                target = static_cast<std::size_t>(*value);
            return value.has_value();
        };
    };
    auto seconds = [](auto& target) -> Setter {
        return [&target](const std::string& text) {
            auto value = Number(text, 1, 7 * 24 * 3600);
            if (value)
                target = std::chrono::seconds(*value);
            return value.has_value();
        };
    };
    const std::vector<std::pair<std::string, Setter>> valued {
        { "--listen",
            [&o](const std::string& text) {
                in_addr address {};
                if (inet_pton(AF_INET, text.c_str(), &address) != 1)
                    return false;
                o.listenAddress = text;
                return true;
            } },
        { "--port",
            [&o](const std::string& text) {
                auto value = Number(text, 0, 65535);
                if (value)
                    o.port = static_cast<std::uint16_t>(*value);
                return value.has_value();
            } },
        { "--keep", seconds(o.registry.keepFor) },
        { "--idle", seconds(o.idleTimeout) },
        { "--max-request", count(o.session.maxRequestBytes, 64, 1 << 20) },
        { "--max-list", count(o.session.maxListedUsers, 1, kMaxListedUsers) },
        { "--max-users", count(o.registry.maxUsers, 1, 1000000) },
        { "--max-users-per-address", count(o.registry.maxUsersPerAddress, 1, 1000000) },
        { "--max-connections", count(o.maxConnections, 1, 100000) },
        { "--max-connections-per-address", count(o.maxConnectionsPerAddress, 1, 100000) },
        { "--store",
            [&o](const std::string& text) {
                if (text == "memory") {
                    o.redis.reset();
                    return true;
                }
                RedisLocation location;
                if (!ParseStoreLocation(text, location))
                    return false;
                o.redis = location;
                return true;
            } },
        { "--store-timeout",
            [&o](const std::string& text) {
                auto value = Number(text, 10, 60000);
                if (value)
                    o.storeTimeout = std::chrono::milliseconds(*value);
                return value.has_value();
            } },
        { "--store-password-file",
            [&o, &why](const std::string& path) {
                // From a file, so that the password shows in no process list.
                std::string detail;
                if (!ReadPasswordFile(path, o.storePassword, detail)) {
                    why = "bad value for --store-password-file: " + path
                        + (detail.empty() ? "" : " (" + detail + ")");
                    return false;
                }
                o.storePasswordFile = path;
                return true;
            } },
        { "--store-user",
            [&o](const std::string& text) {
                o.storeUser = text;
                return !text.empty() && text.find_first_of(" \r\n") == std::string::npos;
            } },
        { "--store-queue", count(o.storeQueue, 1, 1000000) },
        { "--list-share", count(o.registry.listShare, 1, kMaxListedUsers) },
        { "--pass-attempts",
            [&o](const std::string& text) {
                auto value = Number(text, 1, 1000);
                if (value)
                    o.registry.passAttempts = static_cast<unsigned>(*value);
                return value.has_value();
            } },
        { "--pass-window", seconds(o.registry.passWindow) },
        { "--control-socket",
            [&o](const std::string& path) {
                o.controlSocket = path;
                return !path.empty();
            } },
        { "--remove",
            [&o](const std::string& name) {
                o.removeName = name;
                return !name.empty();
            } },
        { "--trusted-proxy",
            [&o, &why](const std::string& text) {
                Ipv4Network network;
                if (!Ipv4Network::Parse(text, network))
                    return false;
                why = UntrustableProxy(network, text);
                if (!why.empty())
                    return false;
                o.trustedProxies.push_back(network);
                return true;
            } },
        { "--log-file",
            [&o](const std::string& path) {
                o.log.path = path;
                return !path.empty();
            } },
        { "--log-rate", count(o.log.linesPerSecond, 0, 1000000) },
        { "--stats-interval",
            [&o](const std::string& text) {
                auto value = Number(text, 0, 24 * 3600);
                if (value)
                    o.statsInterval = std::chrono::seconds(*value);
                return value.has_value();
            } },
        { "--health",
            [&o](const std::string& text) {
                const auto colon = text.rfind(':');
                in_addr address {};
                if (colon == std::string::npos
                    || inet_pton(AF_INET, text.substr(0, colon).c_str(), &address) != 1)
                    return false;
                auto port = Number(text.substr(colon + 1), 0, 65535);
                if (!port)
                    return false;
                o.healthAddress = text.substr(0, colon);
                o.healthPort = static_cast<std::uint16_t>(*port);
                return true;
            } },
    };
    const std::vector<std::pair<std::string, bool*>> flags {
        { "--quiet", &o.quiet },
        { "-q", &o.quiet },
        { "--reuse-port", &o.reusePort },
        { "--connect-back", &o.connectBack.enabled },
    };

    // Returns false with parsed.error set; a configuration file is read
    // where it stands, one line at a time, so that errors name its line.
    std::function<bool(const std::vector<std::string>&, bool)> apply;
    apply = [&](const std::vector<std::string>& list, bool inFile) {
        for (std::size_t i = 0; i < list.size(); ++i) {
            std::string name = list[i];
            std::optional<std::string> value;
            if (const auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
                value = name.substr(eq + 1);
                name.resize(eq);
            }
            if (name == "--help" || name == "-h") {
                parsed.showHelp = true;
                continue;
            }
            bool* flag = nullptr;
            for (const auto& [flagName, target] : flags) {
                if (flagName == name)
                    flag = target;
            }
            if (flag) {
                if (!value && inFile && i + 1 < list.size())
                    value = list[++i];
                if (!value || *value == "yes" || *value == "true" || *value == "on" || *value == "1") {
                    *flag = true;
                } else if (*value == "no" || *value == "false" || *value == "off" || *value == "0") {
                    *flag = false;
                } else {
                    parsed.error = "bad value for " + name + ": " + *value;
                    return false;
                }
                continue;
            }
            const Setter* setter = nullptr;
            for (const auto& [optionName, optionSetter] : valued) {
                if (optionName == name)
                    setter = &optionSetter;
            }
            if (!setter && name != "--config") {
                parsed.error = "unknown option " + list[i];
                return false;
            }
            if (!value) {
                if (i + 1 >= list.size()) {
                    parsed.error = name + " needs a value";
                    return false;
                }
                value = list[++i];
            }
            if (name == "--config") {
                std::vector<std::vector<std::string>> lines;
                if (inFile) {
                    parsed.error = "a configuration file cannot name another (--config)";
                    return false;
                }
                if (!ReadConfiguration(*value, lines)) {
                    parsed.error = "cannot read the configuration file " + *value;
                    return false;
                }
                for (std::size_t n = 0; n < lines.size(); ++n) {
                    if (!apply(lines[n], true)) {
                        parsed.error = *value + ":" + std::to_string(n + 1) + ": " + parsed.error;
                        return false;
                    }
                }
                continue;
            }
            why.clear();
            if (!(*setter)(*value)) {
                parsed.error = why.empty() ? "bad value for " + name + ": " + *value : why;
                return false;
            }
        }
        return true;
    };
    apply(arguments, false);
    return parsed;
}

} // namespace voxlet::directory_server
