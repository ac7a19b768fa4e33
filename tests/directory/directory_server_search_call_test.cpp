// Two phones and a running voxlet-directory on loopback: both register and
// see each other listed, one places a search call to the other, they talk,
// and the caller hangs up from the search window.

#include "support/running_directory.h"
#include "support/test_phone.h"

#include <QTest>

using namespace voxlet;
using namespace voxlet::test;

namespace {

// SEVER接続 in an open search window, then wait for the list to arrive.
bool RegisterAndList(TestPhone& p)
{
    p.phone->search.mnu_Connect_Click();
    return WaitFor([&] { return p.phone->st.ServerSocket == 0 && !p.phone->search.lines().isEmpty(); });
}

} // namespace

class SearchCallTest : public QObject {
    Q_OBJECT
private slots:
    void registerListCallTalkAndHangUp();
};

void SearchCallTest::registerListCallTalkAndHangUp()
{
    const QString serverAddress = LoopbackAddress(1);
    RunningDirectory directory(serverAddress);
    QVERIFY(directory.started);
    TestPhone a(LoopbackAddress(2), QStringLiteral("Alice"));
    TestPhone b(LoopbackAddress(3), QStringLiteral("Bob"));
    a.writeProfile(QStringLiteral("Alice"), serverAddress);
    b.writeProfile(QStringLiteral("Bob"), serverAddress);
    a.startAndListen();
    b.startAndListen();
    for (TestPhone* p : { &a, &b }) {
        p->phone->search.Form_Load(); // as the dialog opens it
        p->phone->search.Form_Activate();
        QVERIFY(p->phone->search.connectEnabled());
    }

    // Alice alone: nobody waits; the server tells her the address it sees.
    QVERIFY(RegisterAndList(a));
    QCOMPARE(a.phone->search.lines(), QStringList { QStringLiteral("待機者は誰もいません。") });
    QCOMPARE(a.phone->search.text1(), a.address);
    QVERIFY(a.main.isEnabled(Control::mnu_KILLTIMER));
    QCOMPARE(a.phone->Timer1.interval(), 60000);

    QVERIFY(RegisterAndList(b));
    QCOMPARE(b.phone->search.lines(), QStringList { QStringLiteral("1 Alice M 30 [hello]") });
    QCOMPARE(b.phone->st.WaitingUsers[1].Name, QStringLiteral("Alice"));
    QCOMPARE(b.phone->st.WaitingUsers[1].Address, a.address);
    QCOMPARE(b.phone->search.text1(), b.address);

    QVERIFY(RegisterAndList(a));
    QCOMPARE(a.phone->search.lines(), QStringList { QStringLiteral("1 Bob M 30 [hello]") });
    QCOMPARE(a.phone->st.WaitingUsers[1].Name, QStringLiteral("Bob"));
    QCOMPARE(a.phone->st.WaitingUsers[1].Address, b.address);
    QVERIFY(a.boxes.boxes.isEmpty() && b.boxes.boxes.isEmpty());

    // Alice calls Bob from the list.
    bool bobWasCalled = false;
    Script s;
    s.then([&] {
         a.phone->search.List1_Click(0);
         QVERIFY(a.phone->search.callEnabled());
         a.phone->search.mnu_CALL_Click();
     })
        .when(
            [&] {
                return b.phone->ringingFile() == QLatin1String("Anybody.wav")
                    && a.phone->ringingFile() == QLatin1String("Ans.wav")
                    && !b.phone->peer.lastCallerProfile().name.isEmpty();
            },
            [&] {
                bobWasCalled = true;
                QCOMPARE(b.main.text1(), QStringLiteral("Aliceさんからの外部接続電話です。"));
                QCOMPARE(b.phone->st.CallerName, QStringLiteral("Alice"));
                QVERIFY(!b.phone->search.loaded()); // the call closed Bob's search window
                QVERIFY(b.main.isEnabled(Control::Command3));
                QCOMPARE(a.main.text1(), QStringLiteral("ただいま外部呼び出ししています。"));
                b.phone->Command3_Click();
            })
        .when([&] { return a.phone->st.VoiceMode && b.phone->st.VoiceMode; }, nullptr);
    QVERIFY(WaitFor([&] { return s.done(); }));
    QVERIFY(bobWasCalled);
    QVERIFY(WaitFor([&] { return a.phone->ringingFile().isEmpty() && b.phone->ringingFile().isEmpty(); }));

    const CallerProfile& profile = b.phone->peer.lastCallerProfile();
    QCOMPARE(profile.name, QStringLiteral("Alice"));
    QCOMPARE(profile.sex, QStringLiteral("M"));
    QCOMPARE(profile.age, QStringLiteral("30"));
    QCOMPARE(profile.comment, QStringLiteral("hello"));
    QVERIFY(b.sounds.shared->opened.last().endsWith(QStringLiteral("Anybody.wav")));
    QCOMPARE(a.main.text1(), QStringLiteral("つながりました。お話ください。"));
    QCOMPARE(a.phone->search.closeCaption(), QStringLiteral("電話を切る"));
    QVERIFY(a.phone->st.ExternalSocket != 0);

    QVERIFY(VoiceArrivesBothWays(a, b, 5, 50));

    // Alice hangs up with the search window's close menu.
    QVERIFY(a.inhibitor.held && b.inhibitor.held);
    a.phone->search.mnu_CLOSE_Click();
    QCOMPARE(a.main.text1(), QStringLiteral("外部接続を切断しました。"));
    QVERIFY(!a.inhibitor.held && !a.main.isEnabled(Control::mnu_Mute));
    QCOMPARE(a.phone->st.ExternalSocket, 0);
    QVERIFY(!a.phone->st.VoiceMode && !a.phone->st.Connected);
    QVERIFY(!a.phone->search.loaded());
    QVERIFY(!a.phone->st.SearchActive);
    QVERIFY(WaitFor([&] { return b.main.text1() == QStringLiteral("次の接続を待機します。"); }));
    QVERIFY(!b.phone->st.VoiceMode && !b.phone->st.Connected);
    QCOMPARE(b.phone->st.CallSocket, 0);
    QVERIFY(a.boxes.boxes.isEmpty() && b.boxes.boxes.isEmpty());
}

QTEST_GUILESS_MAIN(SearchCallTest)
#include "directory_server_search_call_test.moc"
