// The search window through its real widgets, offscreen: opening, the list
// and the call command, dialling a listed user, closing, and what survives
// from one opening to the next.

#include "directory/qt/search_form.h"
#include "support/test_phone.h"

#include <QAction>
#include <QHostAddress>
#include <QLineEdit>
#include <QListWidget>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

using namespace voxlet;
using namespace voxlet::test;

namespace {

const QString kNobody = QStringLiteral("待機者は誰もいません。");

// A list reply naming the given addresses as users 1, 2, ...
QString ListReply(const QStringList& addresses)
{
    QString r = QStringLiteral("ClientData|");
    for (int k = 1; k <= addresses.size(); ++k)
        r += QStringLiteral("%1|user%1|F|2%1|c%1|%2|").arg(k).arg(addresses.at(k - 1));
    return r + QString::number(addresses.size()) + QStringLiteral("|198.51.100.1|END");
}

QStringList Addresses(int count)
{
    QStringList a;
    for (int k = 1; k <= count; ++k)
        a << QStringLiteral("127.254.%1.%2").arg(k / 200).arg(k % 200 + 1); // nothing listens there
    return a;
}

// The search window as the main window's menu opens it, but non-modal so the
// test keeps running.
struct OpenWindow {
    explicit OpenWindow(Phone& phone)
        : form(phone.search)
    {
        form.show();
        exposed = QTest::qWaitForWindowExposed(&form);
    }
    QAction* action(const char* name) { return form.findChild<QAction*>(QLatin1String(name)); }
    bool enabled(const char* name) { return action(name)->isEnabled(); }
    void trigger(const char* name) { action(name)->trigger(); }
    QListWidget* list() { return form.findChild<QListWidget*>(QStringLiteral("List1")); }
    QStringList lines()
    {
        QStringList l;
        for (int i = 0; i < list()->count(); ++i)
            l << list()->item(i)->text();
        return l;
    }
    QString text1() { return form.findChild<QLineEdit*>(QStringLiteral("Text1"))->text(); }
    void clickLine(int row)
    {
        QListWidget* l = list();
        l->scrollToItem(l->item(row));
        QTest::mouseClick(l->viewport(), Qt::LeftButton, {}, l->visualItemRect(l->item(row)).center());
    }

    SearchForm form;
    bool exposed = false;
};

} // namespace

class SearchWindowTest : public QObject {
    Q_OBJECT
private slots:
    void opensWithCaptionAndConnectOnlyWhenListening();
    void modalOpeningRunsUntilCloseMenu();
    void callIsEnabledOnlyByWaitingUserLines();
    void closeBoxIsRefusedAndCloseMenuCloses();
    void callDialsChosenUserAndStateSurvivesReopening();
    void lineBeyondTableDialsNothing();
    void incomingSearchCallClosesOpenWindow();
};

void SearchWindowTest::opensWithCaptionAndConnectOnlyWhenListening()
{
    TestPhone p(LoopbackAddress(2), QStringLiteral("Alice"));
    p.writeProfile(QStringLiteral("Alice"), LoopbackAddress(1)); // nothing listens there
    p.phone->Form_Load();
    {
        OpenWindow w(*p.phone);
        QVERIFY(w.exposed);
        QCOMPARE(w.form.windowTitle(), QStringLiteral("検索SERVER"));
        QCOMPARE(w.action("mnu_Connect")->text(), QStringLiteral("SEVER接続"));
        QCOMPARE(w.action("mnu_CALL")->text(), QStringLiteral("電話する"));
        QCOMPARE(w.action("mnu_GlovalIP")->text(), QStringLiteral("グロ－バルIP"));
        QCOMPARE(w.action("mnu_CLOSE")->text(), QStringLiteral("閉じる"));
        QVERIFY(!w.enabled("mnu_Connect"));
        QVERIFY(!w.enabled("mnu_CALL"));
        QVERIFY(w.enabled("mnu_GlovalIP"));
        QVERIFY(p.phone->st.SearchOpen);
        QVERIFY(p.phone->st.SearchActive);

        // The address request works without listening.
        w.trigger("mnu_GlovalIP");
        QVERIFY(p.phone->st.GlobalIpRequest);
        QVERIFY(p.phone->st.ServerSocket != 0);
        w.trigger("mnu_CLOSE");
        QVERIFY(!w.form.isVisible());
        QVERIFY(!p.phone->st.SearchOpen);
    }
    p.phone->mnu_SERVER_Click();
    OpenWindow w(*p.phone);
    QVERIFY(w.enabled("mnu_Connect"));
    QVERIFY(!w.enabled("mnu_CALL"));
    QVERIFY(p.boxes.boxes.isEmpty());
}

void SearchWindowTest::modalOpeningRunsUntilCloseMenu()
{
    TestPhone p(LoopbackAddress(9), QStringLiteral("Alice"), Start::Listening);
    SearchForm form(p.phone->search);
    bool openInside = false;
    QTimer::singleShot(0, &form, [&] {
        openInside = form.isVisible() && p.phone->search.loaded() && p.phone->st.SearchActive;
        form.findChild<QAction*>(QStringLiteral("mnu_CLOSE"))->trigger();
    });
    QTimer::singleShot(20000, &form, [&] { form.done(-1); }); // never hang the test
    QCOMPARE(form.exec(), int(QDialog::Accepted));
    QVERIFY(openInside);
    QVERIFY(!p.phone->search.loaded());
    QVERIFY(!p.phone->st.SearchOpen && !p.phone->st.SearchActive);
}

void SearchWindowTest::callIsEnabledOnlyByWaitingUserLines()
{
    TestPhone p(LoopbackAddress(3), QStringLiteral("Alice"), Start::Listening);
    OpenWindow w(*p.phone);
    SearchWindow& search = p.phone->search;

    p.phone->server.ServerMessageHandler(ListReply(Addresses(3)));
    QCOMPARE(w.lines(),
        (QStringList { QStringLiteral("1 user1 F 21 [c1]"), QStringLiteral("2 user2 F 22 [c2]"),
            QStringLiteral("3 user3 F 23 [c3]") }));
    QCOMPARE(w.text1(), QStringLiteral("198.51.100.1"));
    QVERIFY(!w.enabled("mnu_CALL"));
    w.clickLine(1);
    QVERIFY(w.enabled("mnu_CALL"));
    QCOMPARE(search.SelectedUser, 2);

    // The keyboard moves the choice as a click does, and the highlight with it.
    for (const auto& [key, user] :
        { std::pair { Qt::Key_Down, 3 }, { Qt::Key_Home, 1 }, { Qt::Key_End, 3 }, { Qt::Key_Up, 2 } }) {
        QTest::keyClick(w.list(), key);
        QCOMPARE(search.SelectedUser, user);
        QCOMPARE(w.list()->selectedItems(), QList { w.list()->item(user - 1) });
    }
    QVERIFY(w.enabled("mnu_CALL"));

    // A new list disables the command again; the empty list's line enables nothing.
    p.phone->server.ServerMessageHandler(QStringLiteral("ClientData|ZERO|198.51.100.2|END"));
    QCOMPARE(w.lines(), QStringList { kNobody });
    QCOMPARE(w.text1(), QStringLiteral("198.51.100.2"));
    QVERIFY(!w.enabled("mnu_CALL"));
    w.clickLine(0);
    QVERIFY(!w.enabled("mnu_CALL"));
    QCOMPARE(search.SelectedUser, 2);

    // Only the first line decides.
    search.AddLine(QStringLiteral("1 Bob M 30 [x]"));
    w.clickLine(1);
    QVERIFY(!w.enabled("mnu_CALL"));
    search.ClearList();
    search.AddLine(QStringLiteral("1 Bob M 30 [x]"));
    search.AddLine(kNobody);
    w.clickLine(1);
    QVERIFY(w.enabled("mnu_CALL"));
    QCOMPARE(search.SelectedUser, 2);
}

void SearchWindowTest::closeBoxIsRefusedAndCloseMenuCloses()
{
    TestPhone p(LoopbackAddress(4), QStringLiteral("Alice"), Start::Listening);
    OpenWindow w(*p.phone);
    w.form.close();
    QVERIFY(w.form.isVisible());
    QVERIFY(p.phone->search.loaded());
    QCOMPARE(p.boxes.boxes.size(), 1);
    QCOMPARE(p.boxes.boxes[0].text, QStringLiteral("閉じるメニュ－から終了してください。"));
    QCOMPARE(p.boxes.boxes[0].icon, MessageIcon::Exclamation);
    QTest::keyClick(&w.form, Qt::Key_Escape);
    QVERIFY(w.form.isVisible());

    // Without a call, closing only ends the window's activity.
    w.trigger("mnu_CLOSE");
    QVERIFY(!w.form.isVisible());
    QVERIFY(!p.phone->search.loaded());
    QVERIFY(!p.phone->st.SearchOpen);
    QVERIFY(!p.phone->st.SearchActive);
    QCOMPARE(p.main.text1(), QStringLiteral("待機します。"));
    QCOMPARE(p.boxes.boxes.size(), 1);

    // Shown again, the same window refuses its close box again.
    w.form.show();
    QVERIFY(p.phone->search.loaded());
    w.form.close();
    QVERIFY(w.form.isVisible());
    QCOMPARE(p.boxes.boxes.size(), 2);
}

void SearchWindowTest::callDialsChosenUserAndStateSurvivesReopening()
{
    TestPhone p(LoopbackAddress(5), QStringLiteral("Alice"), Start::Listening);
    // The third listed user is a raw listener that records what it is sent.
    QTcpServer user3;
    QVERIFY(user3.listen(QHostAddress(LoopbackAddress(6)), 8002));
    {
        OpenWindow w(*p.phone);
        p.phone->server.ServerMessageHandler(
            ListReply({ QStringLiteral("127.254.0.1"), QStringLiteral("127.254.0.2"), LoopbackAddress(6) }));
        w.clickLine(2);
        QCOMPARE(p.phone->search.SelectedUser, 3);
        w.trigger("mnu_CALL");
        QVERIFY(!w.enabled("mnu_CALL"));
        QVERIFY(!w.enabled("mnu_Connect"));
        QVERIFY(p.phone->search.CallPlaced);
        QCOMPARE(p.phone->st.CallerName, QStringLiteral("Alice"));
        QVERIFY(p.phone->st.ExternalSocket != 0);
        QVERIFY(WaitFor([&] { return user3.hasPendingConnections(); }));
        QTcpSocket* peer = user3.nextPendingConnection();
        QCOMPARE(peer->peerAddress().toString(), p.address);
        QByteArray got;
        QVERIFY(WaitFor([&] {
            got += peer->readAll();
            return got.endsWith(Utf16(QStringLiteral("END")));
        }));
        QCOMPARE(got, Utf16(QStringLiteral("ANYBODYMSG:OK|Alice|END")));
        QCOMPARE(p.main.text1(), QStringLiteral("ただいま外部呼び出ししています。"));
        QCOMPARE(p.phone->Timer2.interval(), 0);

        // While the call is up no second one can be dialled over it.
        const int call = p.phone->st.ExternalSocket;
        w.clickLine(2);
        QVERIFY(!w.enabled("mnu_CALL"));
        p.phone->search.mnu_CALL_Click();
        QCOMPARE(p.phone->st.ExternalSocket, call);
        QCOMPARE(p.phone->Timer2.interval(), 0);

        // A later list leaves the connect command disabled.
        p.phone->server.ServerMessageHandler(ListReply(Addresses(2)));
        QVERIFY(!w.enabled("mnu_Connect"));

        w.trigger("mnu_CLOSE");
        QVERIFY(!w.form.isVisible());
        QCOMPARE(p.phone->st.ExternalSocket, 0);
        QCOMPARE(p.main.text1(), QStringLiteral("外部接続を切断しました。"));
        QVERIFY(!p.phone->st.Connected && !p.phone->st.VoiceMode && p.phone->st.RingStop);
        QVERIFY(WaitFor([&] {
            peer->readAll();
            return peer->state() == QAbstractSocket::UnconnectedState;
        }));
    }
    OpenWindow again(*p.phone);
    QCOMPARE(p.phone->search.SelectedUser, 3);
    QVERIFY(p.phone->search.CallPlaced);
    QVERIFY(again.enabled("mnu_Connect"));
    QVERIFY(!again.enabled("mnu_CALL"));
    QVERIFY(again.lines().isEmpty());
    // Nothing is open now, yet closing still reports the hang-up.
    p.main.setText1(QString());
    again.trigger("mnu_CLOSE");
    QCOMPARE(p.main.text1(), QStringLiteral("外部接続を切断しました。"));
    QVERIFY(!again.form.isVisible());
}

void SearchWindowTest::lineBeyondTableDialsNothing()
{
    TestPhone p(LoopbackAddress(7), QStringLiteral("Alice"), Start::Listening);
    OpenWindow w(*p.phone);
    p.phone->server.ServerMessageHandler(ListReply(Addresses(101)));
    QCOMPARE(w.lines().size(), 101);
    QCOMPARE(p.boxes.boxes.size(), 1); // the table is full after 100 users
    w.clickLine(100);
    QCOMPARE(p.phone->search.SelectedUser, 101);
    QVERIFY(w.enabled("mnu_CALL"));
    w.trigger("mnu_CALL");
    QCOMPARE(p.phone->st.ExternalSocket, 0);
    QVERIFY(!p.phone->search.CallPlaced);
    QVERIFY(p.phone->st.CallerName.isEmpty());
    QCOMPARE(p.phone->Timer2.interval(), 0);
    QVERIFY(w.enabled("mnu_CALL"));
    QVERIFY(w.enabled("mnu_Connect"));
    QCOMPARE(p.boxes.boxes.size(), 1);

    // The 100th line still dials its user.
    w.clickLine(99);
    w.trigger("mnu_CALL");
    QVERIFY(p.phone->st.ExternalSocket != 0);
    QVERIFY(p.phone->search.CallPlaced);
    QVERIFY(!w.enabled("mnu_CALL") && !w.enabled("mnu_Connect"));
}

void SearchWindowTest::incomingSearchCallClosesOpenWindow()
{
    TestPhone b(LoopbackAddress(8), QStringLiteral("Bob"), Start::Listening);
    OpenWindow w(*b.phone);
    QVERIFY(w.form.isVisible());
    QTcpSocket caller;
    QByteArray greeting;
    bool closedWhileRinging = false;
    Script s;
    s.then([&] { caller.connectToHost(b.address, 8002); })
        .when(
            [&] {
                greeting += caller.readAll();
                return greeting == Utf16(QStringLiteral("VOICEMSG:OK"));
            },
            [&] { caller.write(Utf16(QStringLiteral("ANYBODYMSG:OK|Zed|END"))); })
        .when([&] { return b.phone->ringingFile() == QLatin1String("Anybody.wav"); },
            [&] {
                closedWhileRinging
                    = !w.form.isVisible() && !b.phone->search.loaded() && !b.phone->st.SearchOpen;
                QCOMPARE(b.main.text1(), QStringLiteral("Zedさんからの外部接続電話です。"));
                caller.abort(); // the caller gives up: the ring ends
            })
        .when([&] { return b.phone->ringingFile().isEmpty(); }, nullptr);
    QVERIFY(WaitFor([&] { return s.done(); }));
    QVERIFY(closedWhileRinging);
    QVERIFY(b.boxes.boxes.isEmpty()); // closed by program: no refusal
    QVERIFY(WaitFor([&] { return b.main.text1() == QStringLiteral("次の接続を待機します。"); }));
}

QTEST_MAIN(SearchWindowTest)
#include "search_window_test.moc"
