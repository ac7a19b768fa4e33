#include "net/reach/directory_check.h"

#include "net/socket_layer.h"

#include <QStringList>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace voxlet::reach {

namespace {

constexpr int kMaxReplyBytes = 4096;
constexpr std::chrono::milliseconds kProbeGrace { 1000 };

using Clock = std::chrono::steady_clock;

// Waits for the socket (or the wake descriptor); false on time-out or wake.
bool WaitFor(int fd, short events, int wakeFd, Clock::time_point end)
{
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0)
            return false;
        pollfd p[2] = { { fd, events, 0 }, { wakeFd, POLLIN, 0 } };
        const int r = ::poll(p, wakeFd >= 0 ? 2 : 1, int(left));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0 || (wakeFd >= 0 && p[1].revents))
            return false;
        return true;
    }
}

bool SendAll(int fd, const QByteArray& bytes, int wakeFd, Clock::time_point end)
{
    qsizetype at = 0;
    while (at < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.constData() + at, size_t(bytes.size() - at), MSG_NOSIGNAL);
        if (n > 0) {
            at += n;
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            if (!WaitFor(fd, POLLOUT, wakeFd, end))
                return false;
        } else {
            return false;
        }
    }
    return true;
}

// Reads until the text ends with "END" or the directory closes.
DirectoryReply ReadReply(int fd, int wakeFd, Clock::time_point end)
{
    DirectoryReply reply;
    QByteArray bytes;
    for (;;) {
        char buffer[1024];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            bytes.append(buffer, n);
            reply.text = DecodeWireText(bytes.constData(), int(bytes.size()));
            if (reply.text.endsWith(QLatin1String("END")) || bytes.size() >= kMaxReplyBytes) {
                reply.answered = true;
                return reply;
            }
        } else if (n == 0) {
            reply.answered = !reply.text.isEmpty();
            return reply;
        } else if (errno == EAGAIN || errno == EINTR) {
            if (!WaitFor(fd, POLLIN, wakeFd, end))
                return reply;
        } else {
            return reply;
        }
    }
}

} // namespace

bool ResolveDirectory(const QString& host, std::uint16_t port, sockaddr_in& out)
{
    const QByteArray name = host.trimmed().toLocal8Bit();
    if (name.isEmpty() || name.contains('\0'))
        return false;
    addrinfo hints {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name.constData(), nullptr, &hints, &found) != 0 || !found)
        return false;
    std::memcpy(&out, found->ai_addr, sizeof out);
    out.sin_port = htons(port);
    ::freeaddrinfo(found);
    return true;
}

DirectoryReply ExchangeWithDirectory(const sockaddr_in& server, const QString& from, const QString& request,
    int wakeFd, std::chrono::milliseconds timeout)
{
    const auto end = Clock::now() + timeout;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return {};
    sockaddr_in own {};
    own.sin_family = AF_INET;
    if (inet_pton(AF_INET, from.toLatin1().constData(), &own.sin_addr) == 1)
        ::bind(fd, reinterpret_cast<const sockaddr*>(&own), sizeof own);
    DirectoryReply reply;
    int error = 0;
    socklen_t length = sizeof error;
    const bool connected = (::connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) == 0
                               || errno == EINPROGRESS)
        && WaitFor(fd, POLLOUT, wakeFd, end) && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0
        && error == 0;
    if (connected && SendAll(fd, EncodeWireText(QStringLiteral("SERVEROK|END")), wakeFd, end)) {
        const DirectoryReply hello = ReadReply(fd, wakeFd, end);
        if (hello.answered && hello.text.contains(QLatin1String("SERVEROK"))
            && SendAll(fd, EncodeWireText(request), wakeFd, end))
            reply = ReadReply(fd, wakeFd, end);
    }
    ::close(fd);
    return reply;
}

QString DialBackWords(const QString& token)
{
    return QStringLiteral("CONNECTBACK|") + token + QStringLiteral("|END");
}

DirectoryCheck CheckWithDirectory(const sockaddr_in& server, const QString& from, const QString& token,
    int wakeFd, const std::function<void()>& expectProbe,
    const std::function<bool(std::chrono::milliseconds)>& probeSeen)
{
    using Answer = DirectoryCheck::Answer;
    DirectoryCheck check;
    expectProbe();
    // The request and the dial-back's words are the same text.
    const DirectoryReply reply = ExchangeWithDirectory(server, from, DialBackWords(token), wakeFd);
    const QStringList pieces = reply.text.split(QLatin1Char('|'));
    if (!reply.answered) {
        check.answer = Answer::NoAnswer;
    } else if (pieces.size() >= 4 && pieces[0] == QLatin1String("CONNECTBACK")) {
        const QString& word = pieces[1];
        check.observed = CanonicalIPv4(pieces[2]);
        check.answer = word == QLatin1String("OK") ? Answer::Reached
            : word == QLatin1String("REFUSED")     ? Answer::Refused
            : word == QLatin1String("TIMEOUT")     ? Answer::TimedOut
                                                   : Answer::CannotTell;
    } else {
        // "DISCONNECT|END": a directory that does not know the request.
        check.answer = Answer::CannotTell;
    }
    if (check.answer == Answer::CannotTell && check.observed.isEmpty()) {
        const QStringList address
            = ExchangeWithDirectory(server, from, QStringLiteral("GETGLOVALIP|END"), wakeFd)
                  .text.split(QLatin1Char('|'));
        if (address.size() >= 3 && address[0].endsWith(QLatin1String("YOURGLOVALIP")))
            check.observed = CanonicalIPv4(address[1]);
    }
    // The probe reached the listener before the directory could answer, but
    // the listener may not have taken it yet.
    check.probeSeen = probeSeen(check.answer == Answer::Reached ? kProbeGrace : std::chrono::milliseconds(0));
    return check;
}

} // namespace voxlet::reach
