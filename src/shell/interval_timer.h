#pragma once
// A window timer as the phone uses it: armed by giving it an interval in
// milliseconds, stopped by giving it 0.

#include <QObject>
#include <QTimer>

#include <functional>

namespace voxlet {

class IntervalTimer {
public:
    explicit IntervalTimer(std::function<void()> onTick)
    {
        timer_.setTimerType(Qt::CoarseTimer);
        QObject::connect(&timer_, &QTimer::timeout, [cb = std::move(onTick)] { cb(); });
    }
    void setInterval(int ms)
    {
        if (ms <= 0) {
            timer_.stop();
            interval_ = 0;
            return;
        }
        // Arming a running timer with the same interval keeps its period.
        if (timer_.isActive() && ms == interval_)
            return;
        interval_ = ms;
        timer_.start(ms);
    }
    int interval() const { return interval_; }

private:
    QTimer timer_;
    int interval_ = 0;
};

} // namespace voxlet
