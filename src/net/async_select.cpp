#include "net/async_select.h"

#include "call/app_state.h"
#include "net/winsock_errors.h"

#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <sys/socket.h>

namespace voxlet {

AsyncSelect::AsyncSelect(Sink sink, QObject* parent)
    : QObject(parent)
    , sink_(std::move(sink))
{
}

AsyncSelect::~AsyncSelect()
{
    for (auto& [fd, e] : entries_) {
        delete e.read;
        delete e.write;
    }
}

void AsyncSelect::Select(int socket, int mask)
{
    if (socket <= 0)
        return;
    Entry& e = entries_[socket];
    e.mask = mask;
    if (!e.read) {
        e.generation = ++generations_;
        e.read = new QSocketNotifier(socket, QSocketNotifier::Read, this);
        e.read->setEnabled(false);
        connect(e.read, &QSocketNotifier::activated, this, [this, socket] { OnReadable(socket); });
        e.write = new QSocketNotifier(socket, QSocketNotifier::Write, this);
        e.write->setEnabled(false);
        connect(e.write, &QSocketNotifier::activated, this, [this, socket] { OnWritable(socket); });
    }
    // An accepted socket is selected without FD_CONNECT: it is connected already.
    if (e.phase == Phase::Fresh && !(mask & (FD_CONNECT | FD_ACCEPT)))
        e.phase = Phase::Connected;
    UpdateNotifiers(socket, e);
}

void AsyncSelect::ConnectStarted(int socket, int connectErrno)
{
    auto it = entries_.find(socket);
    if (it == entries_.end())
        return;
    Entry& e = it->second;
    if (connectErrno == 0 || connectErrno == EINPROGRESS) {
        e.phase = Phase::Connecting;
        UpdateNotifiers(socket, e);
        return;
    }
    // Refused at once (e.g. an unreachable or broadcast address): report it
    // from the event loop, as a connect that finished with an error.
    e.phase = Phase::Failed;
    UpdateNotifiers(socket, e);
    const int code = WinsockCodeFromErrno(connectErrno);
    QTimer::singleShot(0, this, [this, socket, code, generation = e.generation] {
        auto found = entries_.find(socket);
        if (found != entries_.end() && found->second.generation == generation
            && found->second.phase == Phase::Failed && (found->second.mask & FD_CONNECT))
            Post(socket, FD_CONNECT, code);
    });
}

void AsyncSelect::Rearm(int socket)
{
    auto it = entries_.find(socket);
    if (it == entries_.end() || it->second.readArmed)
        return;
    it->second.readArmed = true;
    UpdateNotifiers(socket, it->second);
    if (it->second.pending)
        PostPending(socket, it->second);
}

void AsyncSelect::ReadPending(int socket)
{
    auto it = entries_.find(socket);
    if (it == entries_.end())
        return;
    it->second.pending = true;
    PostPending(socket, it->second);
}

void AsyncSelect::PostPending(int socket, Entry& e)
{
    if (e.pendingPosted || !e.readArmed)
        return; // reported once the program has read
    e.pendingPosted = true;
    QTimer::singleShot(0, this, [this, socket, generation = e.generation] {
        auto it = entries_.find(socket);
        if (it == entries_.end() || it->second.generation != generation)
            return;
        Entry& e = it->second;
        e.pendingPosted = false;
        if (!e.pending || !e.readArmed || e.phase != Phase::Connected)
            return;
        e.pending = false;
        e.readArmed = false;
        if (e.mask & FD_READ)
            Post(socket, FD_READ, 0);
        Refresh(socket);
    });
}

void AsyncSelect::Forget(int socket)
{
    auto it = entries_.find(socket);
    if (it == entries_.end())
        return;
    // We may be inside one of these notifiers' own signal: delete later.
    for (QSocketNotifier* n : { it->second.read, it->second.write }) {
        if (n) {
            n->setEnabled(false);
            n->disconnect(this);
            n->deleteLater();
        }
    }
    entries_.erase(it);
}

void AsyncSelect::WhenWritable(int socket, std::function<void()> callback)
{
    auto it = entries_.find(socket);
    if (it == entries_.end())
        return;
    it->second.writable = std::move(callback);
    UpdateNotifiers(socket, it->second);
}

void AsyncSelect::UpdateNotifiers(int socket, Entry& e)
{
    (void)socket;
    bool wantRead = false;
    bool wantWrite = false;
    switch (e.phase) {
    case Phase::Fresh:
        wantRead = (e.mask & FD_ACCEPT) && e.readArmed;
        break;
    case Phase::Connecting:
        wantWrite = true;
        break;
    case Phase::Connected:
        wantRead = (e.mask & (FD_READ | FD_CLOSE)) && e.readArmed;
        wantWrite = bool(e.writable);
        break;
    case Phase::Failed:
    case Phase::Closed:
        break;
    }
    if (e.read)
        e.read->setEnabled(wantRead);
    if (e.write)
        e.write->setEnabled(wantWrite);
}

void AsyncSelect::Post(int socket, int event, int error)
{
    if (sink_)
        sink_(socket, event, error);
}

void AsyncSelect::OnReadable(int socket)
{
    auto it = entries_.find(socket);
    if (it == entries_.end())
        return;
    Entry& e = it->second;
    if (!e.readArmed) {
        // Fired again inside a handler's nested event loop before the
        // program read: quiet until it does.
        UpdateNotifiers(socket, e);
        return;
    }
    // The notifier stays enabled while the event is handled: a handler that
    // reads rearms at once, and switching the notifier off and on again
    // for every read would wake the event loop twice as often.
    if (e.phase == Phase::Fresh && (e.mask & FD_ACCEPT)) {
        e.readArmed = false;
        Post(socket, FD_ACCEPT, 0);
        Refresh(socket);
        return;
    }
    char probe;
    // Bytes the program still holds come before what the kernel says now
    // (a close behind them in particular).
    const ssize_t n = e.pending ? 1 : ::recv(socket, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    e.pending = false;
    if (n > 0) {
        e.readArmed = false;
        if (e.mask & FD_READ)
            Post(socket, FD_READ, 0);
        Refresh(socket);
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    const int code = n == 0 ? 0 : WinsockCodeFromErrno(errno);
    e.phase = Phase::Closed;
    e.writable = nullptr;
    UpdateNotifiers(socket, e);
    if (e.mask & FD_CLOSE)
        Post(socket, FD_CLOSE, code);
}

void AsyncSelect::Refresh(int socket)
{
    auto it = entries_.find(socket);
    if (it != entries_.end())
        UpdateNotifiers(socket, it->second);
}

void AsyncSelect::OnWritable(int socket)
{
    auto it = entries_.find(socket);
    if (it == entries_.end())
        return;
    Entry& e = it->second;
    if (e.phase == Phase::Connecting) {
        int soError = 0;
        socklen_t len = sizeof soError;
        if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &soError, &len) != 0)
            soError = errno;
        if (soError == 0) {
            sockaddr_storage peer {};
            socklen_t plen = sizeof peer;
            if (getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &plen) != 0)
                soError = errno == ENOTCONN ? ECONNREFUSED : errno;
        }
        e.phase = soError == 0 ? Phase::Connected : Phase::Failed;
        UpdateNotifiers(socket, e);
        if (e.mask & FD_CONNECT)
            Post(socket, FD_CONNECT, WinsockCodeFromErrno(soError));
        return;
    }
    if (e.phase == Phase::Connected && e.writable) {
        auto callback = std::move(e.writable);
        e.writable = nullptr;
        UpdateNotifiers(socket, e);
        callback();
    }
}

} // namespace voxlet
