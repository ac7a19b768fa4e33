#pragma once
// Tells a service manager (systemd's Type=notify) that the server is ready,
// stopping, or still alive, over the datagram socket named in NOTIFY_SOCKET.
// Without that variable it does nothing.

#include <chrono>
#include <string>
#include <string_view>

namespace voxlet::directory_server {

class ServiceNotifier {
public:
    ServiceNotifier(); // reads NOTIFY_SOCKET and WATCHDOG_USEC
    ~ServiceNotifier();
    ServiceNotifier(const ServiceNotifier&) = delete;
    ServiceNotifier& operator=(const ServiceNotifier&) = delete;

    bool enabled() const { return m_fd >= 0; }
    // "READY=1", "STOPPING=1", "STATUS=...", lines joined by '\n'.
    void send(std::string_view state);
    // How often to send "WATCHDOG=1" (half the manager's limit); zero: never.
    std::chrono::milliseconds watchdogEvery() const { return m_watchdogEvery; }

private:
    int m_fd = -1;
    std::string m_address; // sun_path, '\0' first for the abstract namespace
    std::chrono::milliseconds m_watchdogEvery { 0 };
};

} // namespace voxlet::directory_server
