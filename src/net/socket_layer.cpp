#include "net/socket_layer.h"

#include "call/ports.h"
#include "net/address.h"
#include "net/async_select.h"
#include "net/happy_dialer.h"
#include "net/peer_address.h"
#include "net/voice_socket_options.h"
#include "net/winsock_errors.h"

#include <QTimer>
#include <QtEndian>

#include <algorithm>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace voxlet {

namespace {
const QString kTitle = QStringLiteral("Voxlet");

// A peer that vanishes without a FIN or RST (or stops reading) must not hold
// a call open for ever: unanswered keep-alive probes, or data left unacknowledged
// this long, end the connection with an error, which the hub treats as a close.
constexpr int kDeadPeerTimeoutMs = 20000;

void DetectDeadPeer(int fd)
{
    const int on = 1, idle = 20, interval = 5, count = 3, timeout = kDeadPeerTimeoutMs;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &timeout, sizeof timeout);
}

sockaddr_in MakeAddress(std::int32_t address, std::uint16_t port)
{
    sockaddr_in sin {};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    sin.sin_addr.s_addr = in_addr_t(address);
    return sin;
}
} // namespace

bool IsTransientAcceptError(int code)
{
    return code == wsa::EWOULDBLOCK_ || code == wsa::ECONNABORTED_ || code == wsa::EINTR_
        || code == wsa::ECONNRESET_;
}

bool IsAcceptResourceShortage(int code)
{
    return code == wsa::EMFILE_ || code == wsa::ENOBUFS_;
}

QByteArray EncodeWireText(const QString& text)
{
    QByteArray out(text.size() * 2, Qt::Uninitialized);
    if (!text.isEmpty()) // Qt would memcpy from a null pointer
        qToLittleEndian<char16_t>(text.utf16(), text.size(), out.data());
    return out;
}

QString DecodeWireText(const char* bytes, int count)
{
    // A byte left over at the end is not a character.
    QString out(count / 2, Qt::Uninitialized);
    if (!out.isEmpty())
        qFromLittleEndian<char16_t>(bytes, out.size(), out.data());
    return out;
}

SocketLayer::SocketLayer(
    AppState& st, MainWindowPort& main, MessageBoxPort& boxes, AsyncSelect& async, NetOptions options)
    : st_(st)
    , main_(main)
    , boxes_(boxes)
    , async_(async)
    , options_(options)
{
}

SocketLayer::~SocketLayer()
{
    // Whatever could not be handed over in time goes with the phone.
    while (!draining_.empty())
        FinishDrain(draining_.begin()->first);
}

void SocketLayer::StartNetwork()
{
    // Nothing to start on POSIX; a socket we cannot create means no network.
    const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        boxes_.show(QStringLiteral("初期化失敗"), MessageIcon::None, kTitle);
        return;
    }
    ::close(probe);
}

void SocketLayer::Cleanup()
{
    // Exit leaves the connection-server socket to the clean-up.
    if (st_.ServerSocket > 0)
        CloseSocket(st_.ServerSocket);
}

std::int32_t SocketLayer::OwnAddress() const
{
    return options_.localAddress ? *options_.localAddress : LocalHostAddress();
}

int SocketLayer::NewSocket(int family)
{
    int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd == 0) {
        // 0 means "no socket" to the rest of the program.
        const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
        ::close(fd);
        fd = moved;
    }
    return fd;
}

bool SocketLayer::StartListening()
{
    const QString ownText = FormatAddress(OwnAddress());
    // Callers of both families on one socket; IPv4 ones look as ever.
    // A test that names the own address, or a machine without IPv6, gets
    // the IPv4 listener on that address.
    bool dual = !options_.localAddress;
    st_.ListenSocket = dual ? NewSocket(AF_INET6) : -1;
    if (st_.ListenSocket < 0) {
        dual = false;
        st_.ListenSocket = NewSocket();
    }
    if (st_.ListenSocket < 0) {
        st_.ListenSocket = 0;
        boxes_.show(QStringLiteral("リスンソケット作成失敗"), MessageIcon::None, kTitle);
        return true;
    }
    // A restarted phone must not be locked out by its last run's closed calls.
    const int one = 1;
    ::setsockopt(st_.ListenSocket, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_in sin = MakeAddress(ResolveAddress(ownText), options_.peerPort);
    sockaddr_in6 any {};
    any.sin6_family = AF_INET6;
    any.sin6_port = htons(options_.peerPort);
    const int no = 0;
    if (dual)
        ::setsockopt(st_.ListenSocket, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no);
    const int bound = dual ? ::bind(st_.ListenSocket, reinterpret_cast<const sockaddr*>(&any), sizeof any)
                           : ::bind(st_.ListenSocket, reinterpret_cast<const sockaddr*>(&sin), sizeof sin);
    const int lastError = bound == 0 ? 0 : WinsockCodeFromErrno(errno);
    if (lastError != 0)
        boxes_.show(WinsockErrorText(lastError), MessageIcon::None, kTitle);
    if (bound != 0) {
        boxes_.show(QStringLiteral("BINDできません。"), MessageIcon::None, kTitle);
        CloseSocket(st_.ListenSocket);
        return true;
    }
    if (::listen(st_.ListenSocket, 0) != 0) {
        boxes_.show(QStringLiteral("リスン失敗"), MessageIcon::None, kTitle);
        CloseSocket(st_.ListenSocket);
        return true;
    }
    // Only a socket that listens can have callers: asked earlier, a failed
    // bind would report a bogus accept on top of its own message.
    Select(st_.ListenSocket, FD_ACCEPT);
    main_.setText1(QStringLiteral("待機します。"));
    st_.Listening = true;
    return false;
}

bool SocketLayer::Knows(int socket) const
{
    return async_.Knows(socket);
}

void SocketLayer::Select(int socket, int mask)
{
    async_.Select(socket, mask);
}

void SocketLayer::Connect(int& socketVar, const QString& host, std::uint16_t port)
{
    socketVar = NewSocket();
    if (socketVar <= 0)
        return; // creation failures are left to the connect time-out
    Select(socketVar, FD_READ | FD_CONNECT | FD_CLOSE);
    DetectDeadPeer(socketVar);
    if (options_.bindOutgoing) {
        const sockaddr_in own = MakeAddress(OwnAddress(), 0);
        ::bind(socketVar, reinterpret_cast<const sockaddr*>(&own), sizeof own);
    }
    const sockaddr_in sin = MakeAddress(ResolveAddress(host), port);
    const int r = ::connect(socketVar, reinterpret_cast<const sockaddr*>(&sin), sizeof sin);
    async_.ConnectStarted(socketVar, r == 0 ? 0 : errno);
}

void SocketLayer::PrepareDial(int fd)
{
    DetectDeadPeer(fd);
    sockaddr_storage family {};
    socklen_t length = sizeof family;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&family), &length);
    if (options_.bindOutgoing && family.ss_family == AF_INET) {
        const sockaddr_in own = MakeAddress(OwnAddress(), 0);
        ::bind(fd, reinterpret_cast<const sockaddr*>(&own), sizeof own);
    }
}

void SocketLayer::ConnectToPeer(int& socketVar, const QString& host)
{
    const std::vector<DialTarget> targets = ResolvePeer(host, options_.peerPort);
    if (targets.size() == 1 && targets.front().family() == AF_INET) {
        // A dotted address, or a name with only IPv4: as it always was.
        Connect(socketVar, host, options_.peerPort);
        return;
    }
    const DialTarget& first = targets.front();
    socketVar = NewSocket(first.family());
    if (socketVar <= 0)
        return;
    const int fd = socketVar;
    Select(fd, FD_READ | FD_CONNECT | FD_CLOSE);
    PrepareDial(fd);
    const int r = ::connect(fd, reinterpret_cast<const sockaddr*>(&first.address), first.length);
    const int firstErrno = r == 0 ? 0 : errno;
    if (targets.size() == 1) {
        async_.ConnectStarted(fd, firstErrno);
        return;
    }
    // Connected or failed, the socket is reported as one dial is.
    dialers_[fd] = std::make_unique<HappyDialer>(
        fd, firstErrno, targets[1], [this](int s) { PrepareDial(s); },
        [this, fd](int connectErrno) {
            auto it = dialers_.find(fd);
            if (it == dialers_.end())
                return;
            it->second.release()->deleteLater();
            dialers_.erase(it);
            async_.ConnectStarted(fd, connectErrno);
        });
}

void SocketLayer::ConnectToServer(const QString& host)
{
    // Only the newest exchange is ever handled; an older one that the server
    // never answered would otherwise stay open for the rest of the run.
    if (st_.ServerSocket > 0)
        ShutdownAndClose(st_.ServerSocket);
    Connect(st_.ServerSocket, host, options_.serverPort);
}

int SocketLayer::Accept(int listenSocket, sockaddr_in& from, int& error)
{
    sockaddr_storage peer {};
    socklen_t len = sizeof peer;
    std::memset(&from, 0, sizeof from);
    int fd = ::accept4(listenSocket, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    error = fd < 0 ? WinsockCodeFromErrno(errno) : 0;
    if (fd >= 0 && !AsIPv4(peer, from)) {
        from.sin_family = AF_INET6;
        from.sin_port = reinterpret_cast<const sockaddr_in6&>(peer).sin6_port;
        lastIPv6Caller_ = FormatPeerAddress(peer);
    }
    if (fd == 0) {
        const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
        ::close(fd);
        fd = moved;
    }
    if (fd > 0)
        DetectDeadPeer(fd);
    if (IsAcceptResourceShortage(error)) {
        // The caller stays queued and the listener stays readable: asking
        // again at once would spin for as long as the shortage lasts.
        QTimer::singleShot(kAcceptBackoffMs, &async_, [this, listenSocket] {
            if (st_.ListenSocket == listenSocket)
                async_.Rearm(listenSocket);
        });
    } else {
        async_.Rearm(listenSocket);
    }
    return fd < 0 ? 0 : fd;
}

QString SocketLayer::PeerAddressText(const sockaddr_in& from) const
{
    return from.sin_family == AF_INET6 ? lastIPv6Caller_ : FormatAddress(std::int32_t(from.sin_addr.s_addr));
}

void SocketLayer::Release(int socket)
{
    dialers_.erase(socket);
    async_.Forget(socket);
    voice_.erase(socket);
    oddByte_.erase(socket);
}

void SocketLayer::CloseSocket(int& socketVar)
{
    const int s = socketVar;
    socketVar = 0;
    if (s > 0) {
        Release(s);
        ::close(s);
    }
}

void SocketLayer::ShutdownAndClose(int& socketVar)
{
    const int s = socketVar;
    auto it = s > 0 ? voice_.find(s) : voice_.end();
    if (it == voice_.end()) {
        if (s > 0)
            ::shutdown(s, SHUT_RDWR);
        CloseSocket(socketVar);
        return;
    }
    // Hang-up of a call that carried voice: the far end gets whole blocks.
    socketVar = 0;
    VoiceSender sender = std::move(it->second);
    voice_.erase(it);
    oddByte_.erase(s);
    sender.finish();
    // The last block may be larger than what may wait unsent during the call.
    const int noLimit = 0;
    ::setsockopt(s, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &noLimit, sizeof noLimit);
    if (!FlushVoice(s, sender) || sender.done()) {
        FinishDrain(s);
        return;
    }
    // The socket is full: the rest goes out in the background, without
    // any event for the call logic, and the socket closes after it.
    draining_.emplace(s, std::move(sender));
    async_.Select(s, 0);
    async_.WhenWritable(s, [this, s] { Drain(s); });
    QTimer::singleShot(kVoiceDrainMs, &async_, [this, s] {
        if (draining_.count(s))
            FinishDrain(s);
    });
}

void SocketLayer::Drain(int s)
{
    auto it = draining_.find(s);
    if (it == draining_.end())
        return;
    if (FlushVoice(s, it->second) && !it->second.done())
        async_.WhenWritable(s, [this, s] { Drain(s); });
    else
        FinishDrain(s);
}

void SocketLayer::FinishDrain(int s)
{
    draining_.erase(s);
    async_.Forget(s);
    // Voice the far end sent meanwhile is read away: closing on unread
    // data would reset the connection instead of ending it after our bytes.
    char scrap[4096];
    for (int i = 0; i < 16 && ::recv(s, scrap, sizeof scrap, MSG_DONTWAIT) > 0; ++i) { }
    ::shutdown(s, SHUT_RDWR);
    ::close(s);
}

std::uint64_t SocketLayer::sentVoiceBytes(int socket) const
{
    auto it = voice_.find(socket);
    return it == voice_.end() ? 0 : it->second.sentBytes();
}

void SocketLayer::SendVoiceData(int& socketVar, const char* data, int count)
{
    const int s = socketVar;
    if (s <= 0)
        return;
    try {
        auto it = voice_.find(s);
        if (it == voice_.end()) {
            // The first voice on this call: small pieces go out at once, and
            // little may queue in the kernel behind a stalled network.
            SetVoiceSocketOptions(s, kVoiceUnsentBytes);
            it = voice_.emplace(s, VoiceSender(kVoiceUnsentBytes, kVoiceBlockBytes)).first;
        }
        VoiceSender& sender = it->second;
        const std::uint64_t dropsBefore = sender.drops();
        const std::uint64_t droppedBefore = sender.droppedBytes();
        // A large piece goes in parts, each offered to the socket before the
        // next: only what the socket cannot take counts as waiting.
        bool alive = true;
        for (int at = 0; at < count && alive; at += kVoiceUnsentBytes) {
            sender.capture(data + at, std::min(kVoiceUnsentBytes, count - at));
            alive = FlushVoice(s, sender);
        }
        drops_ += sender.drops() - dropsBefore;
        droppedBytes_ += sender.droppedBytes() - droppedBefore;
        if (!alive)
            return; // a dead connection: its close event ends the call
        if (sender.unsentBytes() > 0)
            FlushLater(s);
    } catch (...) {
        main_.setText1(QStringLiteral("SndERROR"));
    }
}

void SocketLayer::FlushLater(int s)
{
    async_.WhenWritable(s, [this, s] {
        auto it = voice_.find(s);
        if (it != voice_.end() && FlushVoice(s, it->second) && it->second.unsentBytes() > 0)
            FlushLater(s);
    });
}

bool SocketLayer::FlushVoice(int s, VoiceSender& sender)
{
    while (sender.unsentBytes() > 0) {
        const ssize_t sent = ::send(s, sender.unsent(), size_t(sender.unsentBytes()), MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        sender.sent(int(sent));
    }
    return true;
}

int SocketLayer::ReceiveVoiceData(int& socketVar, const char** received)
{
    if (socketVar <= 0)
        return 0;
    try {
        if (st_.VoiceRecvCount < 0 || st_.VoiceRecvCount >= kVoiceBlockBytes)
            st_.VoiceRecvCount = 0;
        char* at = st_.VoiceRecvBuffer.data() + st_.VoiceRecvCount;
        const ssize_t got = ::recv(socketVar, at, size_t(kVoiceBlockBytes - st_.VoiceRecvCount), 0);
        if (socketVar > 0)
            async_.Rearm(socketVar);
        if (got > 0)
            st_.VoiceRecvCount += std::int32_t(got);
        if (st_.VoiceRecvCount >= kVoiceBlockBytes) {
            st_.VoiceRecvCount = 0;
            st_.VoiceBlockReady = true;
        }
        if (received)
            *received = at;
        return got > 0 ? int(got) : 0;
    } catch (...) {
        main_.setText1(QStringLiteral("RecvERROR"));
        return 0;
    }
}

void SocketLayer::SendTextMessage(int& socketVar)
{
    // Longer texts are cut: the message buffer holds 2500 characters.
    if (socketVar <= 0)
        return;
    const QByteArray bytes = EncodeWireText(st_.SendText.left(kMaxTextChars));
    ::send(socketVar, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL);
}

void SocketLayer::ReceiveTextMessage(int& socketVar)
{
    st_.RecvText.clear();
    const int s = socketVar;
    if (s <= 0)
        return;
    try {
        char buffer[1 + kTextReadChunkBytes];
        int total = 0;
        // Bounded per event: a peer that never stops sending must not
        // freeze the phone; the rest comes with the next read event.
        while (total < kTextReadBytesPerEvent) {
            int carried = 0;
            if (auto odd = oddByte_.find(s); odd != oddByte_.end()) {
                buffer[0] = odd->second;
                oddByte_.erase(odd);
                carried = 1;
            }
            const ssize_t got = ::recv(s, buffer + carried, kTextReadChunkBytes, 0);
            const int have = carried + int(std::max<ssize_t>(got, 0));
            // A character whose second byte has not come yet waits for it.
            if (have % 2)
                oddByte_[s] = buffer[have - 1];
            if (got <= 0)
                break;
            total += int(got);
            st_.RecvText += DecodeWireText(buffer, have - have % 2);
        }
        if (s > 0)
            async_.Rearm(s);
    } catch (...) {
        ShutdownAndClose(socketVar);
    }
}

} // namespace voxlet
