// Starting to listen, and what the user sees when it cannot.

#include "support/test_phone.h"

#include <QTest>

#include <arpa/inet.h>
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
    void onlyThePhoneBookRingsWhenChosen();
};

namespace {
// A caller from `from` that has connected; -1 when it could not.
int Dial(const QString& from, const QString& to)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in own {}, peer {};
    own.sin_family = peer.sin_family = AF_INET;
    inet_pton(AF_INET, from.toLatin1().constData(), &own.sin_addr);
    inet_pton(AF_INET, to.toLatin1().constData(), &peer.sin_addr);
    peer.sin_port = htons(8002);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&own), sizeof own) != 0
        || ::connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Runs the phone until the caller is greeted ("VOICEMSG:OK") or closed
// without a word; true for the greeting.
bool Greeted(int fd)
{
    bool greeted = false, closed = false;
    WaitFor([&] {
        char bytes[64];
        const ssize_t n = ::recv(fd, bytes, sizeof bytes, MSG_DONTWAIT);
        greeted = n > 0;
        closed = n == 0;
        return greeted || closed;
    });
    ::close(fd);
    return greeted;
}

// The phone's own listener, and what it shows, once the caller has gone.
void WaitIdle(TestPhone& p)
{
    WaitFor([&] { return !p.phone->st.CallerAccepted; });
}
} // namespace

void ListeningTest::strangersRingOnlyAFewTimesAMinute()
{
    TestPhone a(LoopbackAddress(42), QStringLiteral("Alice"));
    a.phone = std::make_unique<Phone>(
        [&] {
            PhoneOptions o = LoopbackPhoneOptions(a.dir.path(), a.address);
            o.screen.ringsPerMinute = 3;
            return o;
        }(),
        PhonePorts { a.main, a.boxes, a.tray, a.capture, a.playback, a.sounds, &a.notifier });
    a.startAndListen();
    const QString stranger = LoopbackAddress(43);
    for (int i = 0; i < 3; ++i) {
        QVERIFY2(Greeted(Dial(stranger, a.address)), qPrintable(QString::number(i)));
        WaitIdle(a);
    }
    // The fourth within the minute is closed at once, and shows nothing.
    a.main.setText1(QString());
    QVERIFY(!Greeted(Dial(stranger, a.address)));
    QCOMPARE(a.main.text1(), QString());
    QVERIFY(!a.phone->st.CallerAccepted);
    // Someone else still gets through.
    QVERIFY(Greeted(Dial(LoopbackAddress(44), a.address)));
}

void ListeningTest::onlyThePhoneBookRingsWhenChosen()
{
    TestPhone a(LoopbackAddress(45), QStringLiteral("Alice"));
    a.phone = std::make_unique<Phone>(
        [&] {
            PhoneOptions o = LoopbackPhoneOptions(a.dir.path(), a.address);
            o.screen.phoneBookOnly = true;
            return o;
        }(),
        PhonePorts { a.main, a.boxes, a.tray, a.capture, a.playback, a.sounds, &a.notifier });
    a.writePhoneBook(
        { QStringLiteral("1 Bob ") + LoopbackAddress(46) + QStringLiteral(" Ring.wav 12:00:00") });
    a.startAndListen();
    QVERIFY(!Greeted(Dial(LoopbackAddress(47), a.address)));
    QCOMPARE(a.main.text1(), QStringLiteral("待機します。"));
    QVERIFY(Greeted(Dial(LoopbackAddress(46), a.address)));
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
