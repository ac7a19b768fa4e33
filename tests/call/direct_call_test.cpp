// Two phones in one process call each other over loopback.

#include "call/protocol_messages.h"
#include "call/voice_frames.h"
#include "support/call_relay.h"
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
    void encryptedCallsThroughARelay();
    void manInTheMiddleMeetsTwoCodes();
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
    // With the dialling side's commitment to its key, and the called side's key.
    QVERIFY(
        a.phone->link.texts().request.startsWith(QStringLiteral("VOICEMSG:OK|Alice|vx1;codec=opus16;c=")));
    QCOMPARE(b.phone->link.texts().request, a.phone->link.texts().request);
    QVERIFY(a.phone->link.texts().answer.startsWith(QStringLiteral("CallAnswer|vx1;codec=opus16;e=")));
    QCOMPARE(b.phone->link.texts().answer, a.phone->link.texts().answer);
    QCOMPARE(a.phone->link.texts().greeting, QStringLiteral("VOICEMSG:OK"));
    QCOMPARE(b.main.texts.last(), QStringLiteral("Aliceさんからの電話です。")); // the name, not the offer
    QVERIFY(a.capture.voice == kHdVoice && b.playback.voice == kHdVoice);
    QVERIFY(WaitFor([&] { return !a.main.protection().isEmpty(); })); // the handshake is done

    // Half a second of voice each way arrives as 25 packets of 20 ms.
    const QByteArray voice(kHdVoice.pieceBytes() * 25, '\x10');
    QVERIFY(a.capture.produce(voice) && b.capture.produce(voice));
    QVERIFY(WaitFor([&] { return a.playback.writes == 25 && b.playback.writes == 25; }));
    QVERIFY(b.playback.bytes.size() < 25 * 120); // about 80 bytes each at 32 kbit/s

    a.phone->Command1_Click();
    QVERIFY(WaitFor([&] { return b.main.text1() == QStringLiteral("次の接続を待機します。"); }));
    QCOMPARE(b.playback.writes, 25);
}

namespace {
const QString kCode = QStringLiteral("暗号化 確認コード ");

// a calls b through a relay on .40 (dialling from .41) that may change what passes.
bool CallThrough(TestPhone& a, TestPhone& b, const std::function<bool()>& then, CallRelay::Tamper tamper = {})
{
    CallRelay relay(LoopbackAddress(40), LoopbackAddress(41), b.address, std::move(tamper));
    return EstablishCall(*a.phone, a.main, *b.phone, LoopbackAddress(40)) && then();
}
bool Shows(const TestPhone& t, const QString& text)
{
    return WaitFor([&] { return t.main.protection().startsWith(text); });
}
// A half-second block of `said` from one side, heard by the other as its nth block, `heard`.
bool Heard(TestPhone& from, TestPhone& to, std::size_t n, char said, char heard)
{
    return from.capture.produce(QByteArray(kVoiceBlockBytes, said))
        && WaitFor([&] { return to.playback.written.size() == n; })
        && to.playback.written.back() == QByteArray(kVoiceBlockBytes, heard);
}
} // namespace

void DirectCallTest::encryptedCallsThroughARelay()
{
    TestPhone a(LoopbackAddress(42), QStringLiteral("Alice"), Start::Listening, Offers::Hd);
    TestPhone b(LoopbackAddress(43), QStringLiteral("Bob"), Start::Listening, Offers::Hd);
    const auto hungUp
        = [&] { return WaitFor([&] { return !a.phone->st.VoiceMode && !b.phone->st.VoiceMode; }); };
    // One code on both sides; confirmed, it is the next call's state.
    QVERIFY(CallThrough(a, b, [&] { return Shows(a, kCode) && b.main.protection() == a.main.protection(); }));
    a.phone->mnu_Confirm_Click();
    b.phone->mnu_Confirm_Click();
    QVERIFY(hungUp());

    // A byte changed in the third sealed frame: the call ends there, two played.
    int sealed = 0;
    const auto third = [&](bool toCalled, QByteArray& read, QByteArray&) {
        if (toCalled && read.size() > 50 && read.at(2) == char(frames::kSealed) && ++sealed == 3)
            read[50] = char(read[50] ^ 1);
    };
    QVERIFY(CallThrough(
        a, b,
        [&] {
            for (int i = 1; i <= 3; ++i)
                // The dialling side is done last, on the handshake's third message.
                if (!Shows(b, QStringLiteral("暗号化・確認済み"))
                    || !Shows(a, QStringLiteral("暗号化・確認済み"))
                    || !a.capture.produce(QByteArray(kHdVoice.pieceBytes(), 'a'))
                    || !WaitFor([&] { return b.playback.writes == std::min(i, 2); }))
                    return false;
            return WaitFor(
                [&] { return b.main.text1() == QStringLiteral("暗号の検証に失敗したため切断しました。"); });
        },
        third));
    QCOMPARE(b.playback.writes, 2);
    QVERIFY(hungUp());

    // The offer taken out: a plain call, warned on both sides; silence goes out until このまま話す.
    const auto stripped = [](bool toCalled, QByteArray& read, QByteArray&) {
        const QString text = FromUtf16(read), offer = protocol::RequestOffer(text);
        if (toCalled && !offer.isEmpty())
            read = Utf16(QString(text).remove(QLatin1Char('|') + offer));
    };
    QVERIFY(CallThrough(
        a, b,
        [&] {
            if (!Shows(a, QStringLiteral("警告: 暗号化されていません")) || !Shows(b, a.main.protection())
                || !Heard(a, b, 1, 'a', 0) || !Heard(b, a, 1, 'b', 0))
                return false;
            a.phone->mnu_Accept_Click();
            b.phone->mnu_Accept_Click();
            return Heard(a, b, 2, 'a', 'a') && Heard(b, a, 2, 'b', 'b');
        },
        stripped));
    QVERIFY(hungUp());
    QCOMPARE(a.phone->history.calls().at(1).protection, history::Protection::Confirmed);
    QCOMPARE(a.phone->history.calls().at(2).protection, history::Protection::Plain);

    // Another Alice, with a key of her own: Bob is warned until he accepts it.
    TestPhone other(LoopbackAddress(44), QStringLiteral("Alice"), Start::Listening, Offers::Hd);
    QVERIFY(CallThrough(other, b, [&] {
        if (!Shows(b, QStringLiteral("警告: 相手の鍵が変わりました"))
            || !b.main.isEnabled(Control::mnu_Accept))
            return false;
        b.phone->mnu_Accept_Click();
        return Shows(other, kCode) && b.main.protection() == other.main.protection();
    }));
}

void DirectCallTest::manInTheMiddleMeetsTwoCodes()
{
    TestPhone a(LoopbackAddress(45), QStringLiteral("Alice"), Start::Listening, Offers::Hd);
    TestPhone b(LoopbackAddress(46), QStringLiteral("Bob"), Start::Listening, Offers::Hd);
    const auto twoCodes
        = [&] { return Shows(a, kCode) && Shows(b, kCode) && a.main.protection() != b.main.protection(); };
    QVERIFY(CallThrough(a, b, twoCodes, ManInTheMiddle()));
}

QTEST_GUILESS_MAIN(DirectCallTest)
#include "direct_call_test.moc"
