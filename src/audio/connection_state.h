#pragma once
// What the other threads see of a sound server connection kept on a thread
// of its own: whether it is up, how often it came up, and whether its first
// attempt has ended, with waits for both. Each sound server backend keeps
// one; its connection's thread reports, the others wait.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace voxlet {

class ConnectionState {
public:
    bool ready() const { return ready_.load(); }
    // Times the connection became ready (a return of the server counts again).
    std::uint64_t connections() const { return connections_.load(); }
    // Waits (on any thread but the connection's) until it is up.
    bool waitUntilReady(int timeoutMs);
    // Waits until the first attempt has succeeded or failed, at most
    // timeoutMs: start-up asks this rather than waiting out a time-out when
    // there is no server. True when connected.
    bool waitForFirstAttempt(int timeoutMs);

    // ---- the connection's thread ----
    void connected();
    // Returns whether it was up.
    bool lost();
    // An attempt ended without a connection.
    void failed();

private:
    std::atomic<bool> ready_ { false };
    std::atomic<bool> settled_ { false }; // the first attempt has ended
    std::atomic<std::uint64_t> connections_ { 0 };
    std::mutex mutex_;
    std::condition_variable changed_;
};

} // namespace voxlet
