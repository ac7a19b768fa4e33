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
    QVector<CaptureHeader*> full;

    void open()
    {
        io.OpenWaveDevices([this](CaptureHeader* h) { full.push_back(h); });
    }
    void receive(char fill)
    {
        st.VoiceRecvBuffer.fill(fill);
        io.PlayReceivedBlock();
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
        // Two capture halves and two playback halves of one buffer each.
        for (int k = 0; k < 2; ++k) {
            QCOMPARE(r.io.CaptureHeaders[k].Data, r.io.CaptureBuffer.data() + 8000 * k);
            QCOMPARE(r.io.CaptureHeaders[k].BufferLength, 8000);
            QCOMPARE(r.io.PlaybackHeaders[k].Data, r.io.PlaybackBuffer.data() + 8000 * k);
            QCOMPARE(r.io.PlaybackHeaders[k].BufferLength, 8000);
        }
    }

    void captureFailureStopsEverything()
    {
        Rig r;
        r.capture.failOpen = true;
        r.open();
        QCOMPARE(r.boxes.boxes.size(), 1);
        QCOMPARE(r.boxes.boxes[0].text, QStringLiteral("waveInOpen() で失敗しました"));
        QCOMPARE(r.boxes.boxes[0].icon, MessageIcon::Critical);
        QCOMPARE(r.boxes.boxes[0].title, QStringLiteral("Error"));
        QVERIFY(r.st.WaveInHandle == nullptr);
        QVERIFY(!r.playback.opened);
        QCOMPARE(r.playback.format.SamplesPerSec, 0); // never even asked

        // Later calls are silent no-ops.
        r.io.StartCapture();
        QCOMPARE(r.capture.startCalls, 0);
        QCOMPARE(r.capture.queuedCount(), 0);
        r.io.AddBuffer(&r.io.CaptureHeaders[0]);
        QCOMPARE(r.capture.queuedCount(), 0);
        r.receive(1);
        QVERIFY(r.playback.written.empty());
        QCOMPARE(r.boxes.boxes.size(), 1);
    }

    void playbackFailureKeepsCapture()
    {
        Rig r;
        r.playback.failOpen = true;
        r.open();
        QCOMPARE(r.boxes.boxes.size(), 1);
        QCOMPARE(r.boxes.boxes[0].text, QStringLiteral("waveOutOpen() で失敗しました"));
        QCOMPARE(r.boxes.boxes[0].icon, MessageIcon::Critical);
        QCOMPARE(r.boxes.boxes[0].title, QStringLiteral("Error"));
        QCOMPARE(r.st.WaveInHandle, static_cast<void*>(&r.capture));

        r.receive(1);
        QVERIFY(r.playback.written.empty());
        // Capture still works.
        r.io.StartCapture();
        QCOMPARE(r.capture.startCalls, 1);
        QVERIFY(r.capture.produce(QByteArray("\x01\x02", 2)));
        QCOMPARE(r.full.size(), 1);
    }

    void startCaptureQueuesBothHalvesInOrder()
    {
        Rig r;
        r.open();
        QCOMPARE(r.capture.startCalls, 0);
        r.io.StartCapture();
        QCOMPARE(r.capture.queuedCount(), 2);
        QCOMPARE(r.capture.queued[0], &r.io.CaptureHeaders[0]);
        QCOMPARE(r.capture.queued[1], &r.io.CaptureHeaders[1]);
        QVERIFY(r.capture.started);

        // Halves come back full in order; handing one back re-queues it.
        QVERIFY(r.capture.produce(QByteArray("\x11\x22", 2)));
        QVERIFY(r.capture.produce(QByteArray("\x33\x44", 2)));
        QVERIFY(!r.capture.produce(QByteArray("\x55", 1))); // program holds both
        QCOMPARE(r.full.size(), 2);
        QCOMPARE(r.full[0], &r.io.CaptureHeaders[0]);
        QCOMPARE(r.full[1], &r.io.CaptureHeaders[1]);
        QCOMPARE(r.io.CaptureBuffer[0], '\x11');
        QCOMPARE(r.io.CaptureBuffer[7999], '\x22');
        QCOMPARE(r.io.CaptureBuffer[8000], '\x33');
        QCOMPARE(r.io.CaptureBuffer[15999], '\x44');
        r.io.AddBuffer(r.full[0]);
        QCOMPARE(r.capture.queuedCount(), 1);
        QCOMPARE(r.capture.queued[0], &r.io.CaptureHeaders[0]);

        // A later answered call starts capture again.
        r.io.StartCapture();
        QCOMPARE(r.capture.startCalls, 2);
    }

    void playbackAlternatesHalvesAcrossCalls()
    {
        Rig r;
        r.open();
        r.receive('a');
        r.receive('b');
        r.receive('c');
        QCOMPARE(int(r.playback.written.size()), 3);
        for (const QByteArray& w : r.playback.written)
            QCOMPARE(w.size(), 8000);
        QCOMPARE(r.playback.written[0], QByteArray(8000, 'a'));
        QCOMPARE(r.playback.written[2], QByteArray(8000, 'c'));
        // 'a' then 'c' went to half 0, 'b' to half 1.
        QCOMPARE(r.io.PlaybackBuffer[0], 'c');
        QCOMPARE(r.io.PlaybackBuffer[8000], 'b');
        QVERIFY(r.io.PlaybackToggle);

        // The toggle survives between calls: the next block uses half 1.
        r.receive('d');
        QCOMPARE(r.io.PlaybackBuffer[8000], 'd');
        QCOMPARE(r.io.PlaybackBuffer[7999], 'c');
        QVERIFY(!r.io.PlaybackToggle);
        QCOMPARE(r.playback.written.back(), QByteArray(8000, 'd'));
    }

    void receivedBlockIsCopiedNotAliased()
    {
        Rig r;
        r.open();
        for (int i = 0; i < 8000; ++i)
            r.st.VoiceRecvBuffer[i] = char(i * 7);
        r.io.PlayReceivedBlock();
        const QByteArray expected(r.st.VoiceRecvBuffer.data(), 8000);
        r.st.VoiceRecvBuffer.fill(0);
        QCOMPARE(QByteArray(r.io.PlaybackBuffer.data(), 8000), expected);
        QCOMPARE(r.playback.written[0], expected);
    }
};

QTEST_GUILESS_MAIN(VoiceIOTest)
#include "voice_io_test.moc"
