// What the call logic does with each event the socket layer reports, on
// recording fakes: the bytes come in exactly the pieces a case names.

#include "call/protocol_messages.h"
#include "call/voice_frames.h"
#include "phonebook/phone_book_files.h"
#include "secure/call_handshake.h"
#include "support/call_bench.h"

#include <QRandomGenerator>
#include <QTest>

using namespace voxlet;
using namespace voxlet::test;

namespace {
const QString kGreeting = QStringLiteral("VOICEMSG:OK");
const QString kAnswer = QStringLiteral("CallAnswer|END");
const QString kWaiting = QStringLiteral("次の接続を待機します。");
} // namespace

class HandlersTest : public QObject {
    Q_OBJECT
private slots:
    void closeInEveryCalledStateLeavesTheLineFree();
    void damagedTextsLeaveTheLineFree();
    void answerFromTheCallerIsIgnored();
    void callerWhileTheLineIsTakenIsDroppedUnheard();
    void callerOvertakingOurDialHangsItUp();
    void dialBackIsKnownByItsWordsNotItsAddress();
    void serverRepliesAreGatheredWhole();
    void hdAnswerCutByTheNetworkIsWaitedFor();
    void encryptedCallThatCannotBeginEnds();
};

void HandlersTest::closeInEveryCalledStateLeavesTheLineFree()
{
    // Offered (greeted, nothing said), ringing for a direct and a search call.
    CallBench b;
    for (const QString& request :
        { QString(), QStringLiteral("VOICEMSG:OK|Al|ice|END"), QStringLiteral("ANYBODYMSG:OK|Evil|END") }) {
        const int s = b.accept(QStringLiteral("192.0.2.7"));
        QCOMPARE(b.texts(s), QStringList { kGreeting });
        QCOMPARE(b.main.text1(), QStringLiteral("192.0.2.7が接続してきました。"));
        if (!request.isEmpty())
            b.read(s, request);
        if (request.startsWith(kGreeting)) // a name with a bar: the field before it
            QCOMPARE(b.main.text1(), QStringLiteral("Alさんからの電話です。"));
        QVERIFY(b.st.CallerAccepted && b.st.Connected);
        QCOMPARE(b.main.isEnabled(Control::Command3), !request.isEmpty());
        b.closed(s);
        QCOMPARE(b.net.closed.last(), s);
        QCOMPARE(b.main.text1(), kWaiting);
        QVERIFY(!b.main.isEnabled(Control::Command3) && b.main.isEnabled(Control::CLIBTN));
        QVERIFY(!b.st.Connected && !b.st.CallerAccepted && b.st.CallSocket == 0 && b.st.RingStop);
    }
    QCOMPARE(b.rings, (QStringList { QStringLiteral("Ring.wav"), QStringLiteral("Anybody.wav") }));
    // And an honest call rings afterwards.
    b.read(b.accept(), QStringLiteral("VOICEMSG:OK|Honest|END"));
    QCOMPARE(b.main.text1(), QStringLiteral("Honestさんからの電話です。"));
}

void HandlersTest::damagedTextsLeaveTheLineFree()
{
    const QStringList messages = { QStringLiteral("VOICEMSG:OK|Taro|END"),
        QStringLiteral("ANYBODYMSG:OK|Taro|END"), QStringLiteral("AnybadyConnect|Taro|M|30|hi|END"), kAnswer,
        QStringLiteral("VOICEMSG:OK|Taro|END") + kAnswer };
    const quint32 seed = QRandomGenerator::global()->generate();
    QRandomGenerator random(seed);
    CallBench b;
    for (int round = 0; round < 2000; ++round) {
        QByteArray bytes = Utf16(messages.at(round % messages.size()));
        for (int flips = 1 + int(random.bounded(4)); flips > 0; --flips)
            bytes[random.bounded(int(bytes.size()))] ^= char(1 << random.bounded(8));
        const int s = b.accept();
        b.read(s, bytes);
        QVERIFY(!b.st.VoiceMode && !b.capture.started);
        b.closed(s);
        QVERIFY2(!b.st.Connected && !b.st.CallerAccepted && b.st.CallSocket == 0 && b.main.text1() == kWaiting
                && b.main.isEnabled(Control::CLIBTN),
            qPrintable(QStringLiteral("seed %1 round %2").arg(seed).arg(round)));
    }
}

void HandlersTest::answerFromTheCallerIsIgnored()
{
    // Anyone who reaches the port can ring; nobody but the user may answer.
    CallBench b;
    const int s = b.accept();
    b.read(s, QStringLiteral("VOICEMSG:OK|Evil|END"));
    b.read(s, kAnswer);
    b.read(s, QStringLiteral("VOICEMSG:OK|Evil|END") + kAnswer);
    QVERIFY(!b.st.VoiceMode && !b.capture.started && b.main.isEnabled(Control::Command3));
    QVERIFY(!b.main.texts.contains(QStringLiteral("つながりました。お話ください。")));
    QCOMPARE(b.texts(s), QStringList { kGreeting });
    QVERIFY(!b.capture.produce(QByteArray(320, 'm')) && b.net.voiceSent.empty());
}

void HandlersTest::callerWhileTheLineIsTakenIsDroppedUnheard()
{
    CallBench b;
    const int first = b.accept(QStringLiteral("192.0.2.1"));
    b.read(first, QStringLiteral("VOICEMSG:OK|Alice|END"));
    const int second = b.accept(QStringLiteral("192.0.2.2"));
    QCOMPARE(b.net.closed, QList<int> { second });
    QVERIFY(b.texts(second).isEmpty());
    QCOMPARE(b.st.CallSocket, first);
    QCOMPARE(b.st.PeerAddress, QStringLiteral("192.0.2.1"));
    QCOMPARE(b.st.CallerName, QStringLiteral("Alice"));
    QCOMPARE(b.main.text1(), QStringLiteral("Aliceさんからの電話です。"));
    // Once that call is over, the next caller is taken again.
    b.closed(first);
    const int third = b.accept(QStringLiteral("192.0.2.3"));
    QCOMPARE(b.st.CallSocket, third);
    QCOMPARE(b.texts(third), QStringList { kGreeting });
}

void HandlersTest::callerOvertakingOurDialHangsItUp()
{
    CallBench a;
    a.dial(QStringLiteral("192.0.2.9"));
    const int dialled = a.st.CallSocket;
    a.connected(dialled);
    a.read(dialled, kGreeting);
    QCOMPARE(a.rings, QStringList { QStringLiteral("ring-back") });
    const int changes = a.callChanges;
    const int caller = a.accept(QStringLiteral("192.0.2.5"));
    // Our dial is hung up, or the far copy rings back for ever.
    QCOMPARE(a.net.closed, QList<int> { dialled });
    QVERIFY(!a.st.OutgoingCall);
    QVERIFY(a.callChanges > changes);
    a.read(caller, QStringLiteral("VOICEMSG:OK|Carol|END"));
    QCOMPARE(a.rings.last(), QStringLiteral("Ring.wav"));
    QCOMPARE(a.main.text1(), QStringLiteral("Carolさんからの電話です。"));
    QVERIFY(a.main.isEnabled(Control::Command3));
    // What the hung-up dial still reports is only released.
    a.closed(dialled);
    QCOMPARE(a.st.CallSocket, caller);
    a.closed(caller);
    QCOMPARE(a.main.text1(), kWaiting);
    QVERIFY(!a.st.Connected && !a.st.CallerAccepted);
}

void HandlersTest::dialBackIsKnownByItsWordsNotItsAddress()
{
    CallBench b;
    const QString words = QStringLiteral("CONNECTBACK|0123456789abcdef0123456789abcdef|END");
    b.probeWords = words;
    b.probeExpected = true;
    // The dial-back, its words in two pieces: closed, nothing sent or shown.
    int s = b.accept(QStringLiteral("192.0.2.8"));
    QVERIFY(b.texts(s).isEmpty() && b.main.text1().isEmpty());
    b.read(s, words.left(20));
    QVERIFY(!b.net.closed.contains(s));
    b.read(s, words.mid(20));
    QCOMPARE(b.net.closed, QList<int> { s });
    QVERIFY(b.texts(s).isEmpty() && b.main.text1().isEmpty() && !b.st.CallerAccepted);
    // A caller from the same address meanwhile rings as ever, greeted first.
    s = b.accept(QStringLiteral("192.0.2.8"));
    const int busy = b.accept(QStringLiteral("192.0.2.9")); // the line counts as taken
    QCOMPARE(b.net.closed.last(), busy);
    b.read(s, QStringLiteral("VOICEMSG:OK|Dora|END"));
    QCOMPARE(b.texts(s), QStringList { kGreeting });
    QCOMPARE(b.main.text1(), QStringLiteral("Doraさんからの電話です。"));
    QCOMPARE(b.rings, QStringList { QStringLiteral("Ring.wav") });
    b.closed(s);
    QCOMPARE(b.history.calls().size(), 1); // Dora's call, and no refusal the dial-back may have been
    // One that keeps quiet is greeted once it has waited long enough.
    s = b.accept(QStringLiteral("192.0.2.8"));
    QVERIFY(b.texts(s).isEmpty());
    QCOMPARE(b.later.back().first, kFirstWordsMs);
    b.later.back().second();
    QCOMPARE(b.texts(s), QStringList { kGreeting });
    QCOMPARE(b.st.CallSocket, s);
}

void HandlersTest::serverRepliesAreGatheredWhole()
{
    CallBench b;
    files::SaveProfile(b.dir.path(),
        { QStringLiteral("Bob"), QStringLiteral("M"), QStringLiteral("30"), QStringLiteral("pw"),
            QStringLiteral("hello"), QStringLiteral("192.0.2.3") });
    b.st.SearchActive = true;
    // Garbage for an answer, then a close: the exchange ends, nothing else.
    const quint32 seed = QRandomGenerator::global()->generate();
    QRandomGenerator random(seed);
    for (int round = 0; round < 200; ++round) {
        b.server.ConnectAndRegister();
        const int s = b.st.ServerSocket;
        b.connected(s);
        QByteArray garbage(int(random.bounded(1, 20000)), Qt::Uninitialized);
        for (char& c : garbage)
            c = char(random.bounded(256));
        b.read(s, round % 2 ? garbage + Utf16(QStringLiteral("ClientData|ZERO|END")) : garbage);
        b.closed(s);
        QVERIFY2(b.st.ServerSocket == 0, qPrintable(QStringLiteral("seed %1 round %2").arg(seed).arg(round)));
    }
    // A reply in pieces is one reply once it is whole, cut anywhere.
    b.server.ConnectAndRegister();
    const int s = b.st.ServerSocket;
    b.connected(s);
    for (const QString& piece : { QStringLiteral("SERV"), QStringLiteral("EROK|E"), QStringLiteral("ND") }) {
        QCOMPARE(b.texts(s).size(), 1);
        b.read(s, piece);
    }
    QCOMPARE(b.texts(s),
        (QStringList { QStringLiteral("SERVEROK|END"), QStringLiteral("MYDATA|Bob|M|30|hello|pw||END") }));
    const QByteArray list = Utf16(QStringLiteral("ClientData|1|Taro|M|30|hi|127.0.0.2|1|127.0.0.9|END"));
    b.read(s, list.left(31));
    QCOMPARE(b.st.ServerSocket, s);
    b.read(s, list.mid(31));
    QCOMPARE(b.st.ServerSocket, 0);
    QCOMPARE(b.st.WaitingUsers[1].Address, QStringLiteral("127.0.0.2"));
}

void HandlersTest::hdAnswerCutByTheNetworkIsWaitedFor()
{
    CallBench b(true);
    b.st.CallerName = QStringLiteral("Al");
    b.dial(QStringLiteral("192.0.2.9"));
    const int s = b.st.CallSocket;
    b.connected(s);
    QCOMPARE(b.texts(s), QStringList { QStringLiteral("VOICEMSG:OK|Al|vx1;codec=opus16|END") });
    b.read(s, kGreeting);
    QByteArray frame;
    frames::AppendFrame(frame, frames::kOpusPacket, QByteArray(40, 'p'));
    // The answer in two reads, the voice right behind its end.
    b.read(s, QStringLiteral("CallAnswer|vx1;co"));
    QVERIFY(!b.st.VoiceMode && b.st.Connected);
    b.read(s, Utf16(QStringLiteral("dec=opus16|END")) + frame);
    QVERIFY(b.st.VoiceMode && b.link.voice().hd());
    QCOMPARE(b.link.texts().answer, QStringLiteral("CallAnswer|vx1;codec=opus16|END"));
    QCOMPARE(b.playback.bytes, QByteArray(40, 'p'));
}

// The bench dials; the test is the called Voxlet: an answer with a key that
// is no point ends the call at once, one whose message 3 never comes 10 s later.
void HandlersTest::encryptedCallThatCannotBeginEnds()
{
    for (const bool honest : { false, true }) {
        CallBench b(true);
        b.link.UseIdentity(secure::GenerateKeyPair());
        b.dial(QStringLiteral("192.0.2.9"));
        const int s = b.st.CallSocket;
        b.connected(s);
        // Zero is a point of small order: no key.
        const QString key = honest ? secure::ToHexField(secure::AsBytes(secure::GenerateKeyPair().publicKey))
                                   : QString(64, QLatin1Char('0'));
        b.read(s, kGreeting);
        b.read(s, protocol::Answer(QStringLiteral("vx1;codec=opus16;e=") + key));
        if (honest) {
            QVERIFY(b.link.handshaking() && b.st.VoiceMode && b.later.back().first == kHandshakeMs);
            b.later.back().second();
        }
        QCOMPARE(b.main.text1(),
            honest ? QStringLiteral("暗号の確立が時間内に終わらないため切断しました。")
                   : QStringLiteral("暗号の検証に失敗したため切断しました。"));
        QVERIFY(!b.st.VoiceMode && b.st.CallSocket == 0 && b.net.closed.contains(s));
    }
}

QTEST_GUILESS_MAIN(HandlersTest)
#include "handlers_test.moc"
