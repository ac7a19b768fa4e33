// Starting to listen, and what the user sees when it cannot.

#include "call/caller_screen.h"
#include "support/raw_peer.h"
#include "support/test_phone.h"

#include <QTest>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace voxlet;
using namespace voxlet::test;

class ListeningTest : public QObject {
    Q_OBJECT
private slots:
    void nobodyCanCallBeforeServerIsChosen();
    void addressInUseShowsTheBoxesInOrder();
    void serverCanBeChosenOnlyOnce();
    void strangersRingOnlyAFewTimesAMinute();
    void screenCountsHomesAndStrangers();
    void callsAreTakenOnlyOnTheOwnAddresses();
    void onlyThePhoneBookRingsWhenChosen();
};

namespace {
// Runs the phone until a caller from `from` is greeted (true) or closed without a word.
bool Greeted(const QString& from, TestPhone& to, const QString& at = {}, std::uint16_t port = 8002)
{
    RawSocket caller;
    if (!caller.connectTo(from, at.isEmpty() ? to.address : at, port))
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

void WithScreen(TestPhone& p, ScreenOptions screen)
{
    PhoneOptions o = LoopbackPhoneOptions(p.dir.path(), p.address);
    o.screen = screen;
    p.phone = std::make_unique<Phone>(
        o, PhonePorts { p.main, p.boxes, p.tray, p.capture, p.playback, p.sounds, &p.notifier });
    p.startAndListen();
}
} // namespace

void ListeningTest::strangersRingOnlyAFewTimesAMinute()
{
    TestPhone a(LoopbackAddress(42), QStringLiteral("Alice"));
    WithScreen(a, ScreenOptions {});
    // Someone redialling a ringing call that dropped gets through...
    for (int i = 0; i < 5; ++i)
        QVERIFY2(Greeted(LoopbackAddress(43), a), qPrintable(QString::number(i)));
    // ... the sixth within the minute is closed at once, and the user hears of it.
    a.main.setText1(QString());
    QVERIFY(!Greeted(LoopbackAddress(43), a));
    QCOMPARE(a.main.text1(), QString());
    QCOMPARE(a.notifier.refused, QStringList { LoopbackAddress(43) });
    QVERIFY(!Greeted(LoopbackAddress(43), a));
    QCOMPARE(a.notifier.refused.size(), 1); // once a minute, not once a call
    QCOMPARE(a.phone->history.calls().size(), 1); // and one line of the history
    QCOMPARE(a.phone->history.calls().first().times, 2);
    QVERIFY(Greeted(LoopbackAddress(44), a)); // someone else still gets through
}

void ListeningTest::screenCountsHomesAndStrangers()
{
    auto now = std::chrono::steady_clock::time_point {};
    const auto nobody = [](const QString&) { return false; };
    CallerScreen screen({ 2, 4, false }, [&] { return now; });
    // Every address of one IPv6 home counts as one caller.
    QCOMPARE(screen.Admit(QStringLiteral("2001:db8:1:2::10"), nobody), Screened::Rings);
    QCOMPARE(screen.Admit(QStringLiteral("2001:db8:1:2:aaaa::1"), nobody), Screened::Rings);
    QCOMPARE(screen.Admit(QStringLiteral("2001:db8:1:2:ffff:1:2:3"), nobody), Screened::TooOften);
    QCOMPARE(screen.Admit(QStringLiteral("2001:db8:1:3::10"), nobody), Screened::Rings);
    // Strangers together are capped; the phone book is not.
    now += std::chrono::seconds(10);
    QCOMPARE(screen.Admit(QStringLiteral("192.0.2.1"), nobody), Screened::Rings);
    QCOMPARE(screen.Admit(QStringLiteral("192.0.2.2"), nobody), Screened::TooOften);
    const auto friendOnly = [](const QString& a) { return a == QLatin1String("192.0.2.9"); };
    QCOMPARE(screen.Admit(QStringLiteral("192.0.2.9"), friendOnly), Screened::Rings);
    // The oldest go first, a minute after they rang.
    now += std::chrono::seconds(50);
    QCOMPARE(screen.Admit(QStringLiteral("192.0.2.2"), nobody), Screened::Rings);
    QCOMPARE(screen.Admit(QStringLiteral("2001:db8:1:2::77"), nobody), Screened::Rings);
    // A flood from everywhere remembers no more than it lets ring.
    CallerScreen flood({ 5, 30, false }, [&] { return now; });
    for (int i = 0; i < 100000; ++i)
        flood.Admit(QStringLiteral("10.%1.%2.%3").arg(i >> 16).arg((i >> 8) & 255).arg(i & 255), nobody);
    QCOMPARE(flood.remembered(), 30);
}

void ListeningTest::callsAreTakenOnlyOnTheOwnAddresses()
{
    // One socket for both families, as the program listens, on a port of
    // this test's own; another address of the machine is not the phone's line.
    TestPhone a(LoopbackAddress(48), QStringLiteral("Alice"));
    PhoneOptions o = LoopbackPhoneOptions(a.dir.path(), a.address);
    o.net.ownIPv6 = QStringLiteral("::1");
    o.net.peerPort = std::uint16_t(20000 + ::getpid() % 20000);
    a.phone
        = std::make_unique<Phone>(o, PhonePorts { a.main, a.boxes, a.tray, a.capture, a.playback, a.sounds });
    a.startAndListen();
    QVERIFY(a.phone->st.Listening);
    QVERIFY(Greeted(LoopbackAddress(49), a, a.address, o.net.peerPort));
    QVERIFY(!Greeted(LoopbackAddress(49), a, LoopbackAddress(47), o.net.peerPort));
    QCOMPARE(a.main.text1(), QStringLiteral("次の接続を待機します。"));
    // ... unless the home router forwards callers there.
    a.phone->net.SetMappedIPv4(LoopbackAddress(47));
    QVERIFY(Greeted(LoopbackAddress(49), a, LoopbackAddress(47), o.net.peerPort));
    const int v6 = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 to {};
    to.sin6_family = AF_INET6;
    to.sin6_port = htons(o.net.peerPort);
    to.sin6_addr = in6addr_loopback;
    if (::connect(v6, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0)
        QVERIFY(WaitFor([&] { return a.main.text1() == QStringLiteral("::1が接続してきました。"); }));
    ::close(v6);
}

void ListeningTest::onlyThePhoneBookRingsWhenChosen()
{
    TestPhone a(LoopbackAddress(45), QStringLiteral("Alice"));
    a.writePhoneBook(
        { QStringLiteral("1 Bob ") + LoopbackAddress(46) + QStringLiteral(" Ring.wav 12:00:00") });
    WithScreen(a, { 0, 0, true });
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
