// Two phones in one process call each other over loopback.

#include "support/test_phone.h"

#include <QTest>

using namespace voxlet;
using namespace voxlet::test;

namespace {

// Dials `to` from `from` by putting its address in the dial box.
void Dial(TestPhone& from, const TestPhone& to)
{
    from.main.setComboText(QStringLiteral("1 Friend ") + to.address);
    from.phone->CLIBTN_Click();
}

// The caller hears the ring-back and the called side rings. (An answer sent
// before the caller has read the greeting would arrive in the same read and
// be taken for part of the greeting, as the protocol has always done.)
bool RingingBoth(const TestPhone& caller, const TestPhone& called)
{
    return caller.phone->ringingFile() == QLatin1String("Ans.wav") && !called.phone->ringingFile().isEmpty();
}

// The script's first steps: the caller dials, and the called side answers
// once both ring.
Script& DialAndAnswer(Script& s, TestPhone& caller, TestPhone& called)
{
    return s.then([&] { Dial(caller, called); })
        .when([&] { return RingingBoth(caller, called); }, [&] { called.phone->Command3_Click(); });
}

} // namespace

class DirectCallTest : public QObject {
    Q_OBJECT
private slots:
    void callRingsAnswersTalksAndEnds();
    void calledSideHangingUpShowsBusyAtCaller();
    void dialToNothingTimesOut();
    void dialWithoutProfileIsRefused();
    void secondCallAfterFirstRingsNormally();
    void twoVoxletsTalkInHd();
};

void DirectCallTest::callRingsAnswersTalksAndEnds()
{
    TestPhone a(LoopbackAddress(2), QStringLiteral("Alice"));
    TestPhone b(LoopbackAddress(3), QStringLiteral("Bob"));
    // Bob knows Alice with her address: her own ring sound.
    b.writePhoneBook({ QStringLiteral("1 Alice ") + a.address + QStringLiteral(" Alice.wav 10:00:00") });
    a.startAndListen();
    b.startAndListen();
    QCOMPARE(b.main.text1(), QStringLiteral("待機します。"));

    bool bobRang = false, aliceHeardRingBack = false;
    Script s;
    s.then([&] { Dial(a, b); })
        .when([&] { return b.phone->ringingFile() == QLatin1String("Alice.wav"); },
            [&] {
                bobRang = true;
                QCOMPARE(b.main.text1(), QStringLiteral("Aliceさんからの電話です。"));
                QVERIFY(b.main.isEnabled(Control::Command3));
                QVERIFY(!b.main.isEnabled(Control::CLIBTN));
            })
        .when([&] { return a.phone->ringingFile() == QLatin1String("Ans.wav"); },
            [&] {
                aliceHeardRingBack = true;
                QCOMPARE(a.main.text1(), QStringLiteral("ただいま呼び出し中です。"));
                b.phone->Command3_Click();
            })
        .when([&] { return a.phone->st.VoiceMode && b.phone->st.VoiceMode; }, nullptr);
    QVERIFY(WaitFor([&] { return s.done(); }));
    QVERIFY(bobRang);
    QVERIFY(aliceHeardRingBack);
    QVERIFY(WaitFor([&] { return a.phone->ringingFile().isEmpty() && b.phone->ringingFile().isEmpty(); }));
    QCOMPARE(a.main.text1(), QStringLiteral("つながりました。お話ください。"));
    QCOMPARE(b.main.texts.first(), QStringLiteral("待機します。"));
    QVERIFY(b.main.texts.contains(a.address + QStringLiteral("が接続してきました。")));
    QVERIFY(a.capture.started && b.capture.started);
    QVERIFY(!b.main.isEnabled(Control::Command3));

    QVERIFY(VoiceArrivesBothWays(a, b, 6, 100));
    QVERIFY(a.main.draws > 0); // the waveform follows the received voice

    QVERIFY(a.inhibitor.held && b.inhibitor.held); // from the answer, at both sides

    // The caller exits: the called side goes back to waiting.
    a.phone->Command1_Click();
    QVERIFY(a.main.unloaded);
    QVERIFY(WaitFor([&] { return b.main.text1() == QStringLiteral("次の接続を待機します。"); }));
    QVERIFY(!b.phone->st.VoiceMode && !b.phone->st.Connected && !b.phone->st.CallerAccepted);
    QCOMPARE(b.phone->st.CallSocket, 0);
    QVERIFY(b.main.isEnabled(Control::CLIBTN));
    QVERIFY(b.boxes.boxes.isEmpty());
    QVERIFY(!a.inhibitor.held && !b.inhibitor.held); // the exit, and the peer gone
}

void DirectCallTest::calledSideHangingUpShowsBusyAtCaller()
{
    TestPhone a(LoopbackAddress(4), QStringLiteral("Alice"), Start::Listening);
    TestPhone b(LoopbackAddress(5), QStringLiteral("Bob"), Start::Listening);
    Script s;
    DialAndAnswer(s, a, b).when([&] { return a.phone->st.VoiceMode; }, [&] { b.phone->Command1_Click(); });
    QVERIFY(WaitFor([&] { return s.done(); }));
    QVERIFY(WaitFor([&] { return a.main.text1() == QStringLiteral("話し中等で接続できません。"); }));
    QVERIFY(!a.phone->st.VoiceMode && !a.phone->st.Connected);
    QCOMPARE(a.phone->st.CallSocket, 0);
    QVERIFY(a.main.isEnabled(Control::CLIBTN) && a.main.isEnabled(Control::mnu_Searh));
}

void DirectCallTest::dialToNothingTimesOut()
{
    TestPhone a(LoopbackAddress(9), QStringLiteral("Alice"), Start::Listening);
    a.main.setComboText(LoopbackAddress(10)); // nothing listens there
    a.phone->CLIBTN_Click();
    QVERIFY(!a.main.isEnabled(Control::CLIBTN));
    QVERIFY(a.phone->st.CallSocket != 0);
    QVERIFY(WaitFor(
        [&] { return a.main.text1() == QStringLiteral("相手をネット上で見つけられませんでした。"); }));
    QCOMPARE(a.phone->st.CallSocket, 0);
    QVERIFY(a.main.isEnabled(Control::CLIBTN) && a.main.isEnabled(Control::mnu_Searh));
    QCOMPARE(a.phone->Timer2.interval(), 0);
    QCOMPARE(a.phone->ConnectWaitTicks, 0);
    QVERIFY(a.boxes.boxes.isEmpty());
}

void DirectCallTest::dialWithoutProfileIsRefused()
{
    TestPhone a(LoopbackAddress(11), QStringLiteral("Alice"), Start::Listening);
    TestPhone b(LoopbackAddress(12), QStringLiteral("Bob"), Start::Listening);
    a.removeProfile();
    Dial(a, b);
    QCOMPARE(a.boxes.texts(), QStringList { QStringLiteral("name.txt がありません。") });
    QCOMPARE(a.phone->st.CallSocket, 0);
    QVERIFY(!a.main.isEnabled(Control::CLIBTN));
    // The time-out gives the buttons back; there was nothing to close.
    QVERIFY(WaitFor([&] { return a.main.isEnabled(Control::CLIBTN); }));
    QVERIFY(a.main.text1().isEmpty());
    QVERIFY(!b.phone->st.CallerAccepted);
}

void DirectCallTest::secondCallAfterFirstRingsNormally()
{
    // Having dialled once, a phone must still ring for the next incoming call.
    TestPhone a(LoopbackAddress(15), QStringLiteral("Alice"), Start::Listening);
    TestPhone b(LoopbackAddress(16), QStringLiteral("Bob"), Start::Listening);
    Script s;
    DialAndAnswer(s, a, b)
        .when([&] { return a.phone->st.VoiceMode; },
            [&] {
                a.phone->mnu_Mute_Click();
                b.phone->ThisExit();
            })
        .when([&] { return !a.phone->st.Connected; }, nullptr);
    QVERIFY(WaitFor([&] { return s.done(); }));
    // The peer went: the call's mute and inhibition went with it.
    QVERIFY(!a.inhibitor.held && !b.inhibitor.held);
    QVERIFY(!a.main.isEnabled(Control::mnu_Mute) && !a.main.isChecked(Control::mnu_Mute));

    TestPhone c(LoopbackAddress(17), QStringLiteral("Carol"), Start::Listening);
    Script s2;
    s2.then([&] { Dial(c, a); })
        .when([&] { return RingingBoth(c, a); },
            [&] {
                QCOMPARE(a.main.text1(), QStringLiteral("Carolさんからの電話です。"));
                a.phone->Command3_Click();
            });
    QVERIFY(WaitFor([&] { return s2.done() && c.phone->st.VoiceMode; }));
    // A new call starts unmuted.
    QVERIFY(a.inhibitor.held && !a.phone->inCall.muted() && !a.main.isChecked(Control::mnu_Mute));
}

void DirectCallTest::twoVoxletsTalkInHd()
{
    TestPhone a(LoopbackAddress(20), QStringLiteral("Alice"), Start::Listening, Offers::Hd);
    TestPhone b(LoopbackAddress(21), QStringLiteral("Bob"), Start::Listening, Offers::Hd);
    Script s;
    DialAndAnswer(s, a, b).when([&] { return a.phone->st.VoiceMode && b.phone->st.VoiceMode; }, nullptr);
    QVERIFY(WaitFor([&] { return s.done(); }));
    QCOMPARE(a.phone->link.texts().request, QStringLiteral("VOICEMSG:OK|Alice|vx1;codec=opus16|END"));
    QCOMPARE(b.phone->link.texts().request, a.phone->link.texts().request);
    QCOMPARE(a.phone->link.texts().answer, QStringLiteral("CallAnswer|vx1;codec=opus16|END"));
    QCOMPARE(b.phone->link.texts().answer, a.phone->link.texts().answer);
    QCOMPARE(a.phone->link.texts().greeting, QStringLiteral("VOICEMSG:OK"));
    QCOMPARE(b.main.texts.last(), QStringLiteral("Aliceさんからの電話です。")); // the name, not the offer
    QVERIFY(a.capture.voice == kHdVoice && b.playback.voice == kHdVoice);

    // Half a second of voice each way arrives as 25 packets of 20 ms.
    const QByteArray voice(kHdVoice.pieceBytes() * 25, '\x10');
    QVERIFY(a.capture.produce(voice) && b.capture.produce(voice));
    QVERIFY(WaitFor([&] { return a.playback.writes == 25 && b.playback.writes == 25; }));
    QVERIFY(b.playback.bytes.size() < 25 * 120); // about 80 bytes each at 32 kbit/s

    a.phone->Command1_Click();
    QVERIFY(WaitFor([&] { return b.main.text1() == QStringLiteral("次の接続を待機します。"); }));
    QCOMPARE(b.playback.writes, 25);
}

QTEST_GUILESS_MAIN(DirectCallTest)
#include "direct_call_test.moc"
