#pragma once
// The directory's network side: one thread, non-blocking sockets and poll().
// Every limit that keeps one misbehaving client from hurting the others is
// enforced here; what the bytes mean is DirectorySession's business.

#include "server/connect_back.h"
#include "server/control_socket.h"
#include "server/directory_session.h"
#include "server/directory_store.h"
#include "server/health_endpoint.h"
#include "server/proxy_header.h"
#include "server/server_counters.h"
#include "server/server_log.h"
#include "server/server_options.h"
#include "server/service_notify.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace voxlet::directory_server {

// Raises the process's soft open-file limit to its hard one; returns the
// soft limit now in force.
std::size_t RaiseOpenFileLimit();

class DirectoryServer {
public:
    using LogSink = std::function<void(const std::string& line)>;

    // Without a sink, log lines go to the log file or stderr (unless quiet).
    explicit DirectoryServer(ServerOptions options, LogSink sink = {});
    ~DirectoryServer();
    DirectoryServer(const DirectoryServer&) = delete;
    DirectoryServer& operator=(const DirectoryServer&) = delete;

    // Binds, listens, opens the log and the store; false with a reason on failure.
    bool start(std::string& error);
    // The bound port (useful after asking for port 0).
    std::uint16_t port() const { return m_port; }
    std::uint16_t healthPort() const { return m_health ? m_health->port() : 0; }
    // Most connections open at once: the option, kept below the open-file limit.
    std::size_t connectionCap() const { return m_cap; }

    // Serves until stop(); returns at once if start() did not succeed.
    void run();
    // Stops taking connections and gives the open ones the stop time to
    // finish their exchanges, then run() returns; a second stop() does not
    // wait. Safe from another thread and from a signal handler.
    void stop();
    // Opens the log file anew (after it was rotated); as safe as stop().
    void reopenLog();

private:
    using Steady = std::chrono::steady_clock;

    struct Connection {
        int fd = -1;
        std::string address; // the client's: the peer's, or what a trusted proxy says
        std::string proxy; // the peer, when it forwards for `address`
        std::uint64_t order = 0; // of acceptance: idle ones make room oldest first
        bool idle = true; // no request yet: may be closed to make room
        std::unique_ptr<ProxyHeaderReader> proxyHeader; // until the first bytes are judged
        std::unique_ptr<CountingStore> counting; // outlives the session that uses it
        std::unique_ptr<ClientConnectBack> connectBack; // likewise
        std::unique_ptr<DirectorySession> session; // from then on
        std::string output;
        std::size_t sent = 0;
        std::size_t messagesSeen = 0;
        Steady::time_point deadline;
        bool peerClosed = false;
        bool lingering = false; // reply sent and write side shut: waiting for the client to close
    };

    bool openStore(std::string& error);
    void deriveConnectionCap();
    bool logging() const;
    void log(const std::string& line);
    void logClient(const std::string& line);
    // The sink when there is one, else the log file as a line of this kind.
    void logTo(void (ServerLog::*kind)(std::string_view), const std::string& line);
    void wake();
    std::size_t acceptPending();
    void admit(int fd, const std::string& address, bool trusted);
    void refuse(int fd, const std::string& who, const char* why, Dropped reason);
    bool makeRoom();
    void leaveIdle(Connection& c);
    void onReadable(Connection& c);
    void feed(Connection& c, std::string_view bytes);
    bool takeProxyHeader(Connection& c);
    void deliverReplies();
    void flush(Connection& c);
    // After a failed recv or send: true when only interrupted (try again);
    // else the socket has nothing more for now, or it failed and is closed.
    bool interrupted(Connection& c, const char* what);
    void close(int fd, const std::string& reason, std::optional<Dropped> dropped = {});
    void closeExpired(Steady::time_point now);
    void closeAnswered();
    void beginStopping(Steady::time_point now);
    void onTimers(Steady::time_point now);
    HealthEndpoint::State health() const;
    int pollTimeoutMs(Steady::time_point now) const;

    ServerOptions m_options;
    LogSink m_sink;
    std::unique_ptr<ServerLog> m_log;
    ServiceNotifier m_notifier;
    std::unique_ptr<DirectoryStore> m_store;
    std::unique_ptr<HealthEndpoint> m_health;
    std::unique_ptr<ControlSocket> m_control;
    ProbeCounter* m_probeCounter = nullptr; // the shared store's, when there is one
    std::unique_ptr<ConnectBackProber> m_prober; // none: probes refused
    std::vector<int> m_replied; // connections whose session has a late reply to send
    int m_listener = -1;
    int m_wakeRead = -1;
    int m_wakeWrite = -1;
    int m_spareFd = -1; // given up to accept-and-drop when out of descriptors
    std::uint16_t m_port = 0;
    std::size_t m_cap = 0;
    std::size_t m_fileLimit = 0;
    std::atomic<int> m_stopRequests { 0 };
    std::atomic<bool> m_reopenLog { false };
    bool m_stopping = false;
    Steady::time_point m_stopBy {};
    Steady::time_point m_started {};
    Steady::time_point m_listenerPausedUntil {};
    Steady::time_point m_nextCounters = Steady::time_point::max();
    Steady::time_point m_nextWatchdog = Steady::time_point::max();
    std::map<int, Connection> m_connections;
    std::map<std::uint64_t, int> m_idle; // by order of acceptance
    std::uint64_t m_nextOrder = 1;
    std::unordered_map<std::string, std::size_t> m_perAddress;
    ServerCounters m_counters;
    ServerCounters m_reported; // as of the last counters line
};

} // namespace voxlet::directory_server
