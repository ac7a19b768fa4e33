#pragma once
// Two addresses of one host (IPv6 first, then IPv4): the first is dialled on
// the socket the program holds; if it has not connected within 250 ms, or
// fails, the second is dialled on a socket of its own; whichever connects
// first ends up under the program's descriptor number (the other is closed
// then, and nothing after that moves it), so the call logic sees one socket
// and one connect event, as with a single address.

#include "net/peer_address.h"

#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>

class QSocketNotifier;

namespace voxlet {

constexpr int kSecondFamilyDelayMs = 250;

class HappyDialer : public QObject {
    Q_OBJECT
public:
    // fd is dialling the first address (connect() gave firstErrno); prepare
    // sets a new socket up as fd was; done gets 0 once one connected, or
    // the first address's error once both failed. done is called once, from
    // the event loop, and the dialer may be deleted inside it.
    HappyDialer(int fd, int firstErrno, DialTarget second, std::function<void(int socket)> prepare,
        std::function<void(int connectErrno)> done);
    ~HappyDialer() override;

private:
    void StartSecond();
    void OnFirst();
    void OnSecond();
    void SecondFailed();
    void Finish(int connectErrno);

    int fd_;
    int firstError_ = 0;
    bool firstFailed_ = false;
    DialTarget second_;
    int secondFd_ = -1;
    bool secondFailed_ = false;
    bool finished_ = false;
    std::function<void(int)> prepare_;
    std::function<void(int)> done_;
    std::unique_ptr<QSocketNotifier> first_;
    std::unique_ptr<QSocketNotifier> secondNotifier_;
    QTimer timer_;
};

} // namespace voxlet
