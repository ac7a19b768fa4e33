// Two phones in one process talk over loopback through the real Qt devices,
// each on its own virtual microphone and speaker of a private PulseAudio: a
// tone fed into one microphone comes out of the other phone's speaker.
#include "audio/qt/qt_audio_devices.h"
#include "audio/qt/qt_sound_player.h"
#include "net/address.h"
#include "phonebook/phone_book_files.h"
#include "shell/phone.h"
#include "support/fake_windows.h"
#include "support/pulse_server.h"
#include "support/test_phone.h"
#include "support/test_support.h"

#include <QFile>
#include <QtTest>

#include <memory>
#include <vector>

using namespace voxlet;
using namespace voxlet::test;

namespace {

// The real microphone, keeping a copy of every half it reports full.
class RecordingCapture : public CaptureDevice {
public:
    explicit RecordingCapture(const QByteArray& id)
        : real(id)
    {
    }
    bool open(const VoiceFormat& format, FullCallback onFull) override
    {
        return real.open(format, [this, onFull](CaptureHeader* h) {
            halves.emplace_back(h->Data, h->BytesRecorded);
            onFull(h);
        });
    }
    void addBuffer(CaptureHeader* header) override { real.addBuffer(header); }
    void start() override { real.start(); }
    void close() override { real.close(); }

    QtCaptureDevice real;
    std::vector<QByteArray> halves;
};

// The real speaker, keeping a copy of every block written to it.
class RecordingPlayback : public PlaybackDevice {
public:
    explicit RecordingPlayback(const QByteArray& id)
        : real(id)
    {
    }
    bool open(const VoiceFormat& format) override { return real.open(format); }
    void write(const char* data, int length) override
    {
        blocks.emplace_back(data, length);
        real.write(data, length);
    }

    QtPlaybackDevice real;
    std::vector<QByteArray> blocks;
};

// A phone as the program builds it, but on its own virtual devices, with
// recording windows and its own data folder holding the ring sounds.
struct DevicePhone {
    DevicePhone(const QString& addr, const QString& ownName, const QByteArray& mic, const QByteArray& speaker)
        : address(addr)
        , capture(mic)
        , playback(speaker)
        , sounds(speaker)
    {
        for (const char* wav : { "Ring.wav", "Anybody.wav", "Ans.wav" })
            QFile::copy(SourceDir() + QStringLiteral("/resources/sounds/") + QLatin1String(wav),
                dir.filePath(QLatin1String(wav)));
        WriteTestProfile(dir.path(), ownName);
        files::SavePhoneBook(dir.path(), {});
        const PhoneOptions options = LoopbackPhoneOptions(dir.path(), addr, 20);
        phone = std::make_unique<Phone>(options, PhonePorts { main, boxes, tray, capture, playback, sounds });
    }
    ~DevicePhone()
    {
        if (phone && !phone->exited())
            phone->ThisExit();
    }
    void startAndListen()
    {
        phone->Form_Load();
        phone->Form_Activate();
        phone->mnu_SERVER_Click();
    }
    int toneBlocks() const
    {
        int n = 0;
        for (const QByteArray& b : playback.blocks)
            n += Rms(b.constData(), b.size()) > 4000;
        return n;
    }

    QString address;
    QTemporaryDir dir;
    FakeMainWindow main;
    RecordingMessageBox boxes;
    FakeTray tray;
    RecordingCapture capture;
    RecordingPlayback playback;
    QtSoundPlayerFactory sounds;
    std::unique_ptr<Phone> phone;
};

} // namespace

class TwoPhoneAudioTest : public QObject {
    Q_OBJECT
    std::unique_ptr<PulseServer> pulse_;

private slots:
    void initTestCase()
    {
        // Each phone has a speaker of its own and a microphone fed from a sink.
        pulse_ = std::make_unique<PulseServer>(QStringList { "speakerA", "speakerB", "micA", "micB" });
        QString why;
        if (!pulse_->start(&why))
            QSKIP(qPrintable(why));
        pulse_->keepReading(QStringLiteral("micA"));
        pulse_->keepReading(QStringLiteral("micB"));
    }

    void cleanupTestCase() { pulse_.reset(); }

    void tonesCrossInBothDirections()
    {
        // Both speakers are listened to throughout, as a sound card plays on
        // whether or not anyone writes (an idle null sink otherwise renders
        // in two-second steps).
        PulseRecorder atA(QStringLiteral("speakerA.monitor"));
        PulseRecorder atB(QStringLiteral("speakerB.monitor"));
        QVERIFY(atA.started() && atB.started());
        QTest::qWait(2500);
        DevicePhone a(LoopbackAddress(2), QStringLiteral("Alice"), "micA", "speakerA");
        DevicePhone b(LoopbackAddress(3), QStringLiteral("Bob"), "micB", "speakerB");
        a.startAndListen();
        b.startAndListen();
        // Both devices opened: no device message.
        QVERIFY2(a.boxes.boxes.isEmpty(), qPrintable(a.boxes.texts().join('|')));
        QVERIFY2(b.boxes.boxes.isEmpty(), qPrintable(b.boxes.texts().join('|')));
        QVERIFY(a.capture.real.isOpen() && a.playback.real.isOpen());
        QVERIFY(b.capture.real.isOpen() && b.playback.real.isOpen());

        // Dial; answer once the caller hears the ring-back.
        QVERIFY(EstablishCall(*a.phone, a.main, *b.phone, b.address));
        QCOMPARE(a.main.text1(), QStringLiteral("つながりました。お話ください。"));
        QVERIFY(a.capture.real.isRunning() && b.capture.real.isRunning());

        // Talk: 1 kHz into A's microphone, 600 Hz into B's.
        QTest::qWait(300); // the ring sounds' tails leave the speakers
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
        QTest::qWait(1500); // the last blocks play out of the speakers
        atA.stop();
        atB.stop();

        // Each side played whole blocks: exactly the other side's captured
        // halves, in capture order, none lost or repeated.
        for (auto [from, to] : { std::pair { &a, &b }, std::pair { &b, &a } }) {
            const auto& played = to->playback.blocks;
            const auto& captured = from->capture.halves;
            QVERIFY(played.size() <= captured.size());
            for (size_t i = 0; i < played.size(); ++i) {
                QCOMPARE(int(played[i].size()), kVoiceBlockBytes);
                QVERIFY2(played[i] == captured[i], qPrintable(QStringLiteral("block %1 differs").arg(i)));
            }
            QCOMPARE(to->playback.real.droppedBlocks(), qint64(0));
            QCOMPARE(from->phone->net.droppedVoiceBlocks(), std::uint64_t(0));
            QVERIFY(to->main.draws >= int(played.size())); // the trace follows every block
        }

        // The blocks carry the tone fed in, measured in each loud block.
        auto blockTone = [](const DevicePhone& p, double hz) {
            int loud = 0, matching = 0;
            for (const QByteArray& block : p.playback.blocks) {
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

        // A hangs up: B goes back to waiting and stops sending.
        a.phone->Command1_Click();
        QVERIFY(WaitFor([&] { return b.main.text1() == QStringLiteral("次の接続を待機します。"); }));
        QVERIFY(!b.phone->st.VoiceMode && !b.phone->st.Connected);
        QVERIFY(b.boxes.boxes.isEmpty());
    }
};

QTEST_MAIN(TwoPhoneAudioTest)
#include "two_phone_audio_test.moc"
