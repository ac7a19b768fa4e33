#include "audio/waveform.h"

#include "call/ports.h"

#include <QtEndian>

#include <cmath>
#include <limits>

namespace voxlet {

namespace {

// Halves go to the even neighbour, whatever the FPU rounding mode is.
int RoundHalfEven(double v)
{
    double r = std::round(v);
    if (std::fabs(v - std::trunc(v)) == 0.5)
        r = 2.0 * std::round(v / 2.0);
    if (r > std::numeric_limits<int>::max())
        return std::numeric_limits<int>::max();
    if (r < std::numeric_limits<int>::min())
        return std::numeric_limits<int>::min();
    return int(r);
}

} // namespace

QVector<QPoint> WaveformPoints(const QRect& r, const char* block)
{
    // QRect's right/bottom are inclusive; the window rectangle's are not.
    const double width = double(qint64(r.right()) - r.left() + 1);
    const double height = double(qint64(r.bottom()) - r.top() + 1);
    const double hp = height - 48.0;
    const double wp = width - 10.0;

    QVector<QPoint> points(kWaveformSamples);
    for (int i = 0; i < kWaveformSamples; ++i) {
        const qint16 sample = qFromLittleEndian<qint16>(block + 2 * i);
        const int x = RoundHalfEven(wp * i / 4000.0);
        int y = RoundHalfEven(sample / 40.0 + hp / 2.0 - 30.0);
        if (y < 0)
            y = 0;
        else if (y > hp)
            y = int(hp);
        points[i] = QPoint(x, y);
    }
    return points;
}

void DrawWaveform(MainWindowPort& main, MessageBoxPort& boxes, const QRect& mainWindowRect, const char* block)
{
    try {
        const QVector<QPoint> points = WaveformPoints(mainWindowRect, block);
        main.clearSurface();
        main.drawPolyline(points);
    } catch (...) {
        boxes.show(QStringLiteral("ERROR40"), MessageIcon::None, kAppTitle);
    }
}

} // namespace voxlet
