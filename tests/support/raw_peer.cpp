#include "support/raw_peer.h"

#include <QCoreApplication>

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace voxlet::test {

sockaddr_in SocketAddress(const QString& host, std::uint16_t port)
{
    sockaddr_in sin {};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    sin.sin_addr.s_addr = inet_addr(host.toLatin1().constData());
    return sin;
}

RawSocket& RawSocket::operator=(RawSocket&& o) noexcept
{
    if (this != &o) {
        close();
        fd_ = o.fd_;
        o.fd_ = -1;
    }
    return *this;
}

RawSocket::~RawSocket()
{
    close();
}

void RawSocket::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

void RawSocket::prepare()
{
    close();
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}

bool RawSocket::connectTo(const QString& from, const QString& host, std::uint16_t port)
{
    if (fd_ < 0)
        prepare();
    if (!from.isEmpty()) {
        const sockaddr_in own = SocketAddress(from, 0);
        ::bind(fd_, reinterpret_cast<const sockaddr*>(&own), sizeof own);
    }
    const sockaddr_in sin = SocketAddress(host, port);
    return ::connect(fd_, reinterpret_cast<const sockaddr*>(&sin), sizeof sin) == 0;
}

bool RawSocket::listenOn(const QString& host, std::uint16_t port)
{
    close();
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_in sin = SocketAddress(host, port);
    return ::bind(fd_, reinterpret_cast<const sockaddr*>(&sin), sizeof sin) == 0 && ::listen(fd_, 16) == 0;
}

RawSocket RawSocket::accept(int timeoutMs)
{
    pollfd p { fd_, POLLIN, 0 };
    if (::poll(&p, 1, timeoutMs) <= 0)
        return RawSocket();
    return RawSocket(::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC));
}

bool RawSocket::ring(const QString& from, const QString& host, const QString& name)
{
    return connectTo(from, host, 8002) && readExactly(22, 5000) == Utf16(QStringLiteral("VOICEMSG:OK"))
        && sendAll(Utf16(QStringLiteral("VOICEMSG:OK|") + name + QStringLiteral("|END")));
}

bool RawSocket::awaitAnswer()
{
    return readExactly(28, 10000) == Utf16(QStringLiteral("CallAnswer|END"));
}

bool RawSocket::sendAll(const QByteArray& bytes)
{
    qsizetype pos = 0;
    while (pos < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.constData() + pos, size_t(bytes.size() - pos), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        pos += n;
    }
    return true;
}

QByteArray RawSocket::readExactly(int n, int timeoutMs)
{
    QByteArray out;
    char buf[65536];
    while (out.size() < n) {
        pollfd p { fd_, POLLIN, 0 };
        if (::poll(&p, 1, timeoutMs) <= 0)
            break;
        const ssize_t got = ::recv(fd_, buf, size_t(std::min<qsizetype>(sizeof buf, n - out.size())), 0);
        if (got <= 0) {
            closedByPeer_ = got == 0 || errno == ECONNRESET;
            break;
        }
        out.append(buf, got);
    }
    return out;
}

QByteArray RawSocket::readFor(int timeoutMs)
{
    QByteArray out;
    char buf[65536];
    for (;;) {
        pollfd p { fd_, POLLIN, 0 };
        if (::poll(&p, 1, timeoutMs) <= 0)
            break;
        const ssize_t got = ::recv(fd_, buf, sizeof buf, 0);
        if (got <= 0)
            break;
        out.append(buf, got);
    }
    return out;
}

void RawSocket::setReceiveBuffer(int bytes)
{
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

void RawSocket::reset()
{
    Reset(fd_);
}

int RawConnect(const QString& from, const QString& to, int port, int receiveBuffer)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    const sockaddr_in own = SocketAddress(from, 0);
    ::bind(fd, reinterpret_cast<const sockaddr*>(&own), sizeof own);
    const sockaddr_in peer = SocketAddress(to, std::uint16_t(port));
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

int RawListen(const QString& at, int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_in sin = SocketAddress(at, std::uint16_t(port));
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&sin), sizeof sin) != 0 || ::listen(fd, 16) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int RawAccept(int listener)
{
    int fd = -1;
    const bool taken = WaitFor(
        [&] {
            fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            return fd >= 0;
        },
        10000);
    return taken ? fd : -1;
}

void Reset(int& fd)
{
    if (fd < 0)
        return;
    const linger l { 1, 0 };
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(fd);
    fd = -1;
}

void SendAll(int fd, const QByteArray& bytes)
{
    qsizetype sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.constData() + sent, size_t(bytes.size() - sent), MSG_NOSIGNAL);
        if (n > 0)
            sent += n;
        else if (n < 0 && errno != EAGAIN)
            return;
        else
            QCoreApplication::processEvents();
    }
}

bool ReadAvailable(int fd, QByteArray& into)
{
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            into.append(buffer, n);
            continue;
        }
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

bool Receive(int fd, const QString& text, QByteArray* all)
{
    QByteArray got;
    const QByteArray wanted = Utf16(text);
    const bool ok = WaitFor(
        [&] {
            ReadAvailable(fd, got);
            return got.contains(wanted);
        },
        10000);
    if (all)
        *all = got;
    return ok;
}

} // namespace voxlet::test
