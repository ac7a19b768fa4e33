#include "audio/media_control.h"
#include "audio/pulse/pulse_sound_player.h"
#include "support/fake_devices.h"
#include "support/test_support.h"

#include <QDir>
#include <QtTest>

using namespace voxlet;
using namespace voxlet::test;

namespace {

// Players that cannot open anything, as with a missing or broken file.
class FailingFactory : public SoundPlayerFactory {
public:
    struct Player : SoundPlayer {
        bool open(const QString&) override { return false; }
        void playFromStart() override { }
        bool hasStopped() const override { return true; }
        void close() override { }
    };
    std::unique_ptr<SoundPlayer> create() override { return std::make_unique<Player>(); }
};

// Commands whose replies the case does not look at.
void Send(MediaControl& mci, std::initializer_list<const char*> commands)
{
    for (const char* command : commands)
        mci.SendString(QString::fromUtf8(command));
}

} // namespace

class MediaControlTest : public QObject {
    Q_OBJECT
private slots:
    void ringLoopCommandSequence()
    {
        FakeSoundPlayerFactory players;
        MediaControl mci(players, QStringLiteral("/opt/phone"));
        QCOMPARE(mci.SendString(QStringLiteral("Open Ring.wav alias ring")), QString());
        QCOMPARE(players.shared->opened, QStringList { QStringLiteral("/opt/phone/Ring.wav") });
        QCOMPARE(mci.SendString(QStringLiteral("Play ring from 0")), QString());
        QCOMPARE(players.shared->plays, 1);
        // Still sounding: never "stopped" before the player says so.
        QCOMPARE(mci.SendString(QStringLiteral("Status ring mode")), QStringLiteral("playing"));
        players.shared->stopImmediately = true;
        QCOMPARE(mci.SendString(QStringLiteral("Status ring mode")).left(7), QStringLiteral("stopped"));
        QCOMPARE(mci.SendString(QStringLiteral("Play ring from 0")), QString());
        QCOMPARE(players.shared->plays, 2);
        QCOMPARE(mci.SendString(QStringLiteral("close all")), QString());
        QCOMPARE(players.shared->closes, 1);
        QCOMPARE(mci.openCount(), 0);
        // After close all the alias is gone: no reply at all.
        QCOMPARE(mci.SendString(QStringLiteral("Status ring mode")), QString());
    }

    void fileNamesResolveAgainstTheBaseDir()
    {
        FakeSoundPlayerFactory players;
        MediaControl mci(players, QStringLiteral("/opt/my phone"));
        Send(mci,
            { "Open Ans.wav alias ans", "Open sub/tone 1.wav alias two",
                "Open /usr/share/sounds/x.wav alias abs", "Open \"quoted name.wav\" alias q" });
        QCOMPARE(players.shared->opened,
            (QStringList { QStringLiteral("/opt/my phone/Ans.wav"),
                QStringLiteral("/opt/my phone/sub/tone 1.wav"), QStringLiteral("/usr/share/sounds/x.wav"),
                QStringLiteral("/opt/my phone/quoted name.wav") }));
        QCOMPARE(mci.openCount(), 4);
        mci.SendString(QStringLiteral("close all"));
        QCOMPARE(players.shared->closes, 4);
    }

    void aliasesAreIndependentAndCaseInsensitive()
    {
        FakeSoundPlayerFactory players;
        MediaControl mci(players, QStringLiteral("/d"));
        Send(mci, { "Open Ring.wav alias ring", "Open Ans.wav alias ans" });
        // A second open of an alias in use is refused and keeps the first.
        mci.SendString(QStringLiteral("Open Other.wav alias RING"));
        QCOMPARE(players.shared->opened.size(), 2);
        QCOMPARE(mci.SendString(QStringLiteral("Status ans mode")), QStringLiteral("playing"));
        mci.SendString(QStringLiteral("PLAY Ring"));
        QCOMPARE(players.shared->plays, 1);
        players.shared->stopImmediately = true;
        QCOMPARE(mci.SendString(QStringLiteral("status RING mode")), QStringLiteral("stopped"));
        // "ans" was never played, so it has not come to an end.
        QCOMPARE(mci.SendString(QStringLiteral("Status ans mode")), QStringLiteral("playing"));
    }

    void unknownOrMalformedCommandsReplyNothing()
    {
        FakeSoundPlayerFactory players;
        MediaControl mci(players, QStringLiteral("/d"));
        mci.SendString(QStringLiteral("Open Ring.wav alias ring"));
        const QStringList bad { QString(), QStringLiteral("Status ring"),
            QStringLiteral("Status ring position"), QStringLiteral("Play"), QStringLiteral("Open Ring.wav"),
            QStringLiteral("Open alias x"), QStringLiteral("close ring"),
            QStringLiteral("Seek ring to start"), QStringLiteral("Play ring from 5"),
            QStringLiteral("Status nosuch mode") };
        for (const QString& c : bad)
            QVERIFY2(mci.SendString(c).isEmpty(), qPrintable(c));
        QCOMPARE(players.shared->plays, 0);
        QCOMPARE(players.shared->closes, 0);
        QCOMPARE(players.shared->opened.size(), 1);
    }

    void unopenableFileNeverReportsStopped()
    {
        FailingFactory players;
        MediaControl mci(players, QStringLiteral("/d"));
        Send(mci, { "Open Missing.wav alias ring", "Play ring from 0" });
        for (int i = 0; i < 3; ++i)
            QVERIFY(mci.SendString(QStringLiteral("Status ring mode")).left(7) != QStringLiteral("stopped"));
        QCOMPARE(mci.openCount(), 0);
    }

    void realPlayerRefusesMissingAndBrokenFiles()
    {
        QTemporaryDir dir;
        WriteBytes(dir.filePath(QStringLiteral("Broken.wav")), QByteArray("RIFF\x04\x00\x00\x00WAVE", 12));
        pulse::PulseContext sound; // the files are refused before any server is asked
        pulse::PulseSoundPlayerFactory players(sound);
        MediaControl mci(players, dir.path());
        for (const QString& file : { QStringLiteral("Missing.wav"), QStringLiteral("Broken.wav") }) {
            mci.SendString(QStringLiteral("Open %1 alias ring").arg(file));
            mci.SendString(QStringLiteral("Play ring from 0"));
            QCOMPARE(mci.SendString(QStringLiteral("Status ring mode")), QString());
            QCOMPARE(mci.openCount(), 0);
        }
    }
};

QTEST_GUILESS_MAIN(MediaControlTest)
#include "media_control_test.moc"
