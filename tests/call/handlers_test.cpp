// What the call logic does with each event the socket layer reports, on
// recording fakes: the bytes come in exactly the pieces a case names.

#include "support/call_bench.h"

#include <QTest>

using namespace voxlet;
using namespace voxlet::test;

namespace {
const QString kGreeting = QStringLiteral("VOICEMSG:OK");
const QString kAnswer = QStringLiteral("CallAnswer|END");
const QString kWaiting = QStringLiteral("次の接続を待機します。");
const QString kTalk = QStringLiteral("つながりました。お話ください。");
} // namespace

class HandlersTest : public QObject {
    Q_OBJECT
private slots:
    void calledSideRingsForTheFirstFieldOnly();
    void closeInEveryCalledStateLeavesTheLineFree();
    void answerFromTheCallerIsIgnored();
    void callerWhileTheLineIsTakenIsDroppedUnheard();
    void callerOvertakingOurDialHangsItUp();
    void greetingAnswerAndVoiceInOneRead();
};

void HandlersTest::calledSideRingsForTheFirstFieldOnly()
{
    CallBench b;
    const int s = b.accept(QStringLiteral("192.0.2.7"));
    QCOMPARE(b.texts(s), QStringList { kGreeting });
    QCOMPARE(b.main.text1(), QStringLiteral("192.0.2.7が接続してきました。"));
    // A name with a bar in it: the field before it is the name.
    b.read(s, QStringLiteral("VOICEMSG:OK|Al|ice|END"));
    QCOMPARE(b.main.text1(), QStringLiteral("Alさんからの電話です。"));
    QCOMPARE(b.rings, QStringList { QStringLiteral("Ring.wav") });
    QVERIFY(b.main.isEnabled(Control::Command3) && !b.main.isEnabled(Control::CLIBTN));
}

void HandlersTest::closeInEveryCalledStateLeavesTheLineFree()
{
    // Offered (greeted, nothing said), ringing for a direct and a search call.
    CallBench b;
    for (const QString& request :
        { QString(), QStringLiteral("VOICEMSG:OK|Evil|END"), QStringLiteral("ANYBODYMSG:OK|Evil|END") }) {
        const int s = b.accept();
        if (!request.isEmpty())
            b.read(s, request);
        QVERIFY(b.st.CallerAccepted && b.st.Connected);
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

void HandlersTest::answerFromTheCallerIsIgnored()
{
    // Anyone who reaches the port can ring; nobody but the user may answer.
    CallBench b;
    const int s = b.accept();
    b.read(s, QStringLiteral("VOICEMSG:OK|Evil|END"));
    b.read(s, kAnswer);
    b.read(s, QStringLiteral("VOICEMSG:OK|Evil|END") + kAnswer);
    QVERIFY(!b.st.VoiceMode);
    QVERIFY(!b.capture.started);
    QVERIFY(b.main.isEnabled(Control::Command3));
    QVERIFY(!b.main.texts.contains(kTalk));
    QCOMPARE(b.texts(s), QStringList { kGreeting });
    QVERIFY(b.capture.produce(QByteArray(320, 'm')) == false && b.net.voiceSent.empty());
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

    // The dialling side of a call that was refused.
    CallBench a;
    a.st.CallerName = QStringLiteral("Bob");
    a.dial(QStringLiteral("192.0.2.9"));
    const int dialled = a.st.CallSocket;
    a.connected(dialled);
    QCOMPARE(a.texts(dialled), QStringList { QStringLiteral("VOICEMSG:OK|Bob|END") });
    a.closed(dialled);
    QCOMPARE(a.main.text1(), QStringLiteral("話し中等で接続できません。"));
    QVERIFY(a.main.isEnabled(Control::CLIBTN) && a.main.isEnabled(Control::mnu_Searh));
    QVERIFY(!a.st.OutgoingCall && !a.st.Connected);
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

void HandlersTest::greetingAnswerAndVoiceInOneRead()
{
    // A slow caller reads the greeting with the answer and the first voice,
    // which ends on an odd byte; the rest of the block follows alone.
    const QByteArray voice(kVoiceBlockBytes, 'v');
    CallBench a;
    a.dial(QStringLiteral("192.0.2.9"));
    const int s = a.st.CallSocket;
    a.connected(s);
    a.read(s, Utf16(kGreeting) + Utf16(kAnswer) + voice.left(3001));
    QCOMPARE(a.rings, QStringList { QStringLiteral("ring-back") });
    QVERIFY(a.st.VoiceMode && a.capture.started);
    QCOMPARE(a.main.text1(), kTalk);
    QCOMPARE(a.st.VoiceRecvCount, 3001);
    a.read(s, voice.mid(3001));
    QCOMPARE(a.playback.bytes, voice);
    QCOMPARE(a.waveforms, 0); // the waveform is off until chosen
    QVERIFY(a.capture.produce(QByteArray(320, 'm')));
    QCOMPARE(a.net.voiceSent[s], QByteArray(320, 'm'));
}

QTEST_GUILESS_MAIN(HandlersTest)
#include "handlers_test.moc"
