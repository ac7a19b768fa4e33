// Starting to listen, and what the user sees when it cannot.

#include "support/raw_peer.h"
#include "support/test_phone.h"

#include <QTest>

#include <sys/socket.h>

using namespace voxlet;
using namespace voxlet::test;

class ListeningTest : public QObject {
    Q_OBJECT
private slots:
    void nobodyCanCallBeforeServerIsChosen();
    void addressInUseShowsTheBoxesInOrder();
    void serverCanBeChosenOnlyOnce();
    void strangersRingOnlyAFewTimesAMinute();
    void onlyThePhoneBookRingsWhenChosen();
};

namespace {
// Runs the phone until a caller from `from` is greeted (true) or closed without a word.
bool Greeted(const QString& from, TestPhone& to)
{
    RawSocket caller;
    if (!caller.connectTo(from, to.address, 8002))
        return false;
    int got = -1;
    WaitFor([&] {
        char bytes[64];
        got = int(::recv(caller.fd(), bytes, sizeof bytes, MSG_DONTWAIT));
        return got >= 0;
    });
    caller.close();
    WaitFor([&] { return !to.phone->st.CallerAccepted; });
    return got > 0;
}

void Screened(TestPhone& p, ScreenOptions screen)
{
    PhoneOptions o = LoopbackPhoneOptions(p.dir.path(), p.address);
    o.screen = screen;
    p.phone
        = std::make_unique<Phone>(o, PhonePorts { p.main, p.boxes, p.tray, p.capture, p.playback, p.sounds });
    p.startAndListen();
}
} // namespace

void ListeningTest::strangersRingOnlyAFewTimesAMinute()
{
    TestPhone a(LoopbackAddress(42), QStringLiteral("Alice"));
    Screened(a, { 3, false });
    for (int i = 0; i < 3; ++i)
        QVERIFY2(Greeted(LoopbackAddress(43), a), qPrintable(QString::number(i)));
    // The fourth within the minute is closed at once, and shows nothing.
    a.main.setText1(QString());
    QVERIFY(!Greeted(LoopbackAddress(43), a));
    QCOMPARE(a.main.text1(), QString());
    QVERIFY(Greeted(LoopbackAddress(44), a)); // someone else still gets through
}

void ListeningTest::onlyThePhoneBookRingsWhenChosen()
{
    TestPhone a(LoopbackAddress(45), QStringLiteral("Alice"));
    a.writePhoneBook(
        { QStringLiteral("1 Bob ") + LoopbackAddress(46) + QStringLiteral(" Ring.wav 12:00:00") });
    Screened(a, { 0, true });
    QVERIFY(!Greeted(LoopbackAddress(47), a));
    QCOMPARE(a.main.text1(), QStringLiteral("待機します。"));
    QVERIFY(Greeted(LoopbackAddress(46), a));
}

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
    TestPhone a(LoopbackAddress(43), QStringLiteral("Alice"), Start::Listening);
    QCOMPARE(a.main.text1(), QStringLiteral("待機します。"));
    QVERIFY(!a.main.isEnabled(Control::mnu_SERVER));
    QVERIFY(a.main.isEnabled(Control::mnu_Tray));
    // Exit closes the listener: the address is free again at once.
    a.phone->ThisExit();
    QCOMPARE(a.phone->st.ListenSocket, 0);
    TestPhone again(LoopbackAddress(43), QStringLiteral("Again"), Start::Listening);
    QVERIFY(again.phone->st.Listening);
    QVERIFY(again.boxes.boxes.isEmpty());
}

QTEST_GUILESS_MAIN(ListeningTest)
#include "listening_test.moc"
