#include "audio/ring_loops.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

namespace voxlet {

RingLoops::RingLoops(AppState& st, MediaControl& media, int pollMs)
    : st_(st)
    , media_(media)
    , pollMs_(pollMs)
{
}

void RingLoops::WaitForEvents(int ms)
{
    // Waits for events between polls instead of spinning a core.
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
    const qint64 left = ms - clock.elapsed();
    if (left > 0) // the loop returned early: the application is quitting
        QThread::msleep(static_cast<unsigned long>(left));
}

void RingLoops::RingLoop(Target target)
{
    if (shuttingDown_)
        return;
    if (running_) {
        // Loops nested per request would grow the stack with every message a
        // peer sends; a request for the call that rings already changes nothing.
        if (target.call != running_->current.call)
            running_->next = std::move(target);
        return;
    }
    Running loop { std::move(target), std::nullopt };
    running_ = &loop;
    ringingFile_ = loop.current.file;
    media_.SendString(loop.current.openCommand);
    bool again = true;
    while (again) {
        media_.SendString(QStringLiteral("Play ") + loop.current.alias + QStringLiteral(" from 0"));
        for (;;) {
            WaitForEvents(pollMs_);
            const QString mode
                = media_.SendString(QStringLiteral("Status ") + loop.current.alias + QStringLiteral(" mode"));
            if (st_.VoiceMode || st_.RingStop || shuttingDown_) {
                again = false;
                break;
            }
            if (loop.next && loop.next->call == call_) {
                // The call we rang for gave way to a newer one: ring for that.
                media_.SendString(QStringLiteral("close all"));
                loop.current = std::move(*loop.next);
                loop.next.reset();
                ringingFile_ = loop.current.file;
                media_.SendString(loop.current.openCommand);
                break;
            }
            if (loop.current.call != call_) {
                again = false;
                break;
            }
            if (mode.left(7) == QLatin1String("stopped"))
                break;
        }
    }
    running_ = nullptr;
    ringingFile_.clear();
    st_.RingStop = false;
    media_.SendString(QStringLiteral("close all"));
}

void RingLoops::PlayRing(const QString& file)
{
    RingLoop({ QStringLiteral("Open ") + file + QStringLiteral(" alias ring"), QStringLiteral("ring"),
        file.isEmpty() ? QStringLiteral("(none)") : file, call_ });
}

void RingLoops::PlayRingBack()
{
    RingLoop({ QStringLiteral("Open Ans.wav alias ans"), QStringLiteral("ans"), QStringLiteral("Ans.wav"),
        call_ });
}

} // namespace voxlet
