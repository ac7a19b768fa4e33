// The sound server backend the phone chooses (libpulse on PulseAudio, native
// streams on PipeWire; VOXLET_SOUND_BACKEND overrides) against a private
// headless server with virtual devices. Skipped when the server is not
// available.
#include "audio/backend/sound_backend.h"
#include "audio/voice_io.h"
#include "support/pulse_server.h"
#include "support/test_support.h"

#include <QtTest>

#include <memory>

using namespace voxlet;
using namespace voxlet::test;

class SoundBackendTest : public QObject {
    Q_OBJECT
    std::unique_ptr<PulseServer> server_;
    QString tone_;

    // The devices of these cases, without the canceller: its noise
    // suppressor rightly takes a steady tone for noise.
    static SoundOptions devices(const char* mic, const char* speaker)
    {
        SoundOptions o = OnDevices(mic, speaker);
        o.cancelEcho = false;
        return o;
    }

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
    static void receive(PlaybackDevice& playback, qsizetype& at, int bytes)
    {
        static const QByteArray pcm = TonePcm(600, 30.0, 8000);
        playback.write(pcm.constData() + at, bytes);
        at += bytes;
    }

    // Writes 1.5 s of it in 20 ms (odd-sized) pieces and checks that the
    // speaker played the tone, not bytes paired across samples.
    static bool playsTone(
        PlaybackDevice& playback, qsizetype& at, const QString& speaker = QStringLiteral("speaker"))
    {
        PulseRecorder recorder(speaker + QStringLiteral(".monitor"));
        if (!recorder.waitFlowing())
            return false;
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
        server_ = std::make_unique<PulseServer>(QStringList { "speaker", "speaker2", "mic" });
        if (!startServer())
            QSKIP("pulseaudio is not available");
        tone_ = server_->filePath(QStringLiteral("tone.wav"));
        WriteBytes(tone_, WavOf(TonePcm(1000, 3.0, 8000), 8000));
        // The server's kind decides, as in the program.
        const SoundBackendKind expected
            = qgetenv("VOXLET_SOUND_BACKEND") == "pulse" || SoundServerKind() == QLatin1String("pulseaudio")
            ? SoundBackendKind::Pulse
            : SoundBackendKind::PipeWire;
        QCOMPARE(ChooseSoundBackend(), expected);
        SoundBackend sound(devices({}, {}));
        QVERIFY(sound.waitUntilReady(5000));
        QVERIFY(sound.hasDevice(true, "mic"));
        QVERIFY(sound.hasDevice(true, "speaker.monitor"));
        QVERIFY(sound.hasDevice(false, nullptr));
        QVERIFY(!sound.hasDevice(false, "no-such-sink"));
    }

    void cleanupTestCase() { server_.reset(); }

    void voiceStreamsCarryToneBothWaysAndComeBackAfterARestart()
    {
        QByteArray captured;
        int pieces = 0, oddPieces = 0;
        SoundBackend sound(devices("mic", "speaker"));
        CaptureDevice& capture = sound.capture();
        PlaybackDevice& playback = sound.playback();
        capture.start(kPlainVoice, [&](const char* data, int bytes) {
            captured.append(data, bytes);
            ++pieces;
            oddPieces += bytes != kPlainVoice.pieceBytes();
        });
        playback.start(kPlainVoice);
        QTRY_VERIFY_WITH_TIMEOUT(sound.captureStreaming() && sound.playbackStats().streaming, 5000);
        // Named as desktop sound settings expect, and marked as a call
        // (pipewire-pulse shows a native stream's role Communication as
        // "phone"); nothing of PipeWire acts on filter.want.
        const bool native = sound.kind() == SoundBackendKind::PipeWire;
        for (const char* kind : { "source-outputs", "sink-inputs" }) {
            QByteArray listing;
            QVERIFY(server_->runTool(
                { QStringLiteral("pactl"), QStringLiteral("list"), QLatin1String(kind) }, &listing));
            for (const char* property :
                { "application.name = \"Voxlet\"", "application.icon_name = \"voxlet\"",
                    "media.role = \"phone\"", "filter.want = \"echo-cancel\"" })
                QVERIFY2(listing.contains(property) || (native && property[0] == 'f'), property);
        }

        qsizetype at = 0;
        QVERIFY(hearsTone(*server_, tone_, captured));
        QVERIFY(playsTone(playback, at));
        QCOMPARE(oddPieces, 0);

        // The server goes away: capture goes on with silence, in whole pieces.
        server_->stop();
        QTRY_VERIFY_WITH_TIMEOUT(!sound.captureStreaming() && !sound.ready(), 5000);
        const std::uint64_t silentBefore = sound.silentBytes();
        receive(playback, at, 3200); // received meanwhile: lost, and the stream goes on at an odd byte
        Pump(500);
        QVERIFY(sound.silentBytes() >= silentBefore + 10 * kPlainVoice.pieceBytes());

        // ... and returns: the streams come back by themselves.
        QVERIFY(startServer());
        QTRY_VERIFY_WITH_TIMEOUT(sound.captureStreaming() && sound.playbackStats().streaming, 10000);
        QCOMPARE(sound.connections(), 2u);
        QVERIFY(hearsTone(*server_, tone_, captured));
        QVERIFY(playsTone(playback, at));
        QCOMPARE(oddPieces, 0);
        QVERIFY(pieces > 0);

        // More than the ring holds at once: an odd number of bytes is lost.
        const std::uint64_t overflow = sound.playbackStats().overflowBytes;
        receive(playback, at, 70001);
        QVERIFY(sound.playbackStats().overflowBytes > overflow);
        QVERIFY(playsTone(playback, at));
    }

    // Every device goes away while the server stays (the only sound card
    // unplugged): PulseAudio ends both streams, PipeWire keeps them waiting
    // for a device. Then the devices return, and so does the sound.
    void streamsComeBackWithTheirDevices()
    {
        SoundBackend sound(devices("mic", "speaker"));
        CaptureDevice& capture = sound.capture();
        QByteArray captured;
        capture.start(kPlainVoice, [&](const char* data, int bytes) { captured.append(data, bytes); });
        PlaybackDevice& playback = sound.playback();
        playback.start(kPlainVoice);
        QTRY_VERIFY_WITH_TIMEOUT(sound.captureStreaming() && sound.playbackStats().streaming, 5000);
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
        if (SoundServerKind() == QLatin1String("pulseaudio") || sound.kind() == SoundBackendKind::PipeWire)
            QTRY_VERIFY_WITH_TIMEOUT(!sound.captureStreaming() && !sound.playbackStats().streaming, 5000);
        const std::uint64_t silentBefore = sound.silentBytes();
        Pump(1500); // longer than a retry, while the devices are still away
        if (sound.kind() == SoundBackendKind::PipeWire) // silence meanwhile, as the call needs
            QVERIFY(sound.silentBytes() >= silentBefore + 50 * kPlainVoice.pieceBytes());
        for (const QStringList& d : devices)
            QVERIFY(server_->runTool(
                QStringList { "pactl", "load-module", d[1] } + d[2].split(' ', Qt::SkipEmptyParts)));
        server_->keepReading(QStringLiteral("mic"));
        QTRY_VERIFY_WITH_TIMEOUT(sound.captureStreaming() && sound.playbackStats().streaming, 5000);
        QVERIFY(hearsTone(*server_, tone_, captured));
        qsizetype at = 0;
        QVERIFY(playsTone(playback, at));
    }

    // Without a name, a device is the one PULSE_SINK names, as libpulse has it.
    void aStreamWithoutADeviceGoesWherePulseSinkSays()
    {
        qputenv("PULSE_SINK", "speaker2");
        const auto unset = qScopeGuard([] { qunsetenv("PULSE_SINK"); });
        SoundBackend sound(devices({}, {}));
        sound.playback().start(kPlainVoice);
        QTRY_VERIFY_WITH_TIMEOUT(sound.playbackStats().streaming, 5000);
        qsizetype at = 0;
        QVERIFY(playsTone(sound.playback(), at, QStringLiteral("speaker2")));
    }

    // The phone goes before its devices, with pieces still on their way:
    // none of them reaches the gone owner.
    void captureLetsGoOfAGoneOwner()
    {
        SoundBackend sound(devices("mic", "speaker"));
        int calls = 0;
        {
            AppState st;
            RecordingMessageBox boxes;
            auto owner = std::make_unique<int>(0);
            VoiceIO io(st, boxes, sound.capture(), sound.playback());
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
        QVERIFY(!sound.captureStreaming());
    }

    void ringPlayerPlaysToTheEndAndRestarts()
    {
        const QString path = server_->filePath(QStringLiteral("beep.wav"));
        WriteBytes(path, WavOf(TonePcm(880, 0.3, 16000), 16000));
        SoundBackend sound(devices({}, "speaker"));
        auto player = sound.sounds().create();
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

QTEST_GUILESS_MAIN(SoundBackendTest)
#include "sound_backend_test.moc"
