// Starting to listen, and what the user sees when it cannot.

#include "support/test_phone.h"

#include <QTest>

using namespace voxlet;
using namespace voxlet::test;

class ListeningTest : public QObject {
    Q_OBJECT
private slots:
    void nobodyCanCallBeforeServerIsChosen();
    void addressInUseShowsTheBoxesInOrder();
    void serverCanBeChosenOnlyOnce();
};

void ListeningTest::nobodyCanCallBeforeServerIsChosen()
{
    TestPhone a(LoopbackAddress(40), QStringLiteral("Alice"));
    TestPhone b(LoopbackAddress(41), QStringLiteral("Bob"));
    a.phone->Form_Load();
    a.phone->Form_Activate();
    b.startAndListen();
    QCOMPARE(a.phone->st.ListenSocket, 0);
    QVERIFY(!a.main.isEnabled(Control::mnu_Tray));
    b.main.setComboText(a.address);
    b.phone->CLIBTN_Click();
    QVERIFY(WaitFor(
        [&] { return b.main.text1() == QStringLiteral("相手をネット上で見つけられませんでした。"); }));
    QVERIFY(!a.phone->st.CallerAccepted);
}

void ListeningTest::addressInUseShowsTheBoxesInOrder()
{
    TestPhone a(LoopbackAddress(42), QStringLiteral("Alice"));
    TestPhone twin(LoopbackAddress(42), QStringLiteral("Twin"));
    a.startAndListen();
    QVERIFY(a.phone->st.Listening);
    // Events run while a box is open: the socket that failed to bind must
    // not report a caller meanwhile.
    twin.boxes.modalMs = 100;
    twin.startAndListen();
    QCOMPARE(twin.boxes.texts(),
        (QStringList { QStringLiteral("指定されたアドレスは使用中。"), QStringLiteral("BINDできません。"),
            QStringLiteral("エラ-です。終了してください。") }));
    for (const ShownBox& b : twin.boxes.boxes) {
        QCOMPARE(b.icon, MessageIcon::None);
        QCOMPARE(b.title, QStringLiteral("Voxlet"));
    }
    QCOMPARE(twin.phone->st.ListenSocket, 0);
    QVERIFY(!twin.phone->st.Listening);
    QVERIFY(!twin.phone->st.CallerAccepted);
    QVERIFY(!twin.main.isEnabled(Control::CLIBTN));
    QVERIFY(!twin.main.isEnabled(Control::mnu_Tray));
    QVERIFY(!twin.main.isEnabled(Control::mnu_SERVER));
    QVERIFY(twin.main.text1().isEmpty());
}

void ListeningTest::serverCanBeChosenOnlyOnce()
{
    TestPhone a(LoopbackAddress(43), QStringLiteral("Alice"));
    a.startAndListen();
    QCOMPARE(a.main.text1(), QStringLiteral("待機します。"));
    QVERIFY(!a.main.isEnabled(Control::mnu_SERVER));
    QVERIFY(a.main.isEnabled(Control::mnu_Tray));
    // Exit closes the listener: the address is free again at once.
    a.phone->ThisExit();
    QCOMPARE(a.phone->st.ListenSocket, 0);
    TestPhone again(LoopbackAddress(43), QStringLiteral("Again"));
    again.startAndListen();
    QVERIFY(again.phone->st.Listening);
    QVERIFY(again.boxes.boxes.isEmpty());
}

QTEST_GUILESS_MAIN(ListeningTest)
#include "listening_test.moc"
