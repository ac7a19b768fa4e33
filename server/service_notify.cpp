#include "server/service_notify.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace voxlet::directory_server {

ServiceNotifier::ServiceNotifier()
{
    const char* path = std::getenv("NOTIFY_SOCKET");
    if (!path || (path[0] != '/' && path[0] != '@') || std::strlen(path) >= sizeof(sockaddr_un::sun_path))
        return;
    m_address = path;
    if (m_address[0] == '@')
        m_address[0] = '\0';
    m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (const char* usec = std::getenv("WATCHDOG_USEC")) {
        const long long value = std::atoll(usec);
        if (value > 0)
            m_watchdogEvery = std::chrono::milliseconds(value / 2000);
    }
}

ServiceNotifier::~ServiceNotifier()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

void ServiceNotifier::send(std::string_view state)
{
    if (m_fd < 0)
        return;
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, m_address.data(), m_address.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + m_address.size());
    // A manager too busy to take it misses one status; the server never waits for it.
    [[maybe_unused]] auto ignored = ::sendto(m_fd, state.data(), state.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
        reinterpret_cast<const sockaddr*>(&address), length);
}

} // namespace voxlet::directory_server
