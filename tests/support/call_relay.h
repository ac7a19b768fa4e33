#pragma once
// A relay of the test's own between two phones, on a thread of its own: it
// takes one call on `at`:8002 and dials `to`:8002 for it from `from`. Each
// read may be changed on its way; the phones write each text and handshake
// message whole and then wait, so on loopback each comes in a read of its own.

#include <QByteArray>
#include <QString>

#include <atomic>
#include <functional>
#include <thread>

namespace voxlet::test {

class CallRelay {
public:
    // A read going on (toCalled: from the dialling side); `back` goes back to where it came from.
    using Tamper = std::function<void(bool toCalled, QByteArray& read, QByteArray& back)>;
    CallRelay(const QString& at, const QString& from, const QString& to, Tamper tamper = {});
    ~CallRelay();

private:
    std::atomic<bool> stop_ { false };
    std::thread thread_;
};

// An active man in the middle: a handshake of his own with each side,
// under a key of his own; the voice of neither goes on.
CallRelay::Tamper ManInTheMiddle();

} // namespace voxlet::test
