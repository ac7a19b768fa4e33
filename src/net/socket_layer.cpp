#include "net/socket_layer.h"

#include "call/ports.h"
#include "net/address.h"
#include "net/async_select.h"
#include "net/happy_dialer.h"
#include "net/peer_address.h"
#include "net/voice_socket_options.h"
#include "net/winsock_errors.h"

#include <QEventLoop>
#include <QSocketNotifier>
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

// Sends what waits; false when the connection failed.
bool FlushVoice(int s, VoiceSender& sender)
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
} // namespace

// A hung-up call's socket from the hang-up to its close. It owns the socket,
// its notifiers and its time-out, so nothing of it can reach a later socket
// that gets the same number.
class SocketLayer::VoiceDrain {
public:
    VoiceDrain(int fd, VoiceSender sender, int withinMs, std::function<void()> ended)
        : fd_(fd)
        , sender_(std::move(sender))
        , ended_(std::move(ended))
        , read_(fd, QSocketNotifier::Read)
        , write_(fd, QSocketNotifier::Write)
    {
        read_.setEnabled(false);
        write_.setEnabled(false);
        QObject::connect(&read_, &QSocketNotifier::activated, [this] { Step(); });
        QObject::connect(&write_, &QSocketNotifier::activated, [this] { Step(); });
        deadline_.setSingleShot(true);
        QObject::connect(&deadline_, &QTimer::timeout, [this] { Finish(); });
        deadline_.start(withinMs);
    }

    bool open() const { return fd_ >= 0; }

    // At most this long from now.
    void Shorten(int withinMs)
    {
        if (open() && deadline_.remainingTime() > withinMs)
            deadline_.start(withinMs);
    }

    void Step()
    {
        if (!open())
            return;
        if (!ReadAway())
            return Finish(); // reset: nothing more can reach the peer
        if (!shut_) {
            if (!FlushVoice(fd_, sender_))
                return Finish();
            if (sender_.done()) {
                // Our FIN right behind the last byte.
                ::shutdown(fd_, SHUT_WR);
                shut_ = true;
            }
        }
        if (shut_ && peerClosed_)
            return Finish();
        read_.setEnabled(!peerClosed_);
        write_.setEnabled(!shut_);
    }

    void Finish()
    {
        if (!open())
            return;
        read_.setEnabled(false);
        write_.setEnabled(false);
        deadline_.stop();
        ReadAway();
        ::shutdown(fd_, SHUT_RDWR);
        ::close(fd_);
        fd_ = -1;
        ended_();
    }

private:
    // The peer's voice is read and dropped until it closes: closing on
    // unread data, or data arriving after the close, would reset the
    // connection, and a reset can take our last bytes with it.
    bool ReadAway()
    {
        char scrap[4096];
        for (int i = 0; i < 64 && !peerClosed_; ++i) {
            const ssize_t n = ::recv(fd_, scrap, sizeof scrap, MSG_DONTWAIT);
            if (n > 0)
                continue;
            if (n == 0) {
                peerClosed_ = true;
                break;
            }
            if (errno == EINTR)
                continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        return true;
    }

    int fd_;
    VoiceSender sender_;
    std::function<void()> ended_;
    QSocketNotifier read_;
    QSocketNotifier write_;
    QTimer deadline_;
    bool shut_ = false;
    bool peerClosed_ = false;
};

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
    for (auto& d : drains_)
        d->Finish();
}

int SocketLayer::drainingSockets() const
{
    return int(std::count_if(drains_.begin(), drains_.end(), [](const auto& d) { return d->open(); }));
}

void SocketLayer::DrainEnded()
{
    if (exitWait_ && drainingSockets() == 0)
        exitWait_->quit();
}

void SocketLayer::StartNetwork()
{
    // Nothing to start on POSIX; a socket we cannot create means no network.
    const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        boxes_.show(QStringLiteral("初期化失敗"), MessageIcon::None, kAppTitle);
        return;
    }
    ::close(probe);
}

void SocketLayer::Cleanup()
{
    // Exit leaves the connection-server socket to the clean-up.
    if (st_.ServerSocket > 0)
        CloseSocket(st_.ServerSocket);
    if (exitWait_ || drainingSockets() == 0)
        return;
    // The process ends after this: hung-up calls get at most a second to
    // hand over their last block and see the peer's close.
    for (auto& d : drains_)
        d->Shorten(kExitDrainMs);
    QEventLoop wait;
    exitWait_ = &wait;
    wait.exec(QEventLoop::ExcludeUserInputEvents);
    exitWait_ = nullptr;
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
    bool dual = !options_.localAddress || options_.ownIPv6;
    st_.ListenSocket = dual ? NewSocket(AF_INET6) : -1;
    if (st_.ListenSocket < 0) {
        dual = false;
        st_.ListenSocket = NewSocket();
    }
    if (st_.ListenSocket < 0) {
        st_.ListenSocket = 0;
        boxes_.show(QStringLiteral("リスンソケット作成失敗"), MessageIcon::None, kAppTitle);
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
        boxes_.show(WinsockErrorText(lastError), MessageIcon::None, kAppTitle);
    if (bound != 0) {
        boxes_.show(QStringLiteral("BINDできません。"), MessageIcon::None, kAppTitle);
        CloseSocket(st_.ListenSocket);
        return true;
    }
    if (::listen(st_.ListenSocket, 0) != 0) {
        boxes_.show(QStringLiteral("リスン失敗"), MessageIcon::None, kAppTitle);
        CloseSocket(st_.ListenSocket);
        return true;
    }
    dualStack_ = dual;
    listenIPv6_ = options_.ownIPv6 ? *options_.ownIPv6 : LocalIPv6Address();
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

void SocketLayer::Connect(int& socketVar, const sockaddr_in& to)
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
    const int r = ::connect(socketVar, reinterpret_cast<const sockaddr*>(&to), sizeof to);
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
        // A dotted address, or a name with only IPv4: as it always was
        // (and the name is not looked up a second time).
        Connect(socketVar, reinterpret_cast<const sockaddr_in&>(targets.front().address));
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
    Connect(st_.ServerSocket, MakeAddress(ResolveAddress(host), options_.serverPort));
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
    if (fd > 0 && !OnOwnAddress(fd)) {
        // A VPN's, a bridge's or another card's address: not this phone's
        // line. Closed at once, as a busy phone closes a caller.
        ::close(fd);
        fd = -1;
        error = wsa::EWOULDBLOCK_;
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

bool SocketLayer::OnOwnAddress(int fd) const
{
    if (!dualStack_)
        return true; // bound to the own address itself
    sockaddr_storage local {};
    socklen_t length = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return false;
    sockaddr_in v4 {};
    if (AsIPv4(local, v4))
        return std::int32_t(v4.sin_addr.s_addr) == OwnAddress()
            || (!mappedIPv4_.isEmpty() && FormatPeerAddress(local) == mappedIPv4_);
    return !listenIPv6_.isEmpty() && FormatPeerAddress(local) == listenIPv6_;
}

QString SocketLayer::WaitingText(int socket) const
{
    char bytes[256];
    const ssize_t n = socket > 0 ? ::recv(socket, bytes, sizeof bytes, MSG_PEEK | MSG_DONTWAIT) : -1;
    return n > 0 ? DecodeWireText(bytes, int(n)) : QString();
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
    unread_.erase(socket);
    if (lastTextSocket_ == socket) {
        lastTextSocket_ = 0;
        lastText_.clear();
    }
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
    Release(s); // from here the drain alone owns the socket
    sender.finish();
    // The last block may be larger than what may wait unsent during the call.
    const int noLimit = 0;
    ::setsockopt(s, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &noLimit, sizeof noLimit);
    drains_.erase(std::remove_if(drains_.begin(), drains_.end(), [](const auto& d) { return !d->open(); }),
        drains_.end());
    drains_.push_back(
        std::make_unique<VoiceDrain>(s, std::move(sender), kVoiceDrainMs, [this] { DrainEnded(); }));
    drains_.back()->Step();
}

std::uint64_t SocketLayer::sentVoiceBytes(int socket) const
{
    auto it = voice_.find(socket);
    return it == voice_.end() ? 0 : it->second.sentBytes();
}

void SocketLayer::SendVoiceData(int& socketVar, const char* data, int count)
{
    if (socketVar > 0)
        SendVoice(socketVar, data, count, false);
}

void SocketLayer::SendVoiceFrame(int& socketVar, const char* frame, int bytes)
{
    if (socketVar > 0)
        SendVoice(socketVar, frame, bytes, true);
}

bool SocketLayer::RoomForVoiceFrame(int& socketVar, int bytes)
{
    const auto it = voice_.find(socketVar);
    if (it == voice_.end() || !it->second.full())
        return true;
    ++drops_;
    droppedBytes_ += std::uint64_t(std::max(0, bytes));
    return false;
}

void SocketLayer::SendVoice(int s, const char* data, int count, bool framed)
{
    try {
        auto it = voice_.find(s);
        if (it == voice_.end()) {
            // The first voice on this call: small pieces go out at once, and
            // little may queue in the kernel behind a stalled network.
            SetVoiceSocketOptions(s, framed ? kFramedUnsentBytes : kVoiceUnsentBytes);
            it = voice_
                     .emplace(s,
                         framed ? VoiceSender::Framed(kVoiceUnsentFrames)
                                : VoiceSender(kVoiceUnsentBytes, kVoiceBlockBytes))
                     .first;
        }
        VoiceSender& sender = it->second;
        const std::uint64_t dropsBefore = sender.drops();
        const std::uint64_t droppedBefore = sender.droppedBytes();
        // A large piece goes in parts, each offered to the socket before the
        // next: only what the socket cannot take counts as waiting. A frame
        // stays whole.
        bool alive = true;
        const int part = sender.framed() ? std::max(count, 1) : kVoiceUnsentBytes;
        for (int at = 0; at < count && alive; at += part) {
            sender.capture(data + at, std::min(part, count - at));
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

int SocketLayer::ReceiveVoiceData(int& socketVar, const char** received)
{
    if (socketVar <= 0)
        return 0;
    try {
        if (st_.VoiceRecvCount < 0 || st_.VoiceRecvCount >= kVoiceBlockBytes)
            st_.VoiceRecvCount = 0;
        char* at = st_.VoiceRecvBuffer.data() + st_.VoiceRecvCount;
        const int room = kVoiceBlockBytes - st_.VoiceRecvCount;
        ssize_t got = 0;
        if (auto u = unread_.find(socketVar); u != unread_.end()) {
            // Voice that came in one read with the answer: it is read first.
            Unread& left = u->second;
            got = std::min<qsizetype>(left.bytes.size() - left.at, room);
            std::memcpy(at, left.bytes.constData() + left.at, size_t(got));
            ConsumeUnread(u, got);
        } else {
            got = ::recv(socketVar, at, size_t(room), 0);
        }
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
        QByteArray raw;
        if (auto u = unread_.find(s); u != unread_.end()) {
            // What was left unhandled, one read's worth at a time; the
            // kernel keeps the rest meanwhile, so this stays bounded.
            Unread& left = u->second;
            qsizetype take = std::min<qsizetype>(kTextReadChunkBytes, left.bytes.size() - left.at);
            if (left.bytes.size() - left.at - take == 1)
                ++take; // a lone last byte waits below as half a character
            raw = left.bytes.mid(left.at, take);
            ConsumeUnread(u, take);
        } else {
            if (auto odd = oddByte_.find(s); odd != oddByte_.end()) {
                raw.append(odd->second);
                oddByte_.erase(odd);
            }
            char buffer[kTextReadChunkBytes];
            int total = 0;
            // Bounded per event: a peer that never stops sending must not
            // freeze the phone; the rest comes with the next read event.
            while (total < kTextReadBytesPerEvent) {
                const ssize_t got = ::recv(s, buffer, sizeof buffer, 0);
                if (got <= 0)
                    break;
                total += int(got);
                raw.append(buffer, got);
            }
        }
        // A character whose second byte has not come yet waits for it.
        if (raw.size() % 2)
            oddByte_[s] = raw.back();
        st_.RecvText = DecodeWireText(raw.constData(), int(raw.size() - raw.size() % 2));
        lastTextSocket_ = s;
        lastText_ = std::move(raw);
        async_.Rearm(s);
    } catch (...) {
        ShutdownAndClose(socketVar);
    }
}

void SocketLayer::ConsumeUnread(std::unordered_map<int, Unread>::iterator u, qsizetype bytes)
{
    u->second.at += bytes;
    if (u->second.at >= u->second.bytes.size())
        unread_.erase(u);
    else
        async_.ReadPending(u->first);
}

void SocketLayer::KeepUnread(int& socketVar, qsizetype fromChar)
{
    const int s = socketVar;
    const qsizetype from = 2 * fromChar;
    if (s <= 0 || s != lastTextSocket_ || from < 0 || from >= lastText_.size())
        return;
    oddByte_.erase(s); // it is the last of these bytes
    const qsizetype back = lastText_.size() - from;
    if (auto u = unread_.find(s); u != unread_.end())
        u->second.at -= back; // the last read came from there: step back
    else
        unread_[s] = Unread { lastText_.mid(from), 0 };
    lastText_.clear();
    lastTextSocket_ = 0;
    async_.ReadPending(s);
}

void SocketLayer::VoiceFollowsText(int& socketVar)
{
    const int s = socketVar;
    auto odd = s > 0 ? oddByte_.find(s) : oddByte_.end();
    if (odd == oddByte_.end())
        return;
    unread_[s].bytes.append(odd->second);
    oddByte_.erase(odd);
    async_.ReadPending(s);
}

void SocketLayer::DropUnhandledText(int& socketVar)
{
    const int s = socketVar;
    if (s <= 0)
        return;
    unread_.erase(s);
    oddByte_.erase(s);
    char scrap[4096];
    for (int total = 0; total < kTextReadBytesPerEvent;) {
        const ssize_t got = ::recv(s, scrap, sizeof scrap, MSG_DONTWAIT);
        if (got <= 0)
            break;
        total += int(got);
    }
    async_.Rearm(s);
}

} // namespace voxlet
