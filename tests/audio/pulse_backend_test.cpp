// The sound server backend against a private headless PulseAudio with
// virtual devices. Skipped when pulseaudio is not available.
#include "audio/pulse/pulse_context.h"
#include "audio/pulse/pulse_sound_player.h"
#include "audio/pulse/pulse_voice.h"
#include "audio/voice_io.h"
#include "support/pulse_server.h"
#include "support/test_support.h"

#include <QtTest>

#include <memory>

using namespace voxlet;
using namespace voxlet::pulse;
using namespace voxlet::test;

class PulseBackendTest : public QObject {
    Q_OBJECT
    std::unique_ptr<PulseServer> server_;
    std::unique_ptr<PulseContext> context_;
    QString tone_;

    bool startServer()
    {
        QString why;
        if (!server_->start(&why))
            return false;
        server_->keepReading(QStringLiteral("mic"));
        return true;
    }

    // Feeds the microphone and waits for capture to hear a 1 kHz tone.
    static bool hearsTone(PulseServer& server, const QString& wav, QByteArray& captured)
    {
        captured.clear();
        if (!server.play(QStringLiteral("micsink"), wav))
            return false;
        if (!WaitFor([&] { return LoudPart(captured).size() >= 12000; }, 10000))
            return false;
        const ToneWindows w = CountToneWindows(LoudPart(captured), 8000, 1000, 20);
        return w.loud >= 5 && w.matching >= w.loud - 1;
    }

    // Received voice, one stream of a 600 Hz tone, handed over as a socket
    // reads it: in pieces of any size. at: the stream's next byte.
    static void receive(PulsePlayback& playback, qsizetype& at, int bytes)
    {
        static const QByteArray pcm = TonePcm(600, 30.0, 8000);
        playback.write(pcm.constData() + at, bytes);
        at += bytes;
    }

    // Writes 1.5 s of it in 20 ms (odd-sized) pieces and checks that the
    // speaker played the tone, not bytes paired across samples.
    static bool playsTone(PulsePlayback& playback, qsizetype& at)
    {
        PulseRecorder recorder(QStringLiteral("speaker.monitor"));
        Pump(300);
        for (int i = 0; i < 75; ++i) {
            receive(playback, at, i % 2 ? 319 : 321);
            Pump(20);
        }
        Pump(500);
        recorder.stop();
        const ToneWindows w = CountToneWindows(LoudPart(recorder.data()), 8000, 600, 20);
        return w.loud >= 8 && w.matching >= w.loud - 1;
    }

private slots:
    void initTestCase()
    {
        server_ = std::make_unique<PulseServer>(QStringList { "speaker", "mic" });
        if (!startServer())
            QSKIP("pulseaudio is not available");
        tone_ = server_->filePath(QStringLiteral("tone.wav"));
        WriteBytes(tone_, WavOf(TonePcm(1000, 3.0, 8000), 8000));
        context_ = std::make_unique<PulseContext>();
        QVERIFY(context_->waitUntilReady(5000));
        QVERIFY(context_->hasDevice(true, "mic"));
        QVERIFY(context_->hasDevice(false, nullptr));
        QVERIFY(!context_->hasDevice(false, "no-such-sink"));
    }

    void cleanupTestCase()
    {
        context_.reset();
        server_.reset();
    }

    void voiceStreamsCarryToneBothWaysAndComeBackAfterARestart()
    {
        QByteArray captured;
        int pieces = 0, oddPieces = 0;
        PulseCapture capture(*context_, "mic");
        capture.start(kPlainVoice, [&](const char* data, int bytes) {
            captured.append(data, bytes);
            ++pieces;
            oddPieces += bytes != kPlainVoice.pieceBytes();
        });
        PulsePlayback playback(*context_, "speaker");
        playback.start(kPlainVoice);
        QTRY_VERIFY_WITH_TIMEOUT(capture.streaming() && playback.stats().streaming, 5000);
        // Named as desktop sound settings expect, and marked as a call.
        for (const char* kind : { "source-outputs", "sink-inputs" }) {
            QByteArray listing;
            QVERIFY(server_->runTool(
                { QStringLiteral("pactl"), QStringLiteral("list"), QLatin1String(kind) }, &listing));
            for (const char* property :
                { "application.name = \"Voxlet\"", "application.icon_name = \"voxlet\"",
                    "media.role = \"phone\"", "filter.want = \"echo-cancel\"" })
                QVERIFY2(listing.contains(property), property);
        }

        qsizetype at = 0;
        QVERIFY(hearsTone(*server_, tone_, captured));
        QVERIFY(playsTone(playback, at));
        QCOMPARE(oddPieces, 0);

        // The server goes away: capture goes on with silence, in whole pieces.
        server_->stop();
        QTRY_VERIFY_WITH_TIMEOUT(!capture.streaming() && !context_->ready(), 5000);
        const std::uint64_t silentBefore = capture.silentBytes();
        receive(playback, at, 3200); // received meanwhile: lost, and the stream goes on at an odd byte
        Pump(500);
        QVERIFY(capture.silentBytes() >= silentBefore + 10 * kPlainVoice.pieceBytes());

        // ... and returns: the streams come back by themselves.
        QVERIFY(startServer());
        QTRY_VERIFY_WITH_TIMEOUT(capture.streaming() && playback.stats().streaming, 10000);
        QCOMPARE(context_->connections(), 2u);
        QVERIFY(hearsTone(*server_, tone_, captured));
        QVERIFY(playsTone(playback, at));
        QCOMPARE(oddPieces, 0);
        QVERIFY(pieces > 0);

        // More than the ring holds at once: an odd number of bytes is lost.
        const std::uint64_t overflow = playback.stats().overflowBytes;
        receive(playback, at, 70001);
        QVERIFY(playback.stats().overflowBytes > overflow);
        QVERIFY(playsTone(playback, at));
    }

    // Every device goes away while the server stays (the only sound card
    // unplugged): PulseAudio ends both streams, PipeWire keeps them waiting
    // for a device. Then the devices return, and so does the sound.
    void streamsComeBackWithTheirDevices()
    {
        PulseCapture capture(*context_, "mic");
        QByteArray captured;
        capture.start(kPlainVoice, [&](const char* data, int bytes) { captured.append(data, bytes); });
        PulsePlayback playback(*context_, "speaker");
        playback.start(kPlainVoice);
        QTRY_VERIFY_WITH_TIMEOUT(capture.streaming() && playback.stats().streaming, 5000);
        QByteArray modules;
        QVERIFY(server_->runTool({ "pactl", "list", "short", "modules" }, &modules));
        QList<QStringList> devices; // index, name, arguments
        // PipeWire lists its own modules too ("libpipewire-module-..."):
        // they are the server, not its devices.
        for (const QByteArray& line : modules.split('\n'))
            if (const QStringList f = QString::fromLatin1(line).split('\t');
                f.size() > 2 && f[1].startsWith("module-") && f[1] != "module-native-protocol-unix")
                devices.append(f);
        for (qsizetype i = devices.size() - 1; i >= 0; --i) // a remapped source before its master
            QVERIFY(server_->runTool({ "pactl", "unload-module", devices[i][0] }));
        if (SoundServerKind() == QLatin1String("pulseaudio"))
            QTRY_VERIFY_WITH_TIMEOUT(!capture.streaming() && !playback.stats().streaming, 5000);
        Pump(1500); // longer than a retry, while the devices are still away
        for (const QStringList& d : devices)
            QVERIFY(server_->runTool(
                QStringList { "pactl", "load-module", d[1] } + d[2].split(' ', Qt::SkipEmptyParts)));
        server_->keepReading(QStringLiteral("mic"));
        QTRY_VERIFY_WITH_TIMEOUT(capture.streaming() && playback.stats().streaming, 5000);
        QVERIFY(hearsTone(*server_, tone_, captured));
        qsizetype at = 0;
        QVERIFY(playsTone(playback, at));
    }

    // The phone goes before its devices, with pieces still on their way:
    // none of them reaches the gone owner.
    void captureLetsGoOfAGoneOwner()
    {
        PulseCapture capture(*context_, "mic");
        PulsePlayback playback(*context_, "speaker");
        int calls = 0;
        {
            AppState st;
            RecordingMessageBox boxes;
            auto owner = std::make_unique<int>(0);
            VoiceIO io(st, boxes, capture, playback);
            io.OpenWaveDevices([&calls, p = owner.get()](const char*, int) {
                ++*p;
                ++calls;
            });
            io.StartCapture();
            QTRY_VERIFY_WITH_TIMEOUT(*owner > 2, 5000);
        }
        const int atEnd = calls;
        Pump(200);
        QCOMPARE(calls, atEnd);
        QVERIFY(!capture.streaming());
    }

    void ringPlayerPlaysToTheEndAndRestarts()
    {
        const QString path = server_->filePath(QStringLiteral("beep.wav"));
        WriteBytes(path, WavOf(TonePcm(880, 0.3, 16000), 16000));
        PulseSoundPlayerFactory players(*context_, "speaker");
        auto player = players.create();
        QVERIFY(!player->open(server_->filePath(QStringLiteral("missing.wav"))));
        QVERIFY(player->open(path));
        QVERIFY(!player->hasStopped());
        PulseRecorder recorder(QStringLiteral("speaker.monitor"));
        player->playFromStart();
        QVERIFY(!player->hasStopped());
        QTRY_VERIFY_WITH_TIMEOUT(player->hasStopped(), 5000);
        player->playFromStart();
        QVERIFY(!player->hasStopped());
        QTRY_VERIFY_WITH_TIMEOUT(player->hasStopped(), 5000);
        Pump(200);
        recorder.stop();
        // Two plays of 0.3 s at 16 kHz: twelve 50 ms windows of the 8 kHz
        // recording, fourteen where each play straddles a window's edge; a
        // third play would make eighteen.
        const ToneWindows w = CountToneWindows(recorder.data(), 8000, 880, 20, 800);
        QVERIFY2(w.matching >= 10 && w.loud <= 14, qPrintable(QString("%1 %2").arg(w.loud).arg(w.matching)));
        player->close();
        QVERIFY(!player->hasStopped());
    }
};

QTEST_GUILESS_MAIN(PulseBackendTest)
#include "pulse_backend_test.moc"
