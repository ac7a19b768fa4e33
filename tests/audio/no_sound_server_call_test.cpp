// With no sound server at all, two phones on the real devices still start
// (each shows the capture device message), connect, and carry voice blocks:
// on the backend the program chooses then (libpulse's), and on the native
// PipeWire one it would have chosen for a PipeWire that has not come yet.
#include "audio/backend/sound_backend.h"
#include "net/address.h"
#include "phonebook/phone_book_files.h"
#include "shell/phone.h"
#include "support/fake_windows.h"
#include "support/test_phone.h"
#include "support/test_support.h"

#include <QFile>
#include <QtTest>

#include <memory>

#include <sys/socket.h>

using namespace voxlet;
using namespace voxlet::test;

namespace {

struct SoundServerDevices {
    explicit SoundServerDevices(SoundBackendKind kind)
        : sound(kind, {})
    {
    }
    SoundBackend sound;
};

struct ServerlessPhone : SoundServerDevices, PhoneOnDevices {
    ServerlessPhone(SoundBackendKind kind, const QString& addr, const QString& ownName)
        : SoundServerDevices(kind)
        , PhoneOnDevices(addr, ownName, 10, sound.capture(), sound.playback(), sound.sounds())
    {
    }
};

QByteArray Block(int seed)
{
    QByteArray b(kVoiceBlockBytes, 0);
    for (int i = 0; i < b.size(); ++i)
        b[i] = char((seed * 31 + i * 7) & 0xFF);
    return b;
}

QByteArray Received(const Phone& p)
{
    return QByteArray(p.st.VoiceRecvBuffer.data(), kVoiceBlockBytes);
}

} // namespace

class NoSoundServerCallTest : public QObject {
    Q_OBJECT
    QTemporaryDir dir_;

private slots:
    void initTestCase()
    {
        // Before the first connection: a server socket that does not exist,
        // and no starting of a server of the client's own.
        const QString conf = dir_.filePath(QStringLiteral("client.conf"));
        WriteBytes(conf, "autospawn = no\n");
        qputenv("PULSE_CLIENTCONFIG", conf.toLocal8Bit());
        qputenv("PULSE_SERVER", ("unix:" + dir_.filePath(QStringLiteral("no-such-socket"))).toLocal8Bit());
        qputenv("XDG_RUNTIME_DIR", dir_.path().toLocal8Bit());
        qputenv("PIPEWIRE_RUNTIME_DIR", dir_.path().toLocal8Bit());
        qunsetenv("VOXLET_SOUND_BACKEND");
    }

    void callCarriesBlocksWithoutDevices_data()
    {
        QTest::addColumn<SoundBackendKind>("kind");
        QTest::newRow("chosen") << ChooseSoundBackend();
        QTest::newRow("pipewire") << SoundBackendKind::PipeWire;
    }
    void callCarriesBlocksWithoutDevices()
    {
        QFETCH(SoundBackendKind, kind);
        QCOMPARE(ChooseSoundBackend(), SoundBackendKind::Pulse);
        ServerlessPhone a(kind, LoopbackAddress(2), QStringLiteral("Alice"));
        ServerlessPhone b(kind, LoopbackAddress(3), QStringLiteral("Bob"));
        for (ServerlessPhone* p : { &a, &b }) {
            p->startAndListen();
            // One message, for the capture device; the playback device is not tried.
            QCOMPARE(p->boxes.boxes.size(), 1);
            QCOMPARE(p->boxes.boxes[0].text, QStringLiteral("waveInOpen() で失敗しました"));
            QCOMPARE(p->boxes.boxes[0].icon, MessageIcon::Critical);
            QCOMPARE(p->boxes.boxes[0].title, QStringLiteral("Error"));
            QVERIFY(!p->phone->voice.captureOpen() && !p->phone->voice.playbackOpen());
            QCOMPARE(p->main.text1(), QStringLiteral("待機します。"));
        }

        // The ring sounds never end without a server: the answer ends the loops.
        QVERIFY(EstablishCall(*a.phone, a.main, *b.phone, b.address));
        QCOMPARE(a.main.text1(), QStringLiteral("つながりました。お話ください。"));
        QVERIFY(!a.phone->voice.running() && !b.phone->voice.running());

        // No microphone produces anything, so the blocks are sent by hand;
        // each arrives whole, in order, and is drawn, in both directions.
        for (int i = 0; i < 4; ++i) {
            const int drawsA = a.main.draws, drawsB = b.main.draws;
            a.phone->net.SendVoiceData(a.phone->st.CallSocket, Block(i).constData(), kVoiceBlockBytes);
            b.phone->net.SendVoiceData(b.phone->st.CallSocket, Block(100 + i).constData(), kVoiceBlockBytes);
            QVERIFY(WaitFor([&] { return a.main.draws == drawsA + 1 && b.main.draws == drawsB + 1; }));
            QCOMPARE(Received(*b.phone), Block(i));
            QCOMPARE(Received(*a.phone), Block(100 + i));
            QCOMPARE(a.phone->st.VoiceRecvCount, 0);
            QCOMPARE(b.phone->st.VoiceRecvCount, 0);
        }
        // Half a block is held until the rest comes.
        const QByteArray next = Block(7);
        const int drawsB = b.main.draws;
        QVERIFY(::send(a.phone->st.CallSocket, next.constData(), 3000, MSG_NOSIGNAL) == 3000);
        QVERIFY(WaitFor([&] { return b.phone->st.VoiceRecvCount == 3000; }));
        QCOMPARE(b.main.draws, drawsB);
        QVERIFY(::send(a.phone->st.CallSocket, next.constData() + 3000, 5000, MSG_NOSIGNAL) == 5000);
        QVERIFY(WaitFor([&] { return b.main.draws == drawsB + 1; }));
        QCOMPARE(Received(*b.phone), next);

        // Hanging up still works, and nothing else was reported.
        a.phone->Command1_Click();
        QVERIFY(WaitFor([&] { return b.main.text1() == QStringLiteral("次の接続を待機します。"); }));
        QCOMPARE(a.boxes.boxes.size(), 1);
        QCOMPARE(b.boxes.boxes.size(), 1);
    }
};

QTEST_MAIN(NoSoundServerCallTest)
#include "no_sound_server_call_test.moc"
