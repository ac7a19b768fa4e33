#include "support/raw_peer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace voxlet::test {

namespace {
sockaddr_in Addr(const QString& host, std::uint16_t port)
{
    sockaddr_in sin {};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    sin.sin_addr.s_addr = inet_addr(host.toLatin1().constData());
    return sin;
}
} // namespace

QByteArray Utf16(const QString& text)
{
    QByteArray out;
    for (QChar c : text) {
        out.append(char(c.unicode() & 0xFF));
        out.append(char(c.unicode() >> 8));
    }
    return out;
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
        const sockaddr_in own = Addr(from, 0);
        ::bind(fd_, reinterpret_cast<const sockaddr*>(&own), sizeof own);
    }
    const sockaddr_in sin = Addr(host, port);
    return ::connect(fd_, reinterpret_cast<const sockaddr*>(&sin), sizeof sin) == 0;
}

bool RawSocket::listenOn(const QString& host, std::uint16_t port)
{
    close();
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_in sin = Addr(host, port);
    return ::bind(fd_, reinterpret_cast<const sockaddr*>(&sin), sizeof sin) == 0 && ::listen(fd_, 16) == 0;
}

RawSocket RawSocket::accept(int timeoutMs)
{
    pollfd p { fd_, POLLIN, 0 };
    if (::poll(&p, 1, timeoutMs) <= 0)
        return RawSocket();
    return RawSocket(::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC));
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
        if (got <= 0)
            break;
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
    if (fd_ < 0)
        return;
    linger l { 1, 0 };
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close();
}

} // namespace voxlet::test
