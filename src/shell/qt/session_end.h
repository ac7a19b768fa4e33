#pragma once
// The ends of the program that the user does not choose in the window: the
// desktop session ending (logout, shutdown), a quit asked by the platform,
// and SIGTERM, SIGINT or SIGHUP. Each is reported once as endRequested(),
// so the program can shut down as its own exit command does instead of
// refusing like the close box or dying half-way.

#include <QObject>

#include <memory>

class QSocketNotifier;

namespace voxlet {

class SessionEnd : public QObject {
    Q_OBJECT
public:
    // Blocks the termination signals in the calling thread; call it first in
    // main(), before any thread exists, so that every thread inherits the
    // mask and the signals wait for the event loop instead of killing the
    // process half-way through a save or a call.
    static void BlockTerminationSignals();

    // Watches the blocked signals (through a signalfd: no handler runs) and
    // the application's session and quit notifications.
    explicit SessionEnd(QObject* parent = nullptr);
    ~SessionEnd() override;

    bool watchingSignals() const { return signalFd_ >= 0; }

signals:
    void endRequested();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void readSignal();
    void request();

    int signalFd_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
    bool requested_ = false;
};

} // namespace voxlet
