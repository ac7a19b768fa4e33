#include "audio/voice_io.h"
#include "support/fake_devices.h"
#include "support/test_support.h"

#include <QtTest>

using namespace voxlet;
using namespace voxlet::test;

namespace {

struct Rig {
    AppState st;
    RecordingMessageBox boxes;
    FakeCaptureDevice capture;
    FakePlaybackDevice playback;
    VoiceIO io { st, boxes, capture, playback };
    QByteArray captured;

    void open()
    {
        io.OpenWaveDevices([this](const char* data, int bytes) { captured.append(data, bytes); });
    }
};

} // namespace

class VoiceIOTest : public QObject {
    Q_OBJECT
private slots:
    void opensBothDevicesWithTheVoiceFormat()
    {
        Rig r;
        r.open();
        QVERIFY(r.boxes.boxes.isEmpty());
        QVERIFY(r.capture.opened);
        QVERIFY(r.playback.opened);
        QCOMPARE(r.st.WaveInHandle, static_cast<void*>(&r.capture));
        for (const VoiceFormat& f : { r.io.Format, r.capture.format, r.playback.format }) {
            QCOMPARE(f.FormatTag, 1);
            QCOMPARE(f.Channels, 1);
            QCOMPARE(f.SamplesPerSec, 8000);
            QCOMPARE(f.BitsPerSample, 16);
            QCOMPARE(f.BlockAlign, 2);
            QCOMPARE(f.AvgBytesPerSec, 16000);
            QCOMPARE(f.ExtraSize, 0);
        }
    }

    void missingCaptureShowsOneBoxAndSilencesEverything()
    {
        Rig r;
        r.capture.failOpen = true;
        r.open();
        QCOMPARE(r.boxes.texts(), QStringList { QStringLiteral("waveInOpen() で失敗しました") });
        QCOMPARE(r.boxes.boxes[0].icon, MessageIcon::Critical);
        QCOMPARE(r.boxes.boxes[0].title, QStringLiteral("Error"));
        QVERIFY(r.st.WaveInHandle == nullptr);
        QVERIFY(!r.playback.opened);
        QCOMPARE(r.playback.format.SamplesPerSec, 0); // never even asked
        r.io.StartCapture();
        QCOMPARE(r.capture.startCalls, 0);
        QCOMPARE(r.playback.startCalls, 0);
        r.io.PlayReceived("\x01\x02", 2);
        QCOMPARE(r.playback.writes, 0);
    }

    void missingPlaybackStillCaptures()
    {
        Rig r;
        r.playback.failOpen = true;
        r.open();
        QCOMPARE(r.boxes.texts(), QStringList { QStringLiteral("waveOutOpen() で失敗しました") });
        r.io.StartCapture();
        QVERIFY(r.capture.produce(QByteArray(640, 'x')));
        QCOMPARE(r.captured, QByteArray(640, 'x'));
        r.io.PlayReceived("\x01\x02", 2);
        QCOMPARE(r.playback.writes, 0);
    }

    // Voice flows only between the answer and the end of the call, and a
    // call's end may come from inside a captured piece's own notification.
    void voiceRunsFromAnswerToHangUp()
    {
        Rig r;
        r.open();
        QVERIFY(!r.capture.produce(QByteArray(320, 'a'))); // no voice before the answer
        r.io.PlayReceived("ab", 2);
        QCOMPARE(r.playback.writes, 0);

        r.io.StartCapture();
        QVERIFY(r.capture.started && r.playback.started);
        QVERIFY(r.capture.produce(QByteArray(700, 'b')));
        QCOMPARE(r.captured, QByteArray(700, 'b'));
        r.io.PlayReceived("abc", 3);
        QCOMPARE(r.playback.bytes, QByteArray("abc"));

        r.io.OpenWaveDevices([&r](const char*, int) { r.io.StopVoice(); });
        r.io.StartCapture();
        QVERIFY(r.capture.produce(QByteArray(960, 'c')));
        QVERIFY(!r.capture.started && !r.playback.started);
        QVERIFY(!r.io.running());
        r.io.PlayReceived("d", 1);
        QCOMPARE(r.playback.bytes, QByteArray("abc"));

        // The next call starts both again.
        r.io.StartCapture();
        QCOMPARE(r.capture.startCalls, 3);
        QCOMPARE(r.playback.startCalls, 3);
    }
};

QTEST_GUILESS_MAIN(VoiceIOTest)
#include "voice_io_test.moc"
