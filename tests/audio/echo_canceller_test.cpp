// The echo canceller: on its own, on a simulated echo path with the sound
// server's timing, and in the backend through a real sound server (an echo
// path from the speaker's monitor into the microphone, PulseAudio or
// PipeWire as VOXLET_SOUND_SERVER says). The figures each case prints are
// what bench/echo.sh collects; the bounds asserted are looser than the
// targets, to catch a canceller that is broken or misaligned, not a slow
// machine.
#include "audio/backend/sound_backend.h"
#include "audio/echo_canceller.h"
#include "audio/wav_file.h"
#include "support/pulse_server.h"
#include "support/test_support.h"

#include <QElapsedTimer>
#include <QScopeGuard>
#include <QTimer>
#include <QtEndian>
#include <QtTest>

#include <cmath>
#include <memory>
#include <vector>

using namespace voxlet;
using namespace voxlet::test;

namespace {

constexpr int kRate = 8000;

std::vector<double> Samples(const QByteArray& pcm)
{
    std::vector<double> x(std::size_t(pcm.size() / 2));
    for (std::size_t i = 0; i < x.size(); ++i)
        x[i] = qFromLittleEndian<qint16>(pcm.constData() + 2 * i);
    return x;
}

// Sum of squares of x[from, to), zero outside.
double Energy(const std::vector<double>& x, long from, long to)
{
    double sum = 0;
    for (long i = std::max(0L, from); i < std::min(to, long(x.size())); ++i)
        sum += x[std::size_t(i)] * x[std::size_t(i)];
    return sum;
}

double Db(double ratio)
{
    return 10 * std::log10(std::max(ratio, 1e-12));
}

// The figures, on one timeline: the microphone's input, the canceller's
// output, and what the near end said.
struct EchoFigures {
    double erleAfter2s = 0; // echo return loss enhancement, 2-3 s after the echo began
    double secondsTo20dB = -1; // first 250 ms stretch reduced by 20 dB (-1: never within 5 s)
    double doubleTalkLossDb = 0; // the near end's level lost while both talk
    double nearAloneLossDb = 0; // ... and while only the near end talks
    // What reaches the far end of the near end while both talk, against
    // what does while it talks alone (a listener's comparison).
    double doubleTalkAgainstAloneDb = 0;
};

EchoFigures Measure(const std::vector<double>& in, const std::vector<double>& out,
    const std::vector<double>& nearEnd, long echoFrom, long doubleTalkFrom, long doubleTalkTo, long aloneFrom,
    long aloneTo)
{
    EchoFigures f;
    f.erleAfter2s = Db(Energy(in, echoFrom + 2 * kRate, echoFrom + 3 * kRate)
        / (Energy(out, echoFrom + 2 * kRate, echoFrom + 3 * kRate) + 1));
    const long window = kRate / 4;
    for (long end = echoFrom + window; end <= echoFrom + 5 * kRate; end += kRate / 20) {
        const double e = Energy(in, end - window, end);
        if (e < window * 30.0 * 30.0) // quieter than -61 dBFS: a pause
            continue;
        if (Db(e / (Energy(out, end - window, end) + 1)) >= 20) {
            f.secondsTo20dB = double(end - echoFrom) / kRate;
            break;
        }
    }
    // The near end's level at the microphone, from where it talks alone
    // (a sound server may add a little gain on the way).
    const double gain = Energy(in, aloneFrom, aloneTo) / (Energy(nearEnd, aloneFrom, aloneTo) + 1);
    f.doubleTalkLossDb = Db(gain * Energy(nearEnd, doubleTalkFrom, doubleTalkTo)
        / (Energy(out, doubleTalkFrom, doubleTalkTo) + 1));
    f.nearAloneLossDb = Db(Energy(in, aloneFrom, aloneTo) / (Energy(out, aloneFrom, aloneTo) + 1));
    f.doubleTalkAgainstAloneDb
        = Db(Energy(out, aloneFrom, aloneTo) * Energy(nearEnd, doubleTalkFrom, doubleTalkTo)
            / (Energy(nearEnd, aloneFrom, aloneTo) * Energy(out, doubleTalkFrom, doubleTalkTo) + 1));
    return f;
}

QString Describe(const EchoFigures& f)
{
    return QStringLiteral(
        "ERLE after 2 s %1 dB (target >= 30, never < 25); time to 20 dB %2 s (target <= 1.5); "
        "near-end loss in double talk %3 dB (target <= 6), alone %4 dB; double talk against alone %5 dB")
        .arg(f.erleAfter2s, 0, 'f', 1)
        .arg(f.secondsTo20dB, 0, 'f', 2)
        .arg(f.doubleTalkLossDb, 0, 'f', 1)
        .arg(f.nearAloneLossDb, 0, 'f', 1)
        .arg(f.doubleTalkAgainstAloneDb, 0, 'f', 1);
}

// Number of the sink input a module owns, or -1.
int SinkInputOf(PulseServer& server, const QByteArray& module)
{
    QByteArray listing;
    if (!server.runTool({ "pactl", "list", "sink-inputs" }, &listing))
        return -1;
    int input = -1;
    for (const QByteArray& line : listing.split('\n')) {
        const QByteArray t = line.trimmed();
        if (t.startsWith("Sink Input #"))
            input = t.mid(12).toInt();
        else if (t == "Owner Module: " + module)
            return input;
    }
    return -1;
}

} // namespace

class EchoCancellerTest : public QObject {
    Q_OBJECT
    std::unique_ptr<PulseServer> server_;
    bool up_ = false;
    QString why_;

    // The phone's voice on the test's devices, as the program chooses its backend.
    static SoundOptions devices(const char* mic, bool cancelEcho)
    {
        SoundOptions o = OnDevices(mic, "speaker");
        o.cancelEcho = cancelEcho;
        return o;
    }

private slots:
    void initTestCase()
    {
        server_ = std::make_unique<PulseServer>(QStringList { "speaker:8k", "mic" });
        up_ = server_->start(&why_);
        if (up_)
            server_->keepReading(QStringLiteral("mic"));
    }

    void cleanupTestCase() { server_.reset(); }

    // The sound server's timing, simulated: playback is written 20 ms at a
    // time 50 ms ahead of the speaker, the microphone arrives 10 ms late in
    // reads of 37 samples (never whole frames), and the echo comes back
    // after a path the reports leave out, 13 dB down with a reflection.
    void cancelsASimulatedEchoPath_data()
    {
        QTest::addColumn<int>("pathMs");
        QTest::newRow("60 ms") << 60;
        QTest::newRow("250 ms") << 250;
    }
    void cancelsASimulatedEchoPath()
    {
        QFETCH(int, pathMs);
        constexpr int leadMs = 50, lateMs = 10;
        const std::vector<double> far = Samples(SpeechLikePcm(8.5, 1));
        const std::vector<double> talk = Samples(SpeechLikePcm(4.0, 2));
        const long n = 10 * kRate, talkFrom = 6 * kRate;
        std::vector<double> nearEnd(std::size_t(n), 0.0), mic(std::size_t(n), 0.0);
        for (long i = 0; i < n; ++i) {
            const long j = i - pathMs * kRate / 1000;
            double echo = 0;
            if (j >= 0 && j < long(far.size()))
                echo += 0.22 * far[std::size_t(j)];
            if (j >= 40 && j - 40 < long(far.size()))
                echo += 0.07 * far[std::size_t(j - 40)];
            if (i >= talkFrom && i - talkFrom < long(talk.size()))
                nearEnd[std::size_t(i)] = talk[std::size_t(i - talkFrom)];
            mic[std::size_t(i)] = std::round(echo + nearEnd[std::size_t(i)]);
        }

        EchoCanceller canceller;
        QVERIFY(canceller.ok());
        canceller.setDelayMs(leadMs + lateMs);
        std::vector<std::int16_t> out, chunk;
        long rendered = 0, captured = 0;
        for (long now = 0; captured < n; now += kRate / 200) {
            while (rendered < now + leadMs * kRate / 1000) {
                chunk.assign(160, 0);
                for (long k = 0; k < 160; ++k)
                    if (rendered + k < long(far.size()))
                        chunk[std::size_t(k)] = std::int16_t(far[std::size_t(rendered + k)]);
                canceller.render(chunk.data(), chunk.size());
                rendered += 160;
            }
            while (captured + 37 <= std::min(n, now - lateMs * kRate / 1000)) {
                chunk.assign(mic.begin() + captured, mic.begin() + captured + 37);
                canceller.capture(chunk.data(), chunk.size(), out);
                captured += 37;
            }
            if (now > n + kRate)
                break;
        }
        // Whole frames out, in order, as many as went in.
        QCOMPARE(long(out.size()), captured / canceller.frameSamples() * canceller.frameSamples());
        const std::vector<double> cleaned(out.begin(), out.end());
        const EchoFigures f = Measure(mic, cleaned, nearEnd, pathMs * kRate / 1000, talkFrom + kRate / 4,
            long(far.size()), long(far.size()) + kRate / 2, talkFrom + long(talk.size()));
        const EchoCancellerStats s = canceller.stats();
        qInfo("simulated %d ms path: %s; path found %d ms", pathMs, qPrintable(Describe(f)), s.extraDelayMs);
        // Deterministic (no clock, no server): the targets themselves.
        QVERIFY2(f.erleAfter2s >= 25, qPrintable(Describe(f)));
        QVERIFY2(f.secondsTo20dB >= 0 && f.secondsTo20dB <= 1.5, qPrintable(Describe(f)));
        QVERIFY2(f.doubleTalkLossDb <= 6, qPrintable(Describe(f)));
        QVERIFY2(std::abs(f.nearAloneLossDb) <= 1, qPrintable(Describe(f)));
        // It found the path (held back a little short of it, never past it).
        QVERIFY2(s.extraDelayMs <= pathMs && s.extraDelayMs >= pathMs - 40,
            qPrintable(QString::number(s.extraDelayMs)));
    }

    // Through the sound server: the phone's playback and capture with the
    // canceller between them, an echo path from the speaker's monitor into
    // the microphone's sink (module-loopback at the path's latency, at 60 %
    // volume: -13 dB; in one channel, as PipeWire's stereo loopback summed
    // into the mono microphone made the echo 6 dB louder there), a far end
    // sending speech-like noise in 20 ms pieces, and a near end talking into
    // the same sink from 6 s on. Everything is placed on the near end's
    // timeline by a short burst it sends first.
    void cancelsAnEchoThroughTheSoundServer_data()
    {
        QTest::addColumn<int>("pathMs");
        QTest::newRow("60 ms") << 60;
        QTest::newRow("250 ms") << 250;
    }
    void cancelsAnEchoThroughTheSoundServer()
    {
        if (!up_)
            QSKIP(qPrintable(why_));
        QFETCH(int, pathMs);
        QByteArray module;
        QVERIFY(server_->runTool(
            { "pactl", "load-module", "module-loopback", "source=speaker.monitor", "sink=micsink",
                "channels=1", QStringLiteral("latency_msec=%1").arg(pathMs) },
            &module));
        module = module.trimmed();
        const auto unload = qScopeGuard([&] { server_->runTool({ "pactl", "unload-module", module }); });
        int input = -1;
        QTRY_VERIFY_WITH_TIMEOUT((input = SinkInputOf(*server_, module)) >= 0, 5000);
        QVERIFY(server_->runTool({ "pactl", "set-sink-input-volume", QString::number(input), "60%" }));

        // The near end: a burst at 0.3 s to line the recordings up, then
        // talk from 6 s to 11 s (with the far end until about 9 s).
        const long burstAt = 3 * kRate / 10, talkFrom = 6 * kRate;
        QByteArray nearPcm(2 * (12 * kRate), 0);
        nearPcm.replace(2 * burstAt, 2 * kRate / 8, SpeechLikePcm(0.125, 7, 6000).left(2 * kRate / 8));
        // bench/echo.sh talks with other voices (recorded speech, tone bursts):
        // 16-bit mono at 8000 samples/s.
        QByteArray talkPcm = SpeechLikePcm(5.0, 2);
        if (const QString other = qEnvironmentVariable("VOXLET_ECHO_NEAR_WAV"); !other.isEmpty()) {
            const auto wav = ReadWavFile(other);
            QVERIFY2(wav && wav->SampleRate == kRate && wav->Channels == 1 && wav->BitsPerSample == 16,
                qPrintable(other));
            talkPcm = wav->Samples.left(2 * 5 * kRate).leftJustified(2 * 5 * kRate, '\0');
        }
        nearPcm.replace(2 * talkFrom, 2 * 5 * kRate, talkPcm);
        const QString nearWav = server_->filePath(QStringLiteral("near.wav"));
        WriteBytes(nearWav, WavOf(nearPcm, kRate));

        SoundBackend sound(devices("mic", true));
        CaptureDevice& capture = sound.capture();
        PlaybackDevice& playback = sound.playback();
        QByteArray out;
        capture.start(kPlainVoice, [&](const char* data, int bytes) { out.append(data, bytes); });
        playback.start(kPlainVoice);
        QTRY_VERIFY_WITH_TIMEOUT(sound.captureStreaming() && sound.playbackStats().streaming, 5000);
        PulseRecorder raw(QStringLiteral("mic"));
        QVERIFY(raw.started());
        Pump(1000); // the loopback settles at its latency
        out.clear();
        const qsizetype rawFrom = raw.data().size();
        QVERIFY(server_->play(QStringLiteral("micsink"), nearWav));

        // The far end starts once the burst has come through.
        // The first loud sample at or after byte from.
        const auto loud = [](const QByteArray& pcm, qsizetype from) {
            for (qsizetype i = from & ~qsizetype(1); i + 1 < pcm.size(); i += 2)
                if (std::abs(qFromLittleEndian<qint16>(pcm.constData() + i)) > 2000)
                    return i / 2;
            return qsizetype(-1);
        };
        QTRY_VERIFY_WITH_TIMEOUT(loud(out, 0) >= 0, 10000);
        const QByteArray far = SpeechLikePcm(8.5, 1);
        QElapsedTimer clock;
        clock.start();
        qsizetype sent = 0;
        QTimer feed;
        feed.setTimerType(Qt::PreciseTimer);
        connect(&feed, &QTimer::timeout, [&] {
            // By the clock, in 20 ms pieces, as the network brings them.
            while (sent < far.size() && sent < clock.elapsed() * 2 * kRate / 1000) {
                playback.write(far.constData() + sent, kPlainVoice.pieceBytes());
                sent += kPlainVoice.pieceBytes();
            }
        });
        feed.start(10);
        QTRY_VERIFY_WITH_TIMEOUT(sent >= far.size(), 15000);
        feed.stop();
        // One timeline: the near end's file, where the burst is at burstAt.
        // Both recordings go on to the near end's last words.
        const qsizetype outBurst = loud(out, 0);
        qsizetype rawBurst = -1;
        QTRY_VERIFY_WITH_TIMEOUT((rawBurst = loud(raw.data(), rawFrom)) >= 0, 5000);
        const qsizetype until = talkFrom + 5 * kRate - burstAt;
        QTRY_VERIFY_WITH_TIMEOUT(
            out.size() / 2 >= outBurst + until && raw.data().size() / 2 >= rawBurst + until, 10000);
        raw.stop();
        const EchoPathStats stats = sound.echoStats();
        capture.stop();
        playback.stop();
        const std::vector<double> talk = Samples(nearPcm);
        const std::vector<double> rawAll = Samples(raw.data());
        const std::vector<double> outAll = Samples(out);
        std::vector<double> in(talk.size(), 0.0), cleaned(talk.size(), 0.0);
        for (long t = 0; t < long(talk.size()); ++t) {
            const long r = long(rawBurst) - burstAt + t, o = long(outBurst) - burstAt + t;
            if (r >= 0 && r < long(rawAll.size()))
                in[std::size_t(t)] = rawAll[std::size_t(r)];
            if (o >= 0 && o < long(outAll.size()))
                cleaned[std::size_t(t)] = outAll[std::size_t(o)];
        }
        // The echo begins where the input first carries sound after the burst.
        long echoFrom = -1;
        for (long t = burstAt + kRate / 4; t + 80 < talkFrom && echoFrom < 0; t += 80)
            if (Energy(in, t, t + 80) > 80 * 100.0 * 100.0)
                echoFrom = t;
        QVERIFY2(echoFrom >= 0, "no echo came back through the loopback");
        // The far end talks until about 9 s on this timeline: double talk
        // from 6.25 s to 8.75 s, the near end alone from 9.5 s to 11 s.
        const EchoFigures f = Measure(in, cleaned, talk, echoFrom, talkFrom + kRate / 4,
            talkFrom + 11 * kRate / 4, talkFrom + 7 * kRate / 2, talkFrom + 5 * kRate);
        // An echo came back, somewhere near 13 dB under the far end.
        const double echoDb
            = Db(Energy(in, echoFrom, echoFrom + 4 * kRate) / Energy(Samples(far), 0, 4 * kRate));
        qInfo("%s, %d ms path: %s; echo at the microphone %.1f dB under the far end; path found %d ms "
              "beyond the reported %d ms, in %d moves",
            qPrintable(SoundServerKind()), pathMs, qPrintable(Describe(f)), -echoDb, stats.extraDelayMs,
            stats.reportedDelayMs, stats.extraDelayChanges);
        QVERIFY2(echoDb > -25 && echoDb < -3, qPrintable(QString::number(echoDb)));
        QVERIFY(stats.inPath && !stats.sourceCancels);
        // Bounds that a broken or misaligned canceller misses and a loaded
        // machine does not: the targets are printed above. (Told only the
        // reported delay, the library fell to 18-22 dB under CI's load.)
        QVERIFY2(f.erleAfter2s >= 25, qPrintable(Describe(f)));
        QVERIFY2(f.secondsTo20dB >= 0 && f.secondsTo20dB <= 3, qPrintable(Describe(f)));
        QVERIFY2(f.doubleTalkLossDb <= 10, qPrintable(Describe(f)));
        QVERIFY2(f.nearAloneLossDb <= 3, qPrintable(Describe(f)));
        // A long path is beyond what the library finds by itself in time:
        // the reference was held back by about its length (the servers'
        // own buffering on the loopback comes on top, PipeWire reports
        // part of it).
        if (pathMs >= 200)
            QVERIFY2(stats.extraDelayMs >= pathMs - 120 && stats.extraDelayMs <= pathMs + 60,
                qPrintable(QString::number(stats.extraDelayMs)));
    }

    // Never twice: on a source that cancels echo itself ours stays out, and
    // comes back in on a plain one; turned off, it never touches the voice.
    // PulseAudio's filter modules act on filter.want=echo-cancel: they load
    // their own canceller and move both voice streams to it, and ours steps
    // aside once moved.
    void staysOutWhereTheSourceCancelsEcho()
    {
        if (!up_)
            QSKIP(qPrintable(why_));
        const bool pulseaudio = SoundServerKind() == QLatin1String("pulseaudio");
        QByteArray module;
        QVERIFY(server_->runTool({ "pactl", "load-module", "module-echo-cancel", "source_master=mic",
                                     "sink_master=speaker", "aec_method=webrtc", "source_name=cancelled" },
            &module));
        const auto unload = qScopeGuard([&] {
            for (const char* m : { "module-filter-apply", "module-filter-heuristics", "module-echo-cancel" })
                server_->runTool({ "pactl", "unload-module", m });
        });
        SoundBackend server(devices("mic", true));
        QTRY_VERIFY_WITH_TIMEOUT(server.hasDevice(true, "cancelled"), 5000);
        struct Case {
            const char* source;
            bool wanted, inPath, filters;
        };
        for (const Case c : { Case { "cancelled", true, false, false }, Case { "mic", true, true, false },
                 Case { "mic", false, false, false }, Case { "mic", true, false, true } }) {
            if (c.filters) {
                if (!pulseaudio)
                    break; // nothing in PipeWire acts on filter.want
                QVERIFY(server_->runTool({ "pactl", "load-module", "module-filter-heuristics" }));
                QVERIFY(server_->runTool({ "pactl", "load-module", "module-filter-apply" }));
            }
            SoundBackend sound(devices(c.source, c.wanted));
            qsizetype bytes = 0;
            sound.capture().start(kPlainVoice, [&](const char*, int n) { bytes += n; });
            sound.playback().start(kPlainVoice);
            const QString where
                = QStringLiteral("%1, wanted %2, filters %3").arg(c.source).arg(c.wanted).arg(c.filters);
            QTRY_VERIFY2_WITH_TIMEOUT(
                bytes >= 8000 && sound.echoStats().inPath == c.inPath, qPrintable(where), 10000);
            const EchoPathStats s = sound.echoStats();
            QVERIFY2(s.sourceCancels == (c.wanted && !c.inPath), qPrintable(where));
            QVERIFY2(c.inPath ? s.processedFrames > 0 : s.bypassedBytes > 0, qPrintable(where));
            QVERIFY2(c.wanted || s.processedFrames == 0, qPrintable(where));
        }
    }
};

QTEST_GUILESS_MAIN(EchoCancellerTest)
#include "echo_canceller_test.moc"
