#include "shell/qt/session_end.h"

#include <QCoreApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>

#include <sys/signalfd.h>
#include <unistd.h>

namespace voxlet {

namespace {

sigset_t TerminationSignals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}

} // namespace

void SessionEnd::BlockTerminationSignals()
{
    const sigset_t set = TerminationSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

SessionEnd::SessionEnd(QObject* parent)
    : QObject(parent)
{
    sigset_t blocked;
    pthread_sigmask(SIG_BLOCK, nullptr, &blocked);
    const sigset_t wanted = TerminationSignals();
    sigset_t watched;
    sigemptyset(&watched);
    // Only signals that are blocked wait for the descriptor; the others keep
    // their usual effect.
    for (int sig : { SIGTERM, SIGINT, SIGHUP })
        if (sigismember(&wanted, sig) && sigismember(&blocked, sig))
            sigaddset(&watched, sig);
    if (!sigisemptyset(&watched)) {
        signalFd_ = ::signalfd(-1, &watched, SFD_NONBLOCK | SFD_CLOEXEC);
        if (signalFd_ >= 0) {
            notifier_ = std::make_unique<QSocketNotifier>(signalFd_, QSocketNotifier::Read);
            connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { readSignal(); });
        }
    }
    if (auto* gui = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        // The session manager asks to save before logout or shutdown; there is
        // nothing to save, but the calls and the listener must be ended cleanly.
        connect(gui, &QGuiApplication::commitDataRequest, this, [this] { request(); });
    }
    if (QCoreApplication* app = QCoreApplication::instance()) {
        // A quit the platform asks for (the session manager's "die") closes the
        // windows first, which the main window would refuse.
        app->installEventFilter(this);
        connect(app, &QCoreApplication::aboutToQuit, this, [this] { request(); });
    }
}

SessionEnd::~SessionEnd()
{
    notifier_.reset();
    if (signalFd_ >= 0)
        ::close(signalFd_);
}

bool SessionEnd::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == QCoreApplication::instance() && event->type() == QEvent::Quit)
        request();
    return QObject::eventFilter(watched, event);
}

void SessionEnd::readSignal()
{
    signalfd_siginfo info {};
    bool got = false;
    for (;;) {
        const ssize_t n = ::read(signalFd_, &info, sizeof info);
        if (n == ssize_t(sizeof info)) {
            got = true;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        break;
    }
    if (!got)
        return;
    if (requested_) {
        // Asked again while shutting down (a hung shut-down): end at once.
        std::signal(int(info.ssi_signo), SIG_DFL);
        sigset_t one;
        sigemptyset(&one);
        sigaddset(&one, int(info.ssi_signo));
        pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
        ::raise(int(info.ssi_signo));
        return;
    }
    request();
}

void SessionEnd::request()
{
    if (requested_)
        return;
    requested_ = true;
    emit endRequested();
}

} // namespace voxlet
