#pragma once
// A plain blocking TCP peer for byte-level tests, meant to run on its own
// thread while the phones run the event loop.

#include "support/test_support.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <netinet/in.h>

namespace voxlet::test {

class RawSocket {
public:
    RawSocket() = default;
    explicit RawSocket(int fd)
        : fd_(fd)
    {
    }
    RawSocket(RawSocket&& o) noexcept
        : fd_(o.fd_)
    {
        o.fd_ = -1;
    }
    RawSocket& operator=(RawSocket&& o) noexcept;
    ~RawSocket();

    // Creates the socket now (connectTo reuses it).
    void prepare();
    // Connects from `from` (may be empty) to host:port; false on failure.
    bool connectTo(const QString& from, const QString& host, std::uint16_t port);
    // Listens on host:port.
    bool listenOn(const QString& host, std::uint16_t port);
    RawSocket accept(int timeoutMs);

    // Dials the phone at host:8002, takes its greeting and asks for a call
    // as `name`; false when something of that failed.
    bool ring(const QString& from, const QString& host, const QString& name = QStringLiteral("Raw"));
    // Waits for the phone's answer; false when it did not come.
    bool awaitAnswer();

    bool sendAll(const QByteArray& bytes);
    // Reads exactly n bytes, or what came before the timeout / close.
    QByteArray readExactly(int n, int timeoutMs);
    // A read found the peer's close or reset.
    bool closedByPeer() const { return closedByPeer_; }
    // Reads whatever arrives within the time.
    QByteArray readFor(int timeoutMs);
    void setReceiveBuffer(int bytes);
    // Closes with a reset instead of an orderly close.
    void reset();
    void close();
    int fd() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

private:
    int fd_ = -1;
    bool closedByPeer_ = false;
};

sockaddr_in SocketAddress(const QString& host, std::uint16_t port);

// The same on plain descriptors, for a test whose own thread runs the
// phones' events: non-blocking once connected, every wait keeps the events
// turning. RawConnect connects blocking (the kernel completes it from the
// listen queue); -1 on failure.
int RawConnect(const QString& from, const QString& to, int port = 8002, int receiveBuffer = 0);
int RawListen(const QString& at, int port);
int RawAccept(int listener);
// Closes with a reset (RST) instead of an orderly FIN.
void Reset(int& fd);
void SendAll(int fd, const QByteArray& bytes);
// Reads what is there now; false once the far end closed or reset.
bool ReadAvailable(int fd, QByteArray& into);
// Waits until `fd` has received `text` (UTF-16); `all` gets everything read.
bool Receive(int fd, const QString& text, QByteArray* all = nullptr);

} // namespace voxlet::test
