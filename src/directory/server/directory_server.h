#pragma once
// The directory's network side: one thread, non-blocking sockets and poll().
// Every limit that keeps one misbehaving client from hurting the others is
// enforced here; what the bytes mean is DirectorySession's business.

#include "directory/server/control_socket.h"
#include "directory/server/directory_session.h"
#include "directory/server/directory_store.h"
#include "directory/server/proxy_header.h"
#include "directory/server/server_options.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace voxlet::directory_server {

class DirectoryServer {
public:
    using LogSink = std::function<void(const std::string& line)>;

    // Without a sink, log lines go to stderr with a time stamp (unless quiet).
    explicit DirectoryServer(ServerOptions options, LogSink sink = {});
    ~DirectoryServer();
    DirectoryServer(const DirectoryServer&) = delete;
    DirectoryServer& operator=(const DirectoryServer&) = delete;

    // Binds, listens and opens the store; false with a reason on failure.
    bool start(std::string& error);
    // The bound port (useful after asking for port 0).
    std::uint16_t port() const { return m_port; }

    // Serves until stop(); returns at once if start() did not succeed.
    void run();
    // Safe from another thread and from a signal handler.
    void stop();

private:
    using Steady = std::chrono::steady_clock;

    struct Connection {
        int fd = -1;
        std::string address; // the peer: a client, or a proxy speaking for one
        std::unique_ptr<ProxyHeaderReader> proxyHeader; // until the first bytes are judged
        std::unique_ptr<DirectorySession> session; // from then on
        std::string output;
        std::size_t sent = 0;
        std::size_t messagesSeen = 0;
        Steady::time_point deadline;
        bool peerClosed = false;
        bool lingering = false; // reply sent and write side shut: waiting for the client to close
    };

    bool openStore(std::string& error);
    bool logging() const;
    void log(const std::string& line) const;
    void acceptPending();
    void onReadable(Connection& c);
    void feed(Connection& c, std::string_view bytes);
    void deliverReplies();
    void flush(Connection& c);
    void close(int fd, const std::string& reason);
    int pollTimeoutMs(Steady::time_point now) const;

    ServerOptions m_options;
    LogSink m_sink;
    std::unique_ptr<DirectoryStore> m_store;
    std::unique_ptr<ControlSocket> m_control;
    std::vector<int> m_replied; // connections whose session has a late reply to send
    int m_listener = -1;
    int m_wakeRead = -1;
    int m_wakeWrite = -1;
    int m_spareFd = -1; // given up to accept-and-drop when out of descriptors
    std::uint16_t m_port = 0;
    std::atomic<bool> m_stopping { false };
    Steady::time_point m_listenerPausedUntil {};
    std::map<int, Connection> m_connections;
    std::unordered_map<std::string, std::size_t> m_perAddress;
};

} // namespace voxlet::directory_server
