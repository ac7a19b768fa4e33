#pragma once
// Our stand-in for the Windows asynchronous select: per-socket interest in
// accept, connect finished, readable and closed, turned into (socket, event,
// error) notifications delivered one at a time on the Qt main thread.
//
// Like Winsock, a read or accept notification is not repeated until the
// program has read from (or accepted on) the socket again: the socket layer
// calls Rearm after each recv/accept. This keeps a socket the program does
// not read from from spinning the event loop.

#include <QObject>

#include <cstdint>

#include <functional>
#include <memory>
#include <unordered_map>

class QSocketNotifier;

namespace voxlet {

class AsyncSelect : public QObject {
    Q_OBJECT
public:
    // error is a Winsock code (0 for none).
    using Sink = std::function<void(int socket, int event, int error)>;

    explicit AsyncSelect(Sink sink, QObject* parent = nullptr);
    ~AsyncSelect() override;

    // Replaces the socket's interest mask (FD_READ | FD_ACCEPT | FD_CONNECT | FD_CLOSE).
    void Select(int socket, int mask);
    // Tells the layer what connect() returned (0 or an errno value).
    void ConnectStarted(int socket, int connectErrno);
    // The program has read from / accepted on the socket: report it again when ready.
    void Rearm(int socket);
    // Called just before the socket is closed; no event for it is delivered afterwards.
    void Forget(int socket);
    // Calls back once when the socket can take more data (for queued voice).
    void WhenWritable(int socket, std::function<void()> callback);
    // The program holds bytes it read from the socket but has not handled:
    // a read notification follows (before any close), even when the kernel
    // has nothing new.
    void ReadPending(int socket);

    bool Knows(int socket) const { return entries_.count(socket) != 0; }

private:
    enum class Phase { Fresh, Connecting, Connected, Failed, Closed };
    struct Entry {
        int mask = 0;
        Phase phase = Phase::Fresh;
        bool readArmed = true;
        QSocketNotifier* read = nullptr;
        QSocketNotifier* write = nullptr;
        std::function<void()> writable;
        // Tells this socket from a later one that gets the same number.
        std::uint64_t generation = 0;
        bool pending = false; // ReadPending not yet reported
        bool pendingPosted = false;
    };

    void OnReadable(int socket);
    void OnWritable(int socket);
    void UpdateNotifiers(int socket, Entry& e);
    // The notifiers as the entry now wants them, if it still exists.
    void Refresh(int socket);
    void Post(int socket, int event, int error);
    // Reports pending bytes from the event loop, once the program has read.
    void PostPending(int socket, Entry& e);

    Sink sink_;
    std::unordered_map<int, Entry> entries_;
    std::uint64_t generations_ = 0;
};

} // namespace voxlet
