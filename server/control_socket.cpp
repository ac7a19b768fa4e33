#include "server/control_socket.h"

#include "server/text_codec.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace voxlet::directory_server {

namespace {

constexpr std::size_t kMaxCommand = 1024;
constexpr int kDatagramsPerTurn = 16;

bool Address(const std::string& path, sockaddr_un& out, std::string& error)
{
    out = {};
    out.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof out.sun_path) {
        error = "control socket path too long: " + path;
        return false;
    }
    std::memcpy(out.sun_path, path.data(), path.size());
    return true;
}

} // namespace

ControlSocket::ControlSocket(DirectoryStore& store, Logger log)
    : m_store(store)
    , m_log(std::move(log))
{
}

ControlSocket::~ControlSocket()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        ::unlink(m_path.c_str());
    }
}

bool ControlSocket::open(const std::string& path, std::string& error)
{
    sockaddr_un address;
    if (!Address(path, address, error))
        return false;
    m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_fd < 0) {
        error = "control socket: " + std::string(std::strerror(errno));
        return false;
    }
    struct stat existing { };
    if (::lstat(path.c_str(), &existing) == 0 && S_ISSOCK(existing.st_mode))
        ::unlink(path.c_str()); // left by an earlier run
    if (::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || ::chmod(path.c_str(), S_IRUSR | S_IWUSR) != 0) {
        error = "control socket " + path + ": " + std::strerror(errno);
        ::close(m_fd);
        m_fd = -1;
        return false;
    }
    m_path = path;
    return true;
}

void ControlSocket::onReadable()
{
    for (int turn = 0; turn < kDatagramsPerTurn; ++turn) {
        char buffer[kMaxCommand + 1];
        sockaddr_un from {};
        socklen_t fromLength = sizeof from;
        const ssize_t got
            = ::recvfrom(m_fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (got < 0)
            return;
        const std::string sender(reinterpret_cast<const char*>(&from), fromLength);
        std::string command(buffer, static_cast<std::size_t>(got));
        while (!command.empty() && (command.back() == '\n' || command.back() == '\r'))
            command.pop_back();
        if (static_cast<std::size_t>(got) > kMaxCommand) {
            answer(sender, "error command too long");
            continue;
        }
        const std::string verb = "remove ";
        if (command.rfind(verb, 0) != 0 || command.size() == verb.size()) {
            answer(sender, "error unknown command (remove NAME)");
            continue;
        }
        const std::string nameText = command.substr(verb.size());
        const std::u16string name = FromUtf8(nameText);
        m_store.remove(name, [this, sender, nameText, name](bool found, const std::string& error) {
            if (!error.empty()) {
                answer(sender, "error " + error);
                return;
            }
            if (m_log)
                m_log("control: " + std::string(found ? "removed '" : "no entry to remove for '")
                    + LogSafe(name) + "'");
            answer(sender, (found ? "removed " : "not registered ") + nameText);
        });
    }
}

void ControlSocket::answer(const std::string& to, const std::string& text)
{
    // A sender without an address of its own gets no answer.
    if (to.size() > sizeof(sa_family_t))
        ::sendto(m_fd, text.data(), text.size(), MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(to.data()),
            static_cast<socklen_t>(to.size()));
}

bool SendControlCommand(const std::string& path, const std::string& command, std::string& answer)
{
    sockaddr_un server;
    if (!Address(path, server, answer))
        return false;
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un self {};
    self.sun_family = AF_UNIX;
    // An address of our own for the answer: Linux picks an abstract one.
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof(sa_family_t)) != 0
        || ::sendto(
               fd, command.data(), command.size(), 0, reinterpret_cast<sockaddr*>(&server), sizeof server)
            < 0) {
        answer = path + ": " + std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    pollfd wait { fd, POLLIN, 0 };
    char buffer[kMaxCommand + 64];
    const ssize_t got = ::poll(&wait, 1, 5000) == 1 ? ::recv(fd, buffer, sizeof buffer, 0) : -1;
    ::close(fd);
    if (got < 0) {
        answer = "no answer from " + path;
        return false;
    }
    answer.assign(buffer, static_cast<std::size_t>(got));
    return true;
}

} // namespace voxlet::directory_server
