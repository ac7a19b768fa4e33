// The Qt devices and sound player against a private headless PulseAudio with
// virtual devices: a null sink as speaker, another null sink feeding a
// remapped source as microphone. Skipped when pulseaudio is not available.
#include "audio/media_control.h"
#include "audio/qt/qt_audio_devices.h"
#include "audio/qt/qt_sound_player.h"
#include "support/pulse_server.h"
#include "support/test_support.h"

#include <QProcess>
#include <QtEndian>
#include <QtTest>

#include <cmath>
#include <memory>

using namespace voxlet;
using namespace voxlet::test;

namespace {

struct Measure {
    double rms = 0;
    double hz = 0;
};

// Frequency from upward zero crossings (with a little hysteresis) over the
// stretch between the first and the last crossing.
Measure Analyse(const char* pcm, int bytes, int rate)
{
    const int n = bytes / 2;
    Measure m;
    if (n == 0)
        return m;
    double sum = 0;
    int first = -1, last = -1, crossings = 0;
    bool low = false;
    for (int i = 0; i < n; ++i) {
        const int s = qFromLittleEndian<qint16>(pcm + 2 * i);
        sum += double(s) * s;
        if (s < -500)
            low = true;
        else if (low && s > 500) {
            low = false;
            if (first < 0)
                first = i;
            else
                ++crossings;
            last = i;
        }
    }
    m.rms = std::sqrt(sum / n);
    if (crossings > 0)
        m.hz = crossings * double(rate) / (last - first);
    return m;
}

} // namespace

class QtAudioDevicesTest : public QObject {
    Q_OBJECT
    std::unique_ptr<PulseServer> pulse_;
    QString tone_;

private slots:
    void initTestCase()
    {
        // "mic2" comes first in Qt's list, "mic" is the server's default.
        pulse_ = std::make_unique<PulseServer>(
            QStringList { "speaker", "speaker2", "mic2", "mic", "default-source=mic" });
        qunsetenv("DISPLAY");
        QString why;
        if (!pulse_->start(&why)) {
            pulse_.reset();
            QSKIP(qPrintable(why));
        }
        pulse_->keepReading(QStringLiteral("mic"));
        tone_ = pulse_->filePath(QStringLiteral("tone.wav"));
        WriteBytes(tone_, WavOf(TonePcm(1000, 4.0, 8000), 8000));
    }

    void cleanupTestCase() { pulse_.reset(); }

    void devicesAreFoundByIdOrDefault()
    {
        QCOMPARE(FindAudioOutput("speaker2").id(), QByteArray("speaker2"));
        QCOMPARE(FindAudioInput("mic").id(), QByteArray("mic"));
        QVERIFY(FindAudioOutput("no-such-sink").isNull());
        QVERIFY(FindAudioInput("no-such-source").isNull());
        QCOMPARE(FindAudioOutput({}).id(), QByteArray("speaker"));
        // The server's default source, although Qt lists "mic2" first.
        QCOMPARE(FindAudioInput({}).id(), QByteArray("mic"));

        QtCaptureDevice missing("no-such-source");
        QVERIFY(!missing.open(MakeVoiceFormat(), [](CaptureHeader*) {}));
        QtPlaybackDevice missingOut("no-such-sink");
        QVERIFY(!missingOut.open(MakeVoiceFormat()));
    }

    void capturesWholeHalvesOfATone()
    {
        QtCaptureDevice capture; // the server default: "mic"
        QVector<CaptureHeader*> order;
        QVector<QByteArray> halves;
        char buffer[16000];
        CaptureHeader headers[2] = { { buffer, 8000, 0 }, { buffer + 8000, 8000, 0 } };
        QVERIFY(capture.open(MakeVoiceFormat(), [&](CaptureHeader* h) {
            order << h;
            halves << QByteArray(h->Data, h->BytesRecorded);
            if (order.size() < 4)
                capture.addBuffer(h); // as the hub does during a call
        }));

        QProcess feeder;
        TieToThisProcess(feeder);
        feeder.start(QStringLiteral("paplay"),
            { QStringLiteral("--latency-msec=1000"), QStringLiteral("-d"), QStringLiteral("micsink"),
                tone_ });
        QVERIFY(feeder.waitForStarted(5000));
        capture.addBuffer(&headers[0]);
        capture.addBuffer(&headers[1]);
        capture.start();
        QTRY_VERIFY_WITH_TIMEOUT(order.size() >= 4, 15000);
        StopProcess(feeder);

        QCOMPARE(order.size(), 4); // nothing more once the program holds both halves
        QCOMPARE(order[0], &headers[0]);
        QCOMPARE(order[1], &headers[1]);
        QCOMPARE(order[2], &headers[0]);
        QCOMPARE(order[3], &headers[1]);
        int toneHalves = 0;
        for (const QByteArray& half : halves) {
            QCOMPARE(half.size(), 8000);
            const Measure m = Analyse(half.constData(), half.size(), 8000);
            if (m.rms > 4000) {
                ++toneHalves;
                QVERIFY2(std::abs(m.hz - 1000) < 15, qPrintable(QString::number(m.hz)));
            }
        }
        QVERIFY(toneHalves >= 2);
    }

    void playsWrittenBlocksInOrder()
    {
        QProcess recorder;
        TieToThisProcess(recorder);
        recorder.start(QStringLiteral("parec"),
            { QStringLiteral("--latency-msec=20"), QStringLiteral("-d"), QStringLiteral("speaker.monitor"),
                QStringLiteral("--rate=8000"), QStringLiteral("--channels=1"),
                QStringLiteral("--format=s16le"), QStringLiteral("--raw") });
        QVERIFY(recorder.waitForStarted(5000));
        QByteArray recorded;
        connect(&recorder, &QProcess::readyReadStandardOutput, this,
            [&] { recorded += recorder.readAllStandardOutput(); });
        QtPlaybackDevice playback; // the default output: "speaker"
        QVERIFY(playback.open(MakeVoiceFormat()));
        // Let the monitor stream connect; the sink meanwhile runs dry, as
        // between calls, and must take up writing again afterwards.
        QTest::qWait(300);
        // Half a second of 1 kHz, then half a second of 500 Hz: order shows in the recording.
        const QByteArray a = TonePcm(1000, 0.5, 8000), b = TonePcm(500, 0.5, 8000);
        playback.write(a.constData(), a.size());
        playback.write(b.constData(), b.size());
        QTRY_VERIFY_WITH_TIMEOUT(LoudPart(recorded).size() >= 15000 && playback.queuedBlocks() == 0, 10000);
        QTest::qWait(300);
        StopProcess(recorder);

        const QByteArray loud = LoudPart(recorded);
        // A busy machine may leave short gaps, but no block is lost or played twice.
        QVERIFY2(loud.size() >= 15000 && loud.size() < 24000, qPrintable(QString::number(loud.size())));
        const Measure first = Analyse(loud.constData() + 400, 6000, 8000);
        const Measure second = Analyse(loud.constData() + loud.size() - 6400, 6000, 8000);
        QVERIFY2(std::abs(first.hz - 1000) < 15, qPrintable(QString::number(first.hz)));
        QVERIFY2(std::abs(second.hz - 500) < 10, qPrintable(QString::number(second.hz)));
        QCOMPARE(playback.droppedBlocks(), qint64(0));
    }

    void playbackQueueStaysBounded()
    {
        QtPlaybackDevice playback("speaker2");
        QVERIFY(playback.open(MakeVoiceFormat()));
        const QByteArray block = TonePcm(700, 0.5, 8000);
        for (int i = 0; i < 10; ++i)
            playback.write(block.constData(), block.size());
        QVERIFY(playback.queuedBlocks() <= QtPlaybackDevice::kMaxQueuedBlocks);
        QVERIFY(playback.droppedBlocks() >= 10 - QtPlaybackDevice::kMaxQueuedBlocks - 1);
        QTRY_COMPARE_WITH_TIMEOUT(playback.queuedBlocks(), 0, 10000);
    }

    void soundPlayerEndsAndRestarts()
    {
        const QString path = pulse_->filePath(QStringLiteral("beep.wav"));
        WriteBytes(path, WavOf(TonePcm(880, 0.3, 16000), 16000));
        QtSoundPlayer player;
        QVERIFY(!player.open(pulse_->filePath(QStringLiteral("missing.wav"))));
        QVERIFY(player.open(path));
        QVERIFY(!player.hasStopped()); // never played yet
        player.playFromStart();
        QVERIFY(!player.hasStopped());
        QTRY_VERIFY_WITH_TIMEOUT(player.hasStopped(), 5000);
        player.playFromStart();
        QVERIFY(!player.hasStopped());
        QTRY_VERIFY_WITH_TIMEOUT(player.hasStopped(), 5000);
        player.close();
        QVERIFY(!player.hasStopped());
    }

    void ringLoopCommandsWithTheRealPlayer()
    {
        QtSoundPlayerFactory players;
        MediaControl mci(players, SourceDir() + QStringLiteral("/resources/sounds"));
        mci.SendString(QStringLiteral("Open Ans.wav alias ans"));
        mci.SendString(QStringLiteral("Play ans from 0"));
        QCOMPARE(mci.SendString(QStringLiteral("Status ans mode")), QStringLiteral("playing"));
        QTRY_COMPARE_WITH_TIMEOUT(
            mci.SendString(QStringLiteral("Status ans mode")), QStringLiteral("stopped"), 10000);
        mci.SendString(QStringLiteral("close all"));
        QCOMPARE(mci.openCount(), 0);
    }
};

QTEST_MAIN(QtAudioDevicesTest)
#include "qt_audio_devices_test.moc"
