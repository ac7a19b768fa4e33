// The real Qt devices leave their PulseAudio streams corked while there is
// nothing to play or nowhere to record to, and take up sound again at once
// when there is. Watched from outside, through the private server's own
// view of this process's streams. Skipped when pulseaudio is not available.
#include "audio/qt/qt_audio_devices.h"
#include "audio/voice_io.h"
#include "support/fake_devices.h"
#include "support/pulse_server.h"
#include "support/test_support.h"

#include <QCoreApplication>
#include <QProcess>
#include <QtEndian>
#include <QtTest>

#include <cmath>
#include <memory>
#include <vector>

using namespace voxlet;
using namespace voxlet::test;

namespace {

constexpr int kRate = 8000;
// Not a divisor of the rate: a lost or repeated stretch of samples always
// breaks the wave's phase.
constexpr double kToneHz = 937;

// How far each sample strays from what the two before it predict for a pure
// tone (s[n] = 2cos(w) s[n-1] - s[n-2]); a few units for a clean tone,
// thousands where samples went missing or bytes slipped.
double WorstStep(const QByteArray& pcm, double hz = kToneHz)
{
    const double c = 2 * std::cos(2 * M_PI * hz / kRate);
    double worst = 0;
    const int n = int(pcm.size() / 2);
    for (int i = 2; i < n; ++i) {
        const double s0 = qFromLittleEndian<qint16>(pcm.constData() + 2 * i);
        const double s1 = qFromLittleEndian<qint16>(pcm.constData() + 2 * i - 2);
        const double s2 = qFromLittleEndian<qint16>(pcm.constData() + 2 * i - 4);
        worst = std::max(worst, std::abs(s0 - c * s1 + s2));
    }
    return worst;
}

bool IsTone(const QByteArray& pcm)
{
    const ToneWindows w = CountToneWindows(pcm, kRate, kToneHz, 15, 2000, 4000);
    return w.loud > 0 && w.matching == w.loud && w.loud * 2000 * 2 >= pcm.size();
}

} // namespace

class QtAudioIdleTest : public QObject {
    Q_OBJECT
    std::unique_ptr<PulseServer> pulse_;

    // This process's one stream of a kind ("sink-inputs", "source-outputs")
    // as the server sees it: "none", "running" or "corked".
    QString streamState(const char* kind)
    {
        QByteArray out;
        if (!pulse_->runTool({ QStringLiteral("pactl"), QStringLiteral("list"), QLatin1String(kind) }, &out))
            return QStringLiteral("pactl failed");
        const QByteArray ours
            = "application.process.id = \"" + QByteArray::number(QCoreApplication::applicationPid()) + '"';
        QString state = QStringLiteral("none");
        for (const QByteArray& entry : out.split('#')) {
            if (!entry.contains(ours))
                continue;
            if (state != QStringLiteral("none"))
                return QStringLiteral("several");
            state = entry.contains("Corked: yes") ? QStringLiteral("corked") : QStringLiteral("running");
        }
        return state;
    }

    QString playState() { return streamState("sink-inputs"); }
    QString recordState() { return streamState("source-outputs"); }

    // A long tone into the microphone, already audible on return.
    void feedMicrophone(QProcess& feeder)
    {
        const QString path = pulse_->filePath(QStringLiteral("mic.wav"));
        WriteBytes(path, WavOf(TonePcm(kToneHz, 30, kRate), kRate));
        TieToThisProcess(feeder);
        // A second ahead: a feeder starved of CPU must not leave gaps of
        // silence in the tone, which the checks would blame on the device.
        feeder.start(QStringLiteral("paplay"),
            { QStringLiteral("--latency-msec=1000"), QStringLiteral("-d"), QStringLiteral("micsink"), path });
        QVERIFY(feeder.waitForStarted(5000));
        PulseRecorder mic(QStringLiteral("mic"));
        QVERIFY(mic.started());
        QTRY_VERIFY_WITH_TIMEOUT(LoudPart(mic.data()).size() >= 2000, 10000);
    }

private slots:
    void initTestCase()
    {
        qputenv("LC_ALL", "C"); // pactl's words, not a translation
        pulse_ = std::make_unique<PulseServer>(QStringList { "speaker", "mic" });
        QString why;
        if (!pulse_->start(&why)) {
            pulse_.reset();
            QSKIP(qPrintable(why));
        }
        pulse_->keepReading(QStringLiteral("mic"));
    }

    void cleanupTestCase() { pulse_.reset(); }

    void playbackSleepsUntilWrittenAndAfterPlayingOut()
    {
        PulseRecorder heard(QStringLiteral("speaker.monitor"));
        QVERIFY(heard.started());
        QtPlaybackDevice playback("speaker");
        QVERIFY(playback.open(MakeVoiceFormat()));
        QCOMPARE(playState(), QStringLiteral("corked"));

        // Two rounds: the first wakes the sink corked at opening, the second
        // the one corked after idling.
        for (int round = 0; round < 2; ++round) {
            const int before = int(heard.data().size());
            const QByteArray tone = TonePcm(kToneHz, 1.0, kRate);
            playback.write(tone.constData(), tone.size());
            QCOMPARE(playState(), QStringLiteral("running"));
            QTRY_VERIFY_WITH_TIMEOUT(
                LoudPart(heard.data().mid(before)).size() >= 12000 && playback.queuedBlocks() == 0, 10000);
            const ToneWindows w = CountToneWindows(heard.data().mid(before), kRate, kToneHz, 15);
            QVERIFY2(w.matching >= 4, qPrintable(QStringLiteral("%1 of %2").arg(w.matching).arg(w.loud)));
            // Left alone, it corks again some while after the sound ends.
            QTRY_COMPARE_WITH_TIMEOUT(
                playState(), QStringLiteral("corked"), QtPlaybackDevice::kSuspendAfterMs + 15000);
        }
        QCOMPARE(playback.droppedBlocks(), qint64(0));
    }

    void captureRecordsOnlyWhileHoldingABuffer()
    {
        QProcess feeder;
        feedMicrophone(feeder);
        if (QTest::currentTestFailed())
            return;
        char buffer[16000];
        CaptureHeader headers[2] = { { buffer, 8000, 0 }, { buffer + 8000, 8000, 0 } };
        std::vector<CaptureHeader*> order;
        std::vector<QByteArray> halves;
        QtCaptureDevice capture("mic");
        QVERIFY(capture.open(MakeVoiceFormat(), [&](CaptureHeader* h) {
            order.push_back(h);
            halves.emplace_back(h->Data, h->BytesRecorded);
        }));
        // Opening alone does not hold the microphone.
        QTRY_COMPARE_WITH_TIMEOUT(recordState(), QStringLiteral("none"), 5000);

        // Started with no buffer to fill: it pauses at the first sound.
        capture.start();
        QVERIFY(capture.isRunning());
        QTRY_COMPARE_WITH_TIMEOUT(recordState(), QStringLiteral("corked"), 10000);
        QVERIFY(order.empty());

        capture.addBuffer(&headers[0]);
        capture.addBuffer(&headers[1]);
        QTRY_COMPARE_WITH_TIMEOUT(int(order.size()), 2, 10000);
        // Both handed out, none given back: paused again, and nothing more.
        QTRY_COMPARE_WITH_TIMEOUT(recordState(), QStringLiteral("corked"), 10000);
        QTest::qWait(300);
        QCOMPARE(int(order.size()), 2);

        // One given back: recording resumes and fills it.
        capture.addBuffer(&headers[1]);
        QTRY_COMPARE_WITH_TIMEOUT(int(order.size()), 3, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(recordState(), QStringLiteral("corked"), 10000);

        StopProcess(feeder);
        QCOMPARE(order[0], &headers[0]);
        QCOMPARE(order[1], &headers[1]);
        QCOMPARE(order[2], &headers[1]);
        for (const QByteArray& half : halves) {
            QCOMPARE(int(half.size()), 8000);
            QVERIFY(IsTone(half));
        }
    }

    // The program destroys the phone before its devices, whose own teardown
    // runs pending notifications: none may reach the phone's halves.
    void captureLetsGoOfAGoneOwner()
    {
        QProcess feeder;
        feedMicrophone(feeder);
        if (QTest::currentTestFailed())
            return;
        QtCaptureDevice capture("mic");
        FakePlaybackDevice playback;
        RecordingMessageBox boxes;
        AppState st;
        int reported = 0;
        auto voice = std::make_unique<VoiceIO>(st, boxes, capture, playback);
        voice->OpenWaveDevices([&](CaptureHeader* h) {
            ++reported;
            voice->AddBuffer(h);
        });
        voice->StartCapture();
        QTRY_VERIFY_WITH_TIMEOUT(reported >= 1, 10000);
        voice.reset();
        const int whenGone = reported;
        // Long enough for a half to fill twice over, had the device kept it.
        QTest::qWait(1200);
        QCOMPARE(reported, whenGone);
        QTRY_COMPARE_WITH_TIMEOUT(recordState(), QStringLiteral("none"), 10000);
        StopProcess(feeder);
    }

    // Sound is read in chunks larger than the program's buffers: each chunk
    // is spread over them in order, not a byte lost or repeated.
    void chunksSpreadOverSmallBuffersIntact()
    {
        QProcess feeder;
        feedMicrophone(feeder);
        if (QTest::currentTestFailed())
            return;
        constexpr int kBuffers = 8, kLength = 1000; // a chunk spans several, not evenly
        constexpr int kRequeued = 40;
        std::vector<char> memory(kBuffers * kLength);
        std::vector<CaptureHeader> headers(kBuffers);
        std::vector<QByteArray> filled;
        int requeued = 0;
        QtCaptureDevice capture("mic");
        QVERIFY(capture.open(MakeVoiceFormat(), [&](CaptureHeader* h) {
            filled.emplace_back(h->Data, h->BytesRecorded);
            if (requeued < kRequeued) {
                ++requeued;
                capture.addBuffer(h);
            }
        }));
        for (int i = 0; i < kBuffers; ++i) {
            headers[size_t(i)] = { memory.data() + i * kLength, kLength, 0 };
            capture.addBuffer(&headers[size_t(i)]);
        }
        capture.start();
        // Every buffer handed over comes back full, once: those still queued
        // when the handing back stops fill too, and then the device holds none.
        QTRY_COMPARE_WITH_TIMEOUT(int(filled.size()), kBuffers + kRequeued, 15000);
        QTRY_COMPARE_WITH_TIMEOUT(recordState(), QStringLiteral("corked"), 10000);
        QCOMPARE(int(filled.size()), kBuffers + kRequeued);
        StopProcess(feeder);

        // Bytes lost or repeated by the spreading would break the tone in
        // most buffers or at most joins. A sound server starved of CPU drops
        // a stretch now and then, inside a buffer or at a join alike: allow
        // a rare hiccup anywhere.
        int breaks = 0;
        for (size_t i = 0; i < filled.size(); ++i) {
            QCOMPARE(int(filled[i].size()), kLength);
            QVERIFY2(Rms(filled[i].constData(), kLength) > 4000, qPrintable(QString::number(i)));
            if (WorstStep(filled[i]) >= 50)
                ++breaks;
            if (i > 0 && WorstStep(filled[i - 1].right(8) + filled[i].left(8)) >= 50)
                ++breaks;
        }
        QVERIFY2(breaks <= 2, qPrintable(QString::number(breaks)));
    }
};

QTEST_MAIN(QtAudioIdleTest)
#include "qt_audio_idle_test.moc"
