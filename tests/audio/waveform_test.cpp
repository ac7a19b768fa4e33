#include "audio/waveform.h"

#include <QtEndian>
#include <QtTest>

#include <array>

using namespace voxlet;

namespace {

std::array<char, 8000> Block(std::initializer_list<std::pair<int, qint16>> samples)
{
    std::array<char, 8000> b {};
    for (auto [i, v] : samples)
        qToLittleEndian<qint16>(v, b.data() + 2 * i);
    return b;
}

} // namespace

class WaveformTest : public QObject {
    Q_OBJECT
private slots:
    void window400x300()
    {
        // A window at (100, 50) of 400 x 300: plot 390 wide, 252 high.
        const QRect rect(100, 50, 400, 300);
        const auto block = Block({ { 0, 0 }, { 1, 4000 }, { 2, -8000 }, { 3, 32767 }, { 2000, -32768 } });
        const QVector<QPoint> p = WaveformPoints(rect, block.data());
        QCOMPARE(p.size(), 4000);
        QCOMPARE(p[0].y(), 96);
        QCOMPARE(p[1].y(), 196);
        QCOMPARE(p[2].y(), 0); // clipped from -104
        QCOMPARE(p[3].y(), 252); // clipped from 915
        QCOMPARE(p[2000].y(), 0);
        QCOMPARE(p[0].x(), 0);
        QCOMPARE(p[2000].x(), 195);
        QCOMPARE(p[3999].x(), 390);
        // Silence elsewhere: a flat line, x rising monotonically.
        for (int i = 4; i < 4000; ++i) {
            if (i == 2000)
                continue;
            QCOMPARE(p[i].y(), 96);
            QVERIFY(p[i].x() >= p[i - 1].x());
        }
    }

    void roundsHalvesToEven()
    {
        // Width 14: Wp 4, x = i/1000 -> i = 500 gives 0.5 -> 0, 1500 gives 1.5 -> 2, 2500 gives 2.5 -> 2.
        // Height 109: Hp 61, silent y = 30.5 - 30 = 0.5 -> 0; sample 40 -> 1.5 -> 2.
        const QRect rect(0, 0, 14, 109);
        const auto block = Block({ { 500, 40 }, { 1500, 80 } });
        const QVector<QPoint> p = WaveformPoints(rect, block.data());
        QCOMPARE(p[500].x(), 0);
        QCOMPARE(p[1500].x(), 2);
        QCOMPARE(p[2500].x(), 2);
        QCOMPARE(p[3500].x(), 4);
        QCOMPARE(p[0].y(), 0);
        QCOMPARE(p[500].y(), 2); // 1 + 0.5 = 1.5 -> 2
        QCOMPARE(p[1500].y(), 2); // 2 + 0.5 = 2.5 -> 2
    }

    void tinyWindowClipsToPlotHeightWithoutCrashing()
    {
        // Hp negative: every y falls to one of the clip rules, x may go negative.
        const QRect rect(0, 0, 5, 20);
        const auto block = Block({ { 0, 32767 }, { 1, -32768 } });
        const QVector<QPoint> p = WaveformPoints(rect, block.data());
        QCOMPARE(p[0].y(), -28); // 819 + (-14) - 30 > Hp -> Hp
        QCOMPARE(p[1].y(), 0);
        QCOMPARE(p[3999].x(), -5);
    }
};

QTEST_GUILESS_MAIN(WaveformTest)
#include "waveform_test.moc"
