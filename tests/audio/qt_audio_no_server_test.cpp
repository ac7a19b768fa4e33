// The Qt devices and sound player when no sound server can be reached.
#include "audio/media_control.h"
#include "audio/qt/qt_audio_devices.h"
#include "audio/qt/qt_sound_player.h"
#include "audio/voice_io.h"
#include "support/test_support.h"

#include <QtTest>

using namespace voxlet;
using namespace voxlet::test;

namespace {

} // namespace

class QtAudioNoServerTest : public QObject {
    Q_OBJECT
    QTemporaryDir dir_;

private slots:
    void initTestCase()
    {
        // Before the first use of Qt Multimedia: point the client at a socket
        // that does not exist and forbid it to start a server of its own.
        const QString conf = dir_.filePath(QStringLiteral("client.conf"));
        WriteBytes(conf, "autospawn = no\n");
        qputenv("PULSE_CLIENTCONFIG", conf.toLocal8Bit());
        qputenv("PULSE_SERVER", ("unix:" + dir_.filePath(QStringLiteral("no-such-socket"))).toLocal8Bit());
        qputenv("XDG_RUNTIME_DIR", dir_.path().toLocal8Bit());
    }

    void devicesRefuseToOpen()
    {
        QtCaptureDevice capture;
        QtPlaybackDevice playback;
        int fullCount = 0;
        QVERIFY(!capture.open(MakeVoiceFormat(), [&](CaptureHeader*) { ++fullCount; }));
        QVERIFY(!playback.open(MakeVoiceFormat()));
        QVERIFY(!capture.isOpen());
        QVERIFY(!playback.isOpen());
        // Using them anyway does nothing.
        char half[8000] {};
        CaptureHeader h { half, 8000, 0 };
        capture.addBuffer(&h);
        capture.start();
        playback.write(half, 8000);
        QCOMPARE(playback.queuedBlocks(), 0);
        QTest::qWait(100);
        QCOMPARE(fullCount, 0);
    }

    void voicePathReportsTheCaptureFailure()
    {
        AppState st;
        RecordingMessageBox boxes;
        QtCaptureDevice capture;
        QtPlaybackDevice playback;
        VoiceIO io(st, boxes, capture, playback);
        io.OpenWaveDevices([](CaptureHeader*) {});
        QCOMPARE(boxes.texts(), QStringList { QStringLiteral("waveInOpen() で失敗しました") });
        QVERIFY(st.WaveInHandle == nullptr);
        io.StartCapture();
        io.PlayReceivedBlock();
        QVERIFY(!capture.isRunning());
    }

    void ringNeverReportsStopped()
    {
        QtSoundPlayerFactory players;
        MediaControl mci(players, SourceDir() + QStringLiteral("/resources/sounds"));
        mci.SendString(QStringLiteral("Open Ring.wav alias ring"));
        QCOMPARE(mci.openCount(), 1); // the file itself is fine
        mci.SendString(QStringLiteral("Play ring from 0"));
        for (int i = 0; i < 20; ++i) {
            QTest::qWait(10);
            QCOMPARE(mci.SendString(QStringLiteral("Status ring mode")), QStringLiteral("playing"));
        }
        mci.SendString(QStringLiteral("close all"));
        QCOMPARE(mci.openCount(), 0);
    }
};

QTEST_MAIN(QtAudioNoServerTest)
#include "qt_audio_no_server_test.moc"
