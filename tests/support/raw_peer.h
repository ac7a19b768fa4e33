#pragma once
// A plain blocking TCP peer for byte-level tests, meant to run on its own
// thread while the phones run the event loop.

#include <QByteArray>
#include <QString>

#include <cstdint>

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

    bool sendAll(const QByteArray& bytes);
    // Reads exactly n bytes, or what came before the timeout / close.
    QByteArray readExactly(int n, int timeoutMs);
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
};

QByteArray Utf16(const QString& text);

} // namespace voxlet::test
