// The connect time-out: its two ticks and the count it carries over.

#include "support/test_phone.h"

#include <QTest>

using namespace voxlet;
using namespace voxlet::test;

class ConnectTimeoutTest : public QObject {
    Q_OBJECT
private slots:
    void secondTickGivesUpAnUnansweredDial();
    void countCarriedOverEndsTheNextDialAtItsFirstTick();
    void callerAcceptedMeanwhileLeavesNothingToClose();
};

void ConnectTimeoutTest::secondTickGivesUpAnUnansweredDial()
{
    TestPhone a(LoopbackAddress(50), QStringLiteral("Alice"), Start::Listening);
    a.main.setComboText(QStringLiteral("3 Taro ") + LoopbackAddress(51));
    a.phone->CLIBTN_Click();
    QCOMPARE(a.phone->Timer2.interval(), 1000);
    a.phone->Timer2.setInterval(0); // the test ticks by hand
    QVERIFY(a.phone->st.CallSocket != 0);
    a.phone->Timer2_Timer();
    QCOMPARE(a.phone->ConnectWaitTicks, 1);
    QVERIFY(a.phone->st.CallSocket != 0);
    a.phone->Timer2_Timer();
    QCOMPARE(a.phone->ConnectWaitTicks, 0);
    QCOMPARE(a.phone->st.CallSocket, 0);
    QCOMPARE(a.main.text1(), QStringLiteral("相手をネット上で見つけられませんでした。"));
    QVERIFY(a.main.isEnabled(Control::CLIBTN) && a.main.isEnabled(Control::mnu_Searh));
    QVERIFY(!a.phone->st.OutgoingCall);
}

void ConnectTimeoutTest::countCarriedOverEndsTheNextDialAtItsFirstTick()
{
    TestPhone a(LoopbackAddress(52), QStringLiteral("Alice"), Start::Listening);
    TestPhone b(LoopbackAddress(53), QStringLiteral("Bob"), Start::Listening);
    // First dial: one tick passes, then it connects, which stops the timer.
    a.main.setComboText(b.address);
    a.phone->CLIBTN_Click();
    a.phone->Timer2.setInterval(0);
    a.phone->Timer2_Timer();
    QVERIFY(WaitFor([&] { return b.phone->st.CallerAccepted && a.phone->st.Connected; }));
    QCOMPARE(a.phone->ConnectWaitTicks, 1);
    // That call ends; the next dial goes nowhere and is ended by its first tick.
    Script s;
    s.when([&] { return !b.phone->ringingFile().isEmpty(); }, [&] { b.phone->ThisExit(); })
        .when([&] { return !a.phone->st.Connected && a.phone->ringingFile().isEmpty(); }, nullptr);
    QVERIFY(WaitFor([&] { return s.done(); }));
    a.main.setComboText(LoopbackAddress(54));
    a.phone->CLIBTN_Click();
    a.phone->Timer2.setInterval(0);
    a.phone->Timer2_Timer();
    QCOMPARE(a.phone->st.CallSocket, 0);
    QCOMPARE(a.main.text1(), QStringLiteral("相手をネット上で見つけられませんでした。"));
}

void ConnectTimeoutTest::callerAcceptedMeanwhileLeavesNothingToClose()
{
    TestPhone a(LoopbackAddress(55), QStringLiteral("Alice"), Start::Listening);
    TestPhone c(LoopbackAddress(56), QStringLiteral("Carol"), Start::Listening);
    a.main.setComboText(LoopbackAddress(57)); // nobody there
    a.phone->CLIBTN_Click();
    a.phone->Timer2.setInterval(0);
    c.main.setComboText(a.address);
    c.phone->CLIBTN_Click();
    QVERIFY(WaitFor([&] { return a.phone->st.Connected; }));
    const int taken = a.phone->st.CallSocket; // the caller took over the variable
    a.phone->Timer2_Timer();
    a.phone->Timer2_Timer();
    QCOMPARE(a.phone->st.CallSocket, taken);
    QVERIFY(!a.main.texts.contains(QStringLiteral("相手をネット上で見つけられませんでした。")));
    QCOMPARE(a.phone->Timer2.interval(), 0);
}

QTEST_GUILESS_MAIN(ConnectTimeoutTest)
#include "connect_timeout_test.moc"
