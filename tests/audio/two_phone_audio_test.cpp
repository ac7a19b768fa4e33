// Two phones in one process talk over loopback through the real sound
// server backend, each on its own virtual microphone and speaker of a private
// PulseAudio: a tone fed into one microphone comes out of the other phone's
// speaker, and the wire carries exactly the microphone's samples.
#include "audio/backend/sound_backend.h"
#include "net/address.h"
#include "phonebook/phone_book_files.h"
#include "shell/phone.h"
#include "support/fake_windows.h"
#include "support/pulse_server.h"
#include "support/raw_peer.h"
#include "support/test_phone.h"
#include "support/test_support.h"

#include <QElapsedTimer>
#include <QFile>
#include <QtTest>

#include <algorithm>
#include <memory>
#include <thread>
#include <vector>

using namespace voxlet;
using namespace voxlet::test;

using namespace std::chrono_literals;

namespace {

// The real microphone, keeping a copy of everything it reports.
class RecordingCapture : public CaptureDevice {
public:
    explicit RecordingCapture(CaptureDevice& real)
        : real(real)
    {
    }
    bool open(const VoiceFormat& format) override { return real.open(format); }
    void start(const CallVoice& voice, PieceCallback onPiece) override
    {
        real.start(voice, [this, onPiece](const char* data, int bytes) {
            captured.append(data, bytes);
            onPiece(data, bytes);
        });
    }
    void stop() override { real.stop(); }

    CaptureDevice& real;
    QByteArray captured;
};

// The real speaker, keeping a copy of everything written to it.
class RecordingPlayback : public PlaybackDevice {
public:
    explicit RecordingPlayback(PlaybackDevice& real)
        : real(real)
    {
    }
    bool open(const VoiceFormat& format) override { return real.open(format); }
    void start(const CallVoice& voice) override { real.start(voice); }
    void stop() override { real.stop(); }
    void write(const char* data, int length) override
    {
        // When each block began to come and when it was whole.
        while (qsizetype(blockBegan.size()) * kVoiceBlockBytes < received.size() + length)
            blockBegan.push_back(MonotonicUs());
        received.append(data, length);
        while (qsizetype(blockWhole.size() + 1) * kVoiceBlockBytes <= received.size())
            blockWhole.push_back(MonotonicUs());
        real.write(data, length);
    }
    int takeDecoded(std::int16_t* out, int max) override { return real.takeDecoded(out, max); }
    std::vector<QByteArray> blocks() const
    {
        std::vector<QByteArray> out;
        for (qsizetype at = 0; at + kVoiceBlockBytes <= received.size(); at += kVoiceBlockBytes)
            out.push_back(received.mid(at, kVoiceBlockBytes));
        return out;
    }

    PlaybackDevice& real;
    QByteArray received;
    std::vector<std::int64_t> blockBegan, blockWhole;
};

// The virtual devices of one phone on the sound server.
struct VirtualDevices {
    VirtualDevices(const QByteArray& mic, const QByteArray& speaker, bool cancelEcho)
        : sound(options(mic, speaker, cancelEcho))
        , capture(sound.capture())
        , playback(sound.playback())
    {
    }
    static SoundOptions options(const QByteArray& mic, const QByteArray& speaker, bool cancelEcho)
    {
        SoundOptions o = OnDevices(mic, speaker);
        o.cancelEcho = cancelEcho;
        return o;
    }

    // As the program has it, with the canceller between the phone's own devices.
    SoundBackend sound;
    RecordingCapture capture;
    RecordingPlayback playback;
};

struct DevicePhone : VirtualDevices, PhoneOnDevices {
    DevicePhone(const QString& addr, const QString& ownName, const QByteArray& mic, const QByteArray& speaker,
        bool cancelEcho = true, Offers offers = Offers::None)
        : VirtualDevices(mic, speaker, cancelEcho)
        , PhoneOnDevices(addr, ownName, 20, capture, playback, sound.sounds(), offers)
    {
    }
    int toneBlocks() const
    {
        int n = 0;
        for (const QByteArray& b : playback.blocks())
            n += Rms(b.constData(), b.size()) > 4000;
        return n;
    }
};

} // namespace

class TwoPhoneAudioTest : public QObject {
    Q_OBJECT
    std::unique_ptr<PulseServer> pulse_;

    QString why_;
    bool serverUp_ = false;

    bool startServer()
    {
        if (!pulse_->start(&why_))
            return false;
        serverUp_ = true;
        pulse_->keepReading(QStringLiteral("micA"));
        pulse_->keepReading(QStringLiteral("micB"));
        pulse_->keepReading(QStringLiteral("micHA"));
        pulse_->keepReading(QStringLiteral("micHB"));
        return true;
    }

private slots:
    void initTestCase()
    {
        // Each phone has a speaker of its own and a microphone fed from a sink.
        // The HD call's microphones pass its 7 kHz band (the speakers run at
        // the server's own rate).
        pulse_ = std::make_unique<PulseServer>(
            QStringList { "speakerA", "speakerB", "micA", "micB", "micHA:48k", "micHB:48k" });
        if (!startServer())
            QSKIP(qPrintable(why_));
    }

    void cleanupTestCase() { pulse_.reset(); }

    // A case that failed while the server was away leaves none to the next.
    void init()
    {
        if (!serverUp_)
            QVERIFY2(startServer(), qPrintable(why_));
    }

    void tonesCrossInBothDirections()
    {
        // Both speakers are listened to throughout, as a sound card plays on
        // whether or not anyone writes.
        PulseRecorder atA(QStringLiteral("speakerA.monitor"));
        PulseRecorder atB(QStringLiteral("speakerB.monitor"));
        QVERIFY(atA.waitFlowing() && atB.waitFlowing());
        // Without the echo canceller: its noise suppressor takes a steady
        // tone for noise and lowers it by about 13 dB (its own test,
        // echo_canceller_test, talks with speech-like sound).
        DevicePhone a(LoopbackAddress(2), QStringLiteral("Alice"), "micA", "speakerA", false);
        DevicePhone b(LoopbackAddress(3), QStringLiteral("Bob"), "micB", "speakerB", false);
        a.startAndListen();
        b.startAndListen();
        // Both devices opened: no device message.
        QVERIFY2(a.boxes.boxes.isEmpty(), qPrintable(a.boxes.texts().join('|')));
        QVERIFY2(b.boxes.boxes.isEmpty(), qPrintable(b.boxes.texts().join('|')));
        QVERIFY(a.phone->voice.captureOpen() && a.phone->voice.playbackOpen());
        QVERIFY(b.phone->voice.captureOpen() && b.phone->voice.playbackOpen());

        // Dial; answer once the caller hears the ring-back.
        QVERIFY(EstablishCall(*a.phone, a.main, *b.phone, b.address));
        QCOMPARE(a.main.text1(), QStringLiteral("つながりました。お話ください。"));
        QVERIFY(WaitFor([&] { return a.sound.captureStreaming() && b.sound.captureStreaming(); }));

        // Talk: 1 kHz into A's microphone, 600 Hz into B's.
        Pump(300); // the ring sounds' tails leave the speakers
        const qsizetype markA = atA.data().size(), markB = atB.data().size();
        const QString toneA = pulse_->filePath(QStringLiteral("a.wav"));
        const QString toneB = pulse_->filePath(QStringLiteral("b.wav"));
        WriteBytes(toneA, WavOf(TonePcm(1000, 6.0, 8000), 8000));
        WriteBytes(toneB, WavOf(TonePcm(600, 6.0, 8000), 8000));
        QVERIFY(pulse_->play(QStringLiteral("micsinkA"), toneA));
        QVERIFY(pulse_->play(QStringLiteral("micsinkB"), toneB));

        const bool enough = WaitFor([&] { return a.toneBlocks() >= 5 && b.toneBlocks() >= 5; }, 30000);
        QVERIFY2(enough,
            qPrintable(
                QStringLiteral("tone blocks heard: A %1, B %2").arg(a.toneBlocks()).arg(b.toneBlocks())));
        Pump(1500); // the last blocks play out of the speakers
        atA.stop();
        atB.stop();

        // Each side played exactly what the other side's microphone recorded,
        // in order, nothing lost or repeated, and drew every whole block.
        for (auto [from, to] : { std::pair { &a, &b }, std::pair { &b, &a } }) {
            const QByteArray& played = to->playback.received;
            QVERIFY(played.size() >= 5 * kVoiceBlockBytes);
            QVERIFY(from->capture.captured.startsWith(played));
            QCOMPARE(from->phone->net.droppedVoiceBytes(), std::uint64_t(0));
            QVERIFY(to->main.draws >= int(played.size() / kVoiceBlockBytes));
        }

        // The blocks carry the tone fed in, measured in each loud block.
        auto blockTone = [](const DevicePhone& p, double hz) {
            int loud = 0, matching = 0;
            for (const QByteArray& block : p.playback.blocks()) {
                if (Rms(block.constData(), block.size()) < 4000)
                    continue;
                ++loud;
                matching += std::abs(DominantFrequency(block.constData(), block.size(), 8000) - hz) <= 10;
            }
            return std::pair { loud, matching };
        };
        const auto [bLoud, bMatching] = blockTone(b, 1000);
        const auto [aLoud, aMatching] = blockTone(a, 600);
        QVERIFY(bLoud >= 5 && aLoud >= 5);
        QCOMPARE(bMatching, bLoud);
        QCOMPARE(aMatching, aLoud);

        // And it really sounded from each speaker: 1 kHz at B, 600 Hz at A.
        const ToneWindows heardB = CountToneWindows(atB.data().mid(markB), 8000, 1000, 10);
        const ToneWindows heardA = CountToneWindows(atA.data().mid(markA), 8000, 600, 10);
        const QString detail = QStringLiteral("B %1/%2, A %3/%4 loud windows at the tone")
                                   .arg(heardB.matching)
                                   .arg(heardB.loud)
                                   .arg(heardA.matching)
                                   .arg(heardA.loud);
        // At least two blocks' worth of 1/8 s windows each, nearly all at the tone
        // (a window may straddle a short gap on a busy machine).
        qInfo("%s", qPrintable(detail));
        QVERIFY2(heardB.loud >= 8 && heardA.loud >= 8, qPrintable(detail));
        QVERIFY2(heardB.matching * 10 >= heardB.loud * 9, qPrintable(detail));
        QVERIFY2(heardA.matching * 10 >= heardA.loud * 9, qPrintable(detail));

        // The sound server goes away mid-call and comes back: the call goes
        // on, nothing is shown, silence is sent meanwhile, and sound returns.
        pulse_->stop();
        serverUp_ = false;
        QVERIFY(WaitFor([&] { return !a.sound.captureStreaming() && !b.sound.captureStreaming(); }));
        // A's voice keeps coming, and what comes is silence (whatever was
        // still on its way when the server went is read first).
        const qsizetype silentFrom = b.playback.received.size();
        const QByteArray silence(kVoiceBlockBytes, 0);
        QVERIFY(WaitFor([&] {
            return b.playback.received.size() >= silentFrom + 2 * kVoiceBlockBytes
                && b.playback.received.right(kVoiceBlockBytes) == silence;
        }));
        QVERIFY2(startServer(), qPrintable(why_));
        QVERIFY(WaitFor([&] { return a.sound.captureStreaming() && b.sound.captureStreaming(); }, 15000));
        {
            PulseRecorder atB2(QStringLiteral("speakerB.monitor"));
            Pump(500);
            QVERIFY(pulse_->play(QStringLiteral("micsinkA"), toneA));
            QVERIFY(
                WaitFor([&] { return CountToneWindows(atB2.data(), 8000, 1000, 10).matching >= 8; }, 20000));
        }
        QVERIFY(a.phone->st.VoiceMode && b.phone->st.VoiceMode);
        QVERIFY(a.boxes.boxes.isEmpty() && b.boxes.boxes.isEmpty());

        // A hangs up: its last block is completed with silence, so B holds
        // whole blocks only: A's microphone, then zeros.
        a.phone->Command1_Click();
        QVERIFY(WaitFor([&] { return b.main.text1() == QStringLiteral("次の接続を待機します。"); }));
        QVERIFY(!b.phone->st.VoiceMode && !b.phone->st.Connected);
        const QByteArray& atEnd = b.playback.received;
        QCOMPARE(atEnd.size() % kVoiceBlockBytes, 0);
        const QByteArray& mic = a.capture.captured;
        QVERIFY(atEnd.size() >= mic.size() && atEnd.size() - mic.size() < kVoiceBlockBytes);
        QVERIFY(atEnd.startsWith(mic));
        QVERIFY(atEnd.mid(mic.size()) == QByteArray(atEnd.size() - mic.size(), 0));
        QCOMPARE(b.phone->st.VoiceRecvCount, 0);
        QVERIFY(b.boxes.boxes.isEmpty());
    }

    // The sound server comes only after the phones started: each said so
    // once, and the next call carries sound. In that call, muted, the peer
    // still gets every byte of the microphone's, in its rhythm, but silent;
    // unmuted, the microphone again at once.
    void lateSoundServerIsUsedAndMuteKeepsTheRhythm()
    {
        pulse_->stop();
        serverUp_ = false;
        DevicePhone a(LoopbackAddress(7), QStringLiteral("Alice"), "micA", "speakerA",
            false); // a steady tone: see above
        DevicePhone b(LoopbackAddress(8), QStringLiteral("Bob"), "micB", "speakerB");
        a.startAndListen();
        b.startAndListen();
        QVERIFY2(startServer(), qPrintable(why_));
        QVERIFY(WaitFor([&] { return a.sound.ready() && b.sound.ready(); }, 10000));
        PulseRecorder atB(QStringLiteral("speakerB.monitor"));
        QVERIFY(EstablishCall(*a.phone, a.main, *b.phone, b.address));
        QVERIFY(WaitFor([&] { return a.sound.captureStreaming() && b.sound.captureStreaming(); }));
        const QString tone = pulse_->filePath(QStringLiteral("late.wav"));
        WriteBytes(tone, WavOf(TonePcm(1000, 20.0, 8000), 8000));
        QVERIFY(pulse_->play(QStringLiteral("micsinkA"), tone));
        QVERIFY(WaitFor([&] { return CountToneWindows(atB.data(), 8000, 1000, 10).matching >= 8; }, 20000));
        for (DevicePhone* p : { &a, &b })
            QCOMPARE(p->boxes.texts(), QStringList { QStringLiteral("waveInOpen() で失敗しました") });

        const QByteArray& mic = a.capture.captured;
        const QByteArray& heard = b.playback.received;
        const qsizetype mutedAt = mic.size();
        a.phone->mnu_Mute_Click();
        QVERIFY(WaitFor([&] { return mic.size() >= mutedAt + 3 * kVoiceBlockBytes; }));
        const qsizetype unmutedAt = mic.size();
        a.phone->mnu_Mute_Click();
        const qsizetype end = unmutedAt + kVoiceBlockBytes;
        QVERIFY(WaitFor([&] { return heard.size() >= end && mic.size() >= end; }));
        // The microphone loud throughout; the peer got its bytes, as many
        // (so at its pace), the muted stretch zeroed.
        QVERIFY(Rms(mic.constData() + mutedAt, int(unmutedAt - mutedAt)) > 4000);
        QVERIFY(Rms(mic.constData() + unmutedAt, kVoiceBlockBytes) > 4000);
        QByteArray expected = mic.left(end);
        std::fill(expected.begin() + mutedAt, expected.begin() + unmutedAt, '\0');
        QCOMPARE(a.phone->net.droppedVoiceBytes(), std::uint64_t(0));
        QVERIFY(heard.startsWith(expected));
    }

    // Two Voxlets talk in HD: 6 kHz comes through about as well as 1 kHz
    // (an old-style call passes nothing above 4 kHz), in less than 8000
    // bytes a second each way.
    void hdCallCarriesTheWidebandInFewBytes()
    {
        constexpr int kRate = 48000;
        PulseRecorder atB(QStringLiteral("speakerB.monitor"), kRate);
        QVERIFY(atB.waitFlowing());
        DevicePhone a(LoopbackAddress(9), QStringLiteral("Alice"), "micHA", "speakerA", false, Offers::Hd);
        DevicePhone b(LoopbackAddress(10), QStringLiteral("Bob"), "micHB", "speakerB", false, Offers::Hd);
        a.startAndListen();
        b.startAndListen();
        QVERIFY(EstablishCall(*a.phone, a.main, *b.phone, b.address));
        QVERIFY(a.phone->link.voice().hd() && b.phone->link.voice().hd());
        QVERIFY(WaitFor([&] { return a.main.protection().startsWith(QStringLiteral("暗号化 確認コード")); }));
        QVERIFY(WaitFor([&] { return a.sound.captureStreaming() && b.sound.captureStreaming(); }));
        Pump(300); // the ring sounds' tails leave the speakers

        QElapsedTimer talk;
        talk.start();
        const std::uint64_t sentA = a.phone->net.sentVoiceBytes(a.phone->st.CallSocket);
        const std::uint64_t sentB = b.phone->net.sentVoiceBytes(b.phone->st.CallSocket);
        const qsizetype mark = atB.data().size();
        const QString tones = pulse_->filePath(QStringLiteral("hd.wav"));
        WriteBytes(tones, WavOf(TonePcm(1000, 2.0, kRate, 8000) + TonePcm(6000, 2.0, kRate, 8000), kRate));
        QVERIFY(pulse_->play(QStringLiteral("micsinkHA"), tones));
        Pump(5000);
        const double seconds = double(talk.elapsed()) / 1000;
        const double rateA = double(a.phone->net.sentVoiceBytes(a.phone->st.CallSocket) - sentA) / seconds;
        const double rateB = double(b.phone->net.sentVoiceBytes(b.phone->st.CallSocket) - sentB) / seconds;
        atB.stop();

        // Each tone's level where it is loudest, in windows of 100 ms.
        const QByteArray heard = atB.data().mid(mark);
        double at1k = -200, at6k = -200;
        for (qsizetype at = 0; at + kRate / 5 <= heard.size(); at += kRate / 5) {
            at1k = std::max(at1k, ToneLevelDb(heard.constData() + at, kRate / 5, kRate, 1000));
            at6k = std::max(at6k, ToneLevelDb(heard.constData() + at, kRate / 5, kRate, 6000));
        }
        const QString figures = QString::asprintf(
            "1 kHz %.1f dB, 6 kHz %.1f dB; on the wire %.0f and %.0f bytes/s", at1k, at6k, rateA, rateB);
        qInfo("HD call: %s", qPrintable(figures));
        QVERIFY2(at1k > 50 && at6k >= at1k - 12, qPrintable(figures));
        QVERIFY2(rateA > 3000 && rateA <= 8000 && rateB > 3000 && rateB <= 8000, qPrintable(figures));
        QCOMPARE(a.phone->net.droppedVoiceBytes(), std::uint64_t(0));
    }

    // A peer of the original design sends its voice in 8000-byte bursts
    // every half second: it plays without gaps once playing.
    void blockBurstsPlayWithoutGaps()
    {
        PulseRecorder atB(QStringLiteral("speakerB.monitor"));
        QVERIFY(atB.waitFlowing()); // or the first 2 s would pile up unplayed
        DevicePhone b(LoopbackAddress(5), QStringLiteral("Bob"), "micB", "speakerB");
        b.startAndListen();
        RawSocket peer;
        QVERIFY(peer.connectTo(LoopbackAddress(6), b.address, 8002));
        std::thread greet([&] {
            peer.readExactly(22, 5000); // "VOICEMSG:OK"
            peer.sendAll(Utf16(QStringLiteral("VOICEMSG:OK|Old|END")));
        });
        Script s;
        s.when([&] { return !b.phone->ringingFile().isEmpty(); }, [&] { b.phone->Command3_Click(); });
        const bool answered = WaitFor([&] { return s.done() && b.phone->st.VoiceMode; });
        greet.join();
        QVERIFY(answered);
        const QByteArray tone = TonePcm(700, 6.0, 8000);
        long lateMs = 0; // the sender's own lag, should a burst come late
        std::vector<std::int64_t> sentTimes;
        std::thread sender([&] {
            // On the clock, as such a peer's sound card paces it: a sleep after
            // each send would fall behind real time and starve the speaker.
            auto next = std::chrono::steady_clock::now();
            for (qsizetype at = 0; at < tone.size(); at += kVoiceBlockBytes) {
                lateMs = std::max(lateMs, long((std::chrono::steady_clock::now() - next) / 1ms));
                sentTimes.push_back(MonotonicUs());
                peer.sendAll(tone.mid(at, kVoiceBlockBytes));
                next += std::chrono::milliseconds(500);
                std::this_thread::sleep_until(next);
            }
        });
        // How far apart a 10 ms beat on the main thread came while the
        // blocks did: a late hand-over beside a long gap in it was the
        // main thread's, beside none the way in.
        std::int64_t passedUs = MonotonicUs(), longestPassUs = 0;
        QTimer beat;
        connect(&beat, &QTimer::timeout, [&] {
            const std::int64_t now = MonotonicUs();
            longestPassUs = std::max(longestPassUs, now - passedUs);
            passedUs = now;
        });
        beat.start(10);
        const bool all = WaitFor([&] { return b.playback.received.size() == tone.size(); }, 15000);
        beat.stop();
        sender.join();
        QVERIFY(all);
        const std::uint64_t underrunsBeforeEnd = b.sound.playbackStats().underruns; // the tail's comes later
        Pump(1000);
        // Once the buffer has learnt the bursts' rhythm (the first three),
        // every 20 ms of the speaker up to the last sound carries the tone.
        const QByteArray heard = LoudPart(atB.data());
        QVERIFY(heard.size() >= 8 * kVoiceBlockBytes);
        QString quiet;
        int quietWindows = 0;
        for (qsizetype at = 3 * kVoiceBlockBytes; at + 320 <= heard.size(); at += 320)
            if (Rms(heard.constData() + at, 320) < 3000) {
                quiet += QStringLiteral(" %1").arg(at / 16);
                ++quietWindows;
            }
        const PlaybackStats st = b.sound.playbackStats();
        // How long after its send each block began to reach the speaker's
        // path, and was whole there: a late one is the hand-over's, not the buffer's.
        QString taken;
        int lateBlocks = 0;
        std::int64_t lateMost = 0;
        const std::size_t blocks = std::min(sentTimes.size(), b.playback.blockWhole.size());
        for (std::size_t i = 0; i < blocks; ++i) {
            const std::int64_t wholeMs = (b.playback.blockWhole[i] - sentTimes[i]) / 1000;
            taken += QStringLiteral(" %1/%2")
                         .arg((b.playback.blockBegan[i] - sentTimes[i]) / 1000)
                         .arg(wholeMs);
            // Later than the buffer's margin over the blocks' rhythm (about 25 ms) allows.
            if (i >= 3 && wholeMs > 40) {
                ++lateBlocks;
                lateMost = std::max(lateMost, wholeMs);
            }
        }
        const QString why = QString::asprintf(
            "quiet at ms%s; underruns %llu before the last block, %llu in all; "
            "server underflows %llu; target %lld ms; dropped %llu, inserted %llu samples; "
            "sender up to %ld ms late; each block after its send, began/whole in ms:%s; "
            "the main thread's 10 ms beat at most %lld ms apart",
            qPrintable(quiet), (unsigned long long)underrunsBeforeEnd, (unsigned long long)st.underruns,
            (unsigned long long)st.serverUnderflows, (long long)st.targetUs / 1000,
            (unsigned long long)st.droppedSamples, (unsigned long long)st.insertedSamples, lateMs,
            qPrintable(taken), (long long)longestPassUs / 1000);
        // A gap the server reports as its own (the sound thread was not run
        // in time on a busy machine, seen beside other tests) is not the
        // buffer's, as long as the buffer itself never ran dry.
        const bool serversOwn = underrunsBeforeEnd == 0 && st.serverUnderflows > 0
            && quietWindows <= 3 * int(st.serverUnderflows);
        // Nor is a gap behind a block that reached the speaker's path late
        // though sent on time (a loaded run once went quiet for 320 ms, as
        // a block 300 ms late does), as long as the buffer ran dry no more
        // often and no longer than the late blocks explain.
        const bool handedOverLate = lateBlocks > 0 && underrunsBeforeEnd <= std::uint64_t(lateBlocks)
            && quietWindows * 20 <= lateMost + 40;
        qInfo("block peer: %s", qPrintable(why));
        if (!quiet.isEmpty() && handedOverLate)
            qWarning("block peer: a gap behind a block handed over late: %s", qPrintable(why));
        QVERIFY2(quiet.isEmpty() || serversOwn || handedOverLate, qPrintable(why));
        peer.close();
    }
};

QTEST_MAIN(TwoPhoneAudioTest)
#include "two_phone_audio_test.moc"
