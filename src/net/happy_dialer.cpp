#include "net/happy_dialer.h"

#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace voxlet {

namespace {
int SocketError(int fd)
{
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
        return errno;
    return error;
}
} // namespace

HappyDialer::HappyDialer(int fd, int firstErrno, DialTarget second, std::function<void(int socket)> prepare,
    std::function<void(int connectErrno)> done)
    : fd_(fd)
    , second_(second)
    , prepare_(std::move(prepare))
    , done_(std::move(done))
{
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, [this] { StartSecond(); });
    if (firstErrno == 0) {
        QTimer::singleShot(0, this, [this] { Finish(0); });
        return;
    }
    if (firstErrno != EINPROGRESS) {
        // No route for that family at all: the other one at once.
        firstFailed_ = true;
        firstError_ = firstErrno;
        QTimer::singleShot(0, this, [this] { StartSecond(); });
        return;
    }
    first_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Write);
    connect(first_.get(), &QSocketNotifier::activated, this, [this] { OnFirst(); });
    timer_.start(kSecondFamilyDelayMs);
}

HappyDialer::~HappyDialer()
{
    first_.reset();
    secondNotifier_.reset();
    if (secondFd_ >= 0)
        ::close(secondFd_);
}

void HappyDialer::StartSecond()
{
    if (finished_ || secondFd_ >= 0 || secondFailed_)
        return;
    secondFd_ = ::socket(second_.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (secondFd_ < 0) {
        secondFailed_ = true;
        if (firstFailed_)
            Finish(firstError_);
        return;
    }
    prepare_(secondFd_);
    if (::connect(secondFd_, reinterpret_cast<const sockaddr*>(&second_.address), second_.length) == 0) {
        OnSecond();
        return;
    }
    if (errno != EINPROGRESS) {
        SecondFailed();
        return;
    }
    secondNotifier_ = std::make_unique<QSocketNotifier>(secondFd_, QSocketNotifier::Write);
    connect(secondNotifier_.get(), &QSocketNotifier::activated, this, [this] { OnSecond(); });
}

void HappyDialer::SecondFailed()
{
    // The first attempt's error is the one reported: it was the preferred family.
    secondNotifier_.reset();
    ::close(secondFd_);
    secondFd_ = -1;
    secondFailed_ = true;
    if (firstFailed_)
        Finish(firstError_);
}

void HappyDialer::OnFirst()
{
    if (finished_)
        return;
    first_->setEnabled(false);
    const int error = SocketError(fd_);
    if (error == 0) {
        Finish(0);
        return;
    }
    firstFailed_ = true;
    firstError_ = error;
    if (secondFailed_)
        Finish(firstError_);
    else
        StartSecond();
}

void HappyDialer::OnSecond()
{
    // A late "connected" in the round that already decided: the winner stays.
    if (finished_)
        return;
    if (secondNotifier_)
        secondNotifier_->setEnabled(false);
    if (SocketError(secondFd_) != 0) {
        SecondFailed();
        return;
    }
    // The second address won: it takes the number the program holds, and
    // the first attempt goes with the descriptor it replaces.
    if (first_)
        first_->setEnabled(false);
    secondNotifier_.reset();
    ::dup3(secondFd_, fd_, O_CLOEXEC);
    ::close(secondFd_);
    secondFd_ = -1;
    Finish(0);
}

void HappyDialer::Finish(int connectErrno)
{
    if (finished_)
        return;
    finished_ = true;
    timer_.stop();
    first_.reset();
    // The loser goes now, not when the dialer is deleted.
    secondNotifier_.reset();
    if (secondFd_ >= 0)
        ::close(secondFd_);
    secondFd_ = -1;
    auto done = std::move(done_);
    done(connectErrno);
}

} // namespace voxlet
