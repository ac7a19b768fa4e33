// The Qt devices and sound player against a private headless PulseAudio with
// virtual devices: a null sink as speaker, another null sink feeding a
// remapped source as microphone. Skipped when pulseaudio is not available.
#include "audio/media_control.h"
#include "audio/qt/qt_audio_devices.h"
#include "audio/qt/qt_sound_player.h"
#include "support/test_support.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QtEndian>
#include <QtTest>

#include <cmath>

#include <signal.h>
#include <sys/prctl.h>

using namespace voxlet;
using namespace voxlet::test;

namespace {

QByteArray TonePcm(double hz, double seconds, int rate)
{
    const int n = int(seconds * rate);
    QByteArray pcm(2 * n, 0);
    for (int i = 0; i < n; ++i)
        qToLittleEndian<qint16>(qint16(12000 * std::sin(2 * M_PI * hz * i / rate)), pcm.data() + 2 * i);
    return pcm;
}

QByteArray WavOf(const QByteArray& pcm, int rate)
{
    QByteArray h("RIFF\0\0\0\0WAVEfmt \x10\0\0\0\x01\0\x01\0\0\0\0\0\0\0\0\0\x02\0\x10\0data\0\0\0\0", 44);
    qToLittleEndian<quint32>(quint32(36 + pcm.size()), h.data() + 4);
    qToLittleEndian<quint32>(quint32(rate), h.data() + 24);
    qToLittleEndian<quint32>(quint32(2 * rate), h.data() + 28);
    qToLittleEndian<quint32>(quint32(pcm.size()), h.data() + 40);
    return h + pcm;
}

// Helper processes end with this test process, even if it crashes.
void TieToThisProcess(QProcess& p)
{
    p.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
}

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

// Only the loud part of a recording (the sink's monitor runs silent around it).
QByteArray LoudPart(const QByteArray& pcm)
{
    int first = -1, last = -1;
    for (int i = 0; i + 1 < pcm.size(); i += 2) {
        if (std::abs(qFromLittleEndian<qint16>(pcm.constData() + i)) > 3000) {
            if (first < 0)
                first = i;
            last = i;
        }
    }
    return first < 0 ? QByteArray() : pcm.mid(first, last - first + 2);
}

} // namespace

class QtAudioDevicesTest : public QObject {
    Q_OBJECT
    QTemporaryDir dir_;
    QProcess server_;
    QProcess keepAlive_;
    QString tone_;

    bool runTool(const QStringList& args, QByteArray* out = nullptr)
    {
        QProcess p;
        TieToThisProcess(p);
        p.start(args.first(), args.mid(1));
        if (!p.waitForFinished(5000)) {
            p.kill();
            p.waitForFinished(1000);
            return false;
        }
        if (out)
            *out = p.readAllStandardOutput();
        return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    }

    static void stop(QProcess& p)
    {
        if (p.state() == QProcess::NotRunning)
            return;
        p.terminate();
        if (!p.waitForFinished(3000)) {
            p.kill();
            p.waitForFinished(3000);
        }
    }

private slots:
    void initTestCase()
    {
        const QString pulse = QStandardPaths::findExecutable(QStringLiteral("pulseaudio"));
        if (pulse.isEmpty() || QStandardPaths::findExecutable(QStringLiteral("paplay")).isEmpty())
            QSKIP("pulseaudio or its utilities are not installed");
        QVERIFY(dir_.isValid());
        const QString xdg = dir_.filePath(QStringLiteral("xdg"));
        QVERIFY(QDir().mkpath(xdg + QStringLiteral("/pulse")));
        QFile::setPermissions(xdg, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        WriteBytes(dir_.filePath(QStringLiteral("test.pa")),
            "load-module module-native-protocol-unix auth-anonymous=1\n"
            "load-module module-null-sink sink_name=speaker\n"
            "load-module module-null-sink sink_name=speaker2\n"
            "load-module module-null-sink sink_name=micsink2 rate=8000 channels=1\n"
            "load-module module-remap-source source_name=mic2 master=micsink2.monitor\n"
            "load-module module-null-sink sink_name=micsink rate=8000 channels=1\n"
            "load-module module-remap-source source_name=mic master=micsink.monitor\n"
            "set-default-sink speaker\n"
            "set-default-source mic\n");
        WriteBytes(dir_.filePath(QStringLiteral("client.conf")), "autospawn = no\n");

        // Everything of this process and its children talks to the private server.
        qputenv("XDG_RUNTIME_DIR", xdg.toLocal8Bit());
        qputenv("PULSE_RUNTIME_PATH", (xdg + QStringLiteral("/pulse")).toLocal8Bit());
        qputenv("PULSE_SERVER", ("unix:" + xdg + QStringLiteral("/pulse/native")).toLocal8Bit());
        qputenv("PULSE_CLIENTCONFIG", dir_.filePath(QStringLiteral("client.conf")).toLocal8Bit());
        qunsetenv("DISPLAY");

        TieToThisProcess(server_);
        TieToThisProcess(keepAlive_);
        server_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        // Off the session bus: another sound server may hold its bus name.
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
        server_.setProcessEnvironment(env);
        server_.start(pulse,
            { QStringLiteral("--daemonize=no"), QStringLiteral("-n"), QStringLiteral("-F"),
                dir_.filePath(QStringLiteral("test.pa")), QStringLiteral("--exit-idle-time=-1"),
                QStringLiteral("--disable-shm=yes"),
                QStringLiteral("--log-target=file:") + dir_.filePath("pa.log") });
        if (!server_.waitForStarted(5000))
            QSKIP("pulseaudio did not start");
        bool ready = false;
        for (int i = 0; i < 50 && !ready && server_.state() == QProcess::Running; ++i) {
            QTest::qWait(100);
            ready = QFile::exists(xdg + QStringLiteral("/pulse/native"))
                && runTool({ QStringLiteral("pactl"), QStringLiteral("info") });
        }
        if (!ready) {
            stop(server_);
            QSKIP("pulseaudio did not become ready");
        }
        // A remapped source gives a new reader nothing for a second or two
        // unless someone is already reading it.
        keepAlive_.start(QStringLiteral("parec"),
            { QStringLiteral("--latency-msec=20"), QStringLiteral("-d"), QStringLiteral("mic"),
                QStringLiteral("--raw"), QStringLiteral("--rate=8000"), QStringLiteral("--channels=1"),
                QStringLiteral("--format=s16le") });
        keepAlive_.setStandardOutputFile(QProcess::nullDevice());
        tone_ = dir_.filePath(QStringLiteral("tone.wav"));
        WriteBytes(tone_, WavOf(TonePcm(1000, 4.0, 8000), 8000));
    }

    void cleanupTestCase()
    {
        stop(keepAlive_);
        stop(server_);
    }

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
        stop(feeder);

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
        stop(recorder);

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
        const QString path = dir_.filePath(QStringLiteral("beep.wav"));
        WriteBytes(path, WavOf(TonePcm(880, 0.3, 16000), 16000));
        QtSoundPlayer player;
        QVERIFY(!player.open(dir_.filePath(QStringLiteral("missing.wav"))));
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
