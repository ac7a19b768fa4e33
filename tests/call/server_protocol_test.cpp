// The connection-server client: its messages byte for byte against a raw
// server, the reading of list replies, and the re-registration timer.

#include "call/runtime_error.h"
#include "phonebook/phone_book_files.h"
#include "support/test_phone.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <deque>

#include <sys/socket.h>
#include <unistd.h>

using namespace voxlet;
using namespace voxlet::test;

namespace {

const QString kNobody = QStringLiteral("待機者は誰もいません。");

// A stand-in connection server that lets the test read and answer each
// message itself.
class RawServer {
public:
    explicit RawServer(const QString& addr)
        : address(addr)
    {
        listening = server.listen(QHostAddress(addr), 8003);
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* s = server.nextPendingConnection())
                accepted.push_back(s);
        });
    }
    // The next connection a phone made, or null.
    QTcpSocket* next()
    {
        if (!WaitFor([&] { return !accepted.empty(); }))
            return nullptr;
        QTcpSocket* s = accepted.front();
        accepted.pop_front();
        return s;
    }
    int waiting() const { return int(accepted.size()); }

    QString address;
    bool listening = false;
    QTcpServer server;
    std::deque<QTcpSocket*> accepted;
};

// A listening phone with its search window open, and the server it logs on to.
struct SearchingPhone {
    explicit SearchingPhone(int host)
        : server(LoopbackAddress(host))
        , phone(LoopbackAddress(host + 1), QStringLiteral("Alice"))
    {
        phone.writeProfile(QStringLiteral("Alice"), server.address);
        phone.startAndListen();
        phone.phone->search.Form_Load();
        phone.phone->search.Form_Activate();
    }
    // Connects: the server's end of the exchange, or null.
    QTcpSocket* connect()
    {
        phone.phone->search.mnu_Connect_Click();
        return server.next();
    }
    RawServer server;
    TestPhone phone;
};

// One message from the phone: everything up to and including "END".
QByteArray ReadMessage(QTcpSocket* s)
{
    QByteArray got;
    WaitFor([&] {
        got += s->readAll();
        return got.endsWith(Utf16(QStringLiteral("END")));
    });
    return got;
}

void Send(QTcpSocket* s, const QString& text)
{
    s->write(Utf16(text));
    s->flush();
}

bool Disconnected(QTcpSocket* s)
{
    return WaitFor([&] {
        s->readAll();
        return s->state() == QAbstractSocket::UnconnectedState;
    });
}

// A phone whose server exchange is a local socket pair, for feeding replies
// straight to ServerMessageHandler; the test holds the server's end.
struct HandlerBench {
    explicit HandlerBench(const QString& address)
        : phone(address, QStringLiteral("Alice"))
    {
        phone.phone->Form_Load();
        phone.phone->search.Form_Load();
        phone.phone->search.Form_Activate();
        openExchange();
    }
    ~HandlerBench()
    {
        if (serverEnd >= 0)
            ::close(serverEnd);
    }
    void openExchange()
    {
        if (serverEnd >= 0)
            ::close(serverEnd);
        int fds[2];
        ::socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
        phone.phone->st.ServerSocket = fds[0];
        serverEnd = fds[1];
    }
    void reply(const QString& text) { phone.phone->server.ServerMessageHandler(text); }
    // What the phone sent on its end, decoded.
    QString sent() const
    {
        QByteArray bytes;
        char buf[4096];
        ssize_t n;
        while ((n = ::recv(serverEnd, buf, sizeof buf, MSG_DONTWAIT)) > 0)
            bytes.append(buf, n);
        return DecodeWireText(bytes.constData(), int(bytes.size()));
    }
    // True when the phone closed its end of the exchange.
    bool peerClosed() const
    {
        char c;
        return ::recv(serverEnd, &c, 1, MSG_DONTWAIT) == 0;
    }
    SearchWindow& search() { return phone.phone->search; }
    AppState& st() { return phone.phone->st; }

    TestPhone phone;
    int serverEnd = -1;
};

// "ClientData|" + one six-piece group per user + count, asker, "END".
QString ListReply(int users, const QString& namePrefix = QStringLiteral("u"),
    const QString& asker = QStringLiteral("198.51.100.1"))
{
    QString r = QStringLiteral("ClientData|");
    for (int k = 1; k <= users; ++k)
        r += QStringLiteral("%1|%2%1|M|2%1|c%1|10.0.%3.%4|")
                 .arg(QString::number(k), namePrefix, QString::number(k / 250), QString::number(k % 250));
    return r + QString::number(users) + QLatin1Char('|') + asker + QStringLiteral("|END");
}

} // namespace

class ServerProtocolTest : public QObject {
    Q_OBJECT
private slots:
    // The client's messages on the wire.
    void logOnSendsHelloThenRegistrationOfProfileReadAtConnect();
    void registrationAfterWindowClosedIsAdditionData();
    void addressRequestReadsNoProfile();

    // Reading the replies.
    void listIsShownAndStored();
    void zeroAnywhereMeansEmptyList();
    void shorterListKeepsStaleSlots();
    void moreThanHundredUsersStopsWithIndexError();
    void listInPiecesIsGatheredWhole();
    void replySplitOverTwoReadsIsTwoTexts();
    void userFieldWithHelloKeywordRegistersAgain();
    void malformedRepliesAreReportedNotFatal();
    void repliesToClosedWindowOnlyUpdateState();

    // Re-registration.
    void timerLogsOnEveryFifthTick();
    void timerOffKeepsTickCountAcrossRearm();
};

void ServerProtocolTest::logOnSendsHelloThenRegistrationOfProfileReadAtConnect()
{
    RawServer server(LoopbackAddress(1));
    QVERIFY(server.listening);
    TestPhone p(LoopbackAddress(2), QStringLiteral("Alice"));
    files::ProfileFields f { QStringLiteral("太郎"), QStringLiteral("M"), QStringLiteral("30"),
        QStringLiteral("pw"), QStringLiteral("よろしく"), server.address };
    files::SaveProfile(p.dir.path(), f);
    p.startAndListen();
    p.phone->search.Form_Load();
    p.phone->search.Form_Activate();
    QVERIFY(!p.main.isEnabled(Control::mnu_KILLTIMER));

    p.phone->search.mnu_Connect_Click();
    QCOMPARE(p.phone->Timer1.interval(), 60000);
    // The profile on disk when the connect started is the one registered.
    f.name = QStringLiteral("Changed");
    files::SaveProfile(p.dir.path(), f);

    QTcpSocket* c = server.next();
    QVERIFY(c);
    QCOMPARE(c->peerAddress().toString(), p.address);
    QCOMPARE(ReadMessage(c), QByteArray::fromHex("5300450052005600450052004f004b007c0045004e004400"));
    QVERIFY(!p.main.isEnabled(Control::mnu_KILLTIMER));

    Send(c, QStringLiteral("SERVEROK|END"));
    const QByteArray registration = ReadMessage(c);
    QCOMPARE(registration, Utf16(QStringLiteral("MYDATA|太郎|M|30|よろしく|pw||END")));
    QVERIFY(registration.startsWith(QByteArray("M\0Y\0D\0A\0T\0A\0|\0\x2A\x59\xCE\x90|\0", 20)));
    QVERIFY(registration.endsWith(QByteArray("p\0w\0|\0|\0E\0N\0D\0", 14))); // empty sixth field
    QVERIFY(p.main.isEnabled(Control::mnu_KILLTIMER));

    Send(c, QStringLiteral("ClientData|ZERO|198.51.100.7|END"));
    QVERIFY(WaitFor([&] { return p.phone->st.ServerSocket == 0; }));
    QVERIFY(Disconnected(c));
    QCOMPARE(p.phone->search.lines(), QStringList { kNobody });
    QCOMPARE(p.phone->search.text1(), QStringLiteral("198.51.100.7"));
    QCOMPARE(p.phone->st.ServerInfoText, QStringLiteral("198.51.100.7"));
    QVERIFY(p.boxes.boxes.isEmpty());
}

void ServerProtocolTest::registrationAfterWindowClosedIsAdditionData()
{
    SearchingPhone f(3);
    TestPhone& p = f.phone;
    SearchWindow& search = p.phone->search;
    QTcpSocket* c = f.connect();
    QVERIFY(c);
    ReadMessage(c);
    Send(c, QStringLiteral("SERVEROK|END"));
    QCOMPARE(ReadMessage(c), Utf16(QStringLiteral("MYDATA|Alice|M|30|hello|pw||END")));
    Send(c, QStringLiteral("DISCONNECT|END"));
    QVERIFY(WaitFor([&] { return p.phone->st.ServerSocket == 0; }));

    search.mnu_CLOSE_Click();
    QVERIFY(!p.phone->st.SearchActive);
    QVERIFY(!search.loaded());
    p.writeProfile(QStringLiteral("Alicia"), f.server.address);
    for (int i = 0; i < 5; ++i)
        p.phone->Timer1_Timer();
    c = f.server.next();
    QVERIFY(c);
    QCOMPARE(ReadMessage(c), Utf16(QStringLiteral("SERVEROK|END")));
    Send(c, QStringLiteral("SERVEROK|END"));
    QCOMPARE(ReadMessage(c), Utf16(QStringLiteral("ADDITIONDATA|Alicia|M|30|hello|pw||END")));
    // The list to a closed window: kept in the table, the socket closed.
    Send(c, QStringLiteral("ClientData|1|Bob|F|41|hi|10.1.2.3|1|198.51.100.7|END"));
    QVERIFY(WaitFor([&] { return p.phone->st.ServerSocket == 0; }));
    QCOMPARE(p.phone->st.WaitingUsers[1].Address, QStringLiteral("10.1.2.3"));
    QVERIFY(!search.loaded());
}

void ServerProtocolTest::addressRequestReadsNoProfile()
{
    RawServer server(LoopbackAddress(5));
    QVERIFY(server.listening);
    TestPhone p(LoopbackAddress(6), QStringLiteral("Alice"));
    p.writeProfile(QStringLiteral("Alice"), server.address);
    p.phone->Form_Load(); // not listening: the address request still works
    SearchWindow& search = p.phone->search;
    search.Form_Load();
    search.Form_Activate();
    QVERIFY(!search.connectEnabled());

    search.mnu_GlovalIP_Click();
    QVERIFY(p.phone->st.GlobalIpRequest);
    QCOMPARE(p.phone->Timer1.interval(), 0);
    QTcpSocket* c = server.next();
    QVERIFY(c);
    QCOMPARE(ReadMessage(c), Utf16(QStringLiteral("SERVEROK|END")));
    Send(c, QStringLiteral("SERVEROK|END"));
    QCOMPARE(
        ReadMessage(c), QByteArray::fromHex("47004500540047004c004f00560041004c00490050007c0045004e004400"));
    QVERIFY(!p.phone->st.GlobalIpRequest);
    QVERIFY(p.phone->st.ProfileName.isEmpty());
    QVERIFY(p.phone->st.ProfilePass.isEmpty());

    Send(c, QStringLiteral("YOURGLOVALIP|203.0.113.9|END"));
    QVERIFY(WaitFor([&] { return p.phone->st.ServerSocket == 0; }));
    QVERIFY(Disconnected(c));
    QCOMPARE(search.text1(), QStringLiteral("203.0.113.9"));
    QVERIFY(search.lines().isEmpty());
}

void ServerProtocolTest::listIsShownAndStored()
{
    HandlerBench b(LoopbackAddress(7));
    b.search().SetCallEnabled(true);
    b.reply(
        QStringLiteral("ClientData|1|Bob|M|30|hi there|10.0.0.5|2|Carol|F|25||10.0.0.6|2|198.51.100.3|END"));
    QCOMPARE(b.search().lines(),
        (QStringList { QStringLiteral("1 Bob M 30 [hi there]"), QStringLiteral("2 Carol F 25 []") }));
    QCOMPARE(b.st().WaitingUsers[1].Name, QStringLiteral("Bob"));
    QCOMPARE(b.st().WaitingUsers[1].Address, QStringLiteral("10.0.0.5"));
    QCOMPARE(b.st().WaitingUsers[2].Name, QStringLiteral("Carol"));
    QCOMPARE(b.st().WaitingUsers[2].Address, QStringLiteral("10.0.0.6"));
    QCOMPARE(b.search().text1(), QStringLiteral("198.51.100.3"));
    QVERIFY(!b.search().callEnabled());
    QCOMPARE(b.st().ServerSocket, 0);
    QVERIFY(b.peerClosed());
}

void ServerProtocolTest::zeroAnywhereMeansEmptyList()
{
    HandlerBench b(LoopbackAddress(8));
    b.reply(QStringLiteral("ClientData|ZERO|198.51.100.3|END"));
    QCOMPARE(b.search().lines(), QStringList { kNobody });
    QCOMPARE(b.search().text1(), QStringLiteral("198.51.100.3"));
    QVERIFY(b.peerClosed());

    // A user called "ZEROCOOL" empties the list; piece 2 is then that name.
    b.openExchange();
    b.reply(QStringLiteral("ClientData|1|ZEROCOOL|M|30|x|10.0.0.5|1|198.51.100.3|END"));
    QCOMPARE(b.search().lines(), QStringList { kNobody });
    QCOMPARE(b.search().text1(), QStringLiteral("ZEROCOOL"));
    QVERIFY(b.st().WaitingUsers[1].Address.isEmpty());
    QCOMPARE(b.st().ServerSocket, 0);
}

void ServerProtocolTest::shorterListKeepsStaleSlots()
{
    HandlerBench b(LoopbackAddress(9));
    b.reply(ListReply(3, QStringLiteral("old")));
    QCOMPARE(b.search().lines().size(), 3);
    b.openExchange();
    b.reply(ListReply(1, QStringLiteral("new")));
    QCOMPARE(b.search().lines(), QStringList { QStringLiteral("1 new1 M 21 [c1]") });
    QCOMPARE(b.st().WaitingUsers[1].Name, QStringLiteral("new1"));
    // Slots 2 and 3 still describe the earlier list; only the lines are current.
    QCOMPARE(b.st().WaitingUsers[2].Name, QStringLiteral("old2"));
    QCOMPARE(b.st().WaitingUsers[3].Address, QStringLiteral("10.0.0.3"));
    QVERIFY(b.st().WaitingUsers[4].Name.isEmpty());
}

void ServerProtocolTest::moreThanHundredUsersStopsWithIndexError()
{
    HandlerBench b(LoopbackAddress(10));
    b.reply(QStringLiteral("ClientData|ZERO|198.51.100.3|END"));
    b.openExchange();
    b.reply(ListReply(101));
    QCOMPARE(b.search().lines().size(), 101);
    QCOMPARE(b.search().lines().at(99), QStringLiteral("100 u100 M 2100 [c100]"));
    QCOMPARE(b.search().lines().at(100), QStringLiteral("101 u101 M 2101 [c101]"));
    QCOMPARE(b.st().WaitingUsers[100].Name, QStringLiteral("u100"));
    QCOMPARE(b.st().WaitingUsers[100].Address, QStringLiteral("10.0.0.100"));
    QCOMPARE(b.phone.boxes.boxes.size(), 1);
    QCOMPARE(b.phone.boxes.boxes[0].text, QStringLiteral("インデックスが有効範囲にありません。"));
    QCOMPARE(b.phone.boxes.boxes[0].title, QStringLiteral("Voxlet"));
    QCOMPARE(b.phone.boxes.boxes[0].icon, MessageIcon::None);
    // The handler stopped: the address is not updated and the exchange stays open.
    QCOMPARE(b.search().text1(), QStringLiteral("198.51.100.3"));
    QVERIFY(b.st().ServerSocket != 0);
    QVERIFY(!b.peerClosed());
    QVERIFY(!b.search().callEnabled());
}

void ServerProtocolTest::listInPiecesIsGatheredWhole()
{
    // Our own directory's list of 100 users is several TCP segments long.
    SearchingPhone f(19);
    TestPhone& a = f.phone;
    QTcpSocket* s = f.connect();
    QVERIFY(s);
    QCOMPARE(ReadMessage(s), Utf16(QStringLiteral("SERVEROK|END")));
    // The hello reply in two pieces is still one hello reply: the second
    // goes once the phone has read the first.
    Send(s, QStringLiteral("SERVER"));
    QVERIFY(WaitFor([&] { return a.phone->st.RecvText == QLatin1String("SERVER"); }));
    Send(s, QStringLiteral("OK|END"));
    QCOMPARE(ReadMessage(s), Utf16(QStringLiteral("MYDATA|Alice|M|30|hello|pw||END")));
    const QString list = ListReply(100);
    const qsizetype third = list.size() / 3;
    for (int piece = 0; piece < 3; ++piece) {
        const QString part = list.mid(piece * third, piece == 2 ? -1 : third);
        Send(s, part);
        // The next piece goes once the phone has read this one (the last
        // read hands on the whole list).
        QVERIFY(WaitFor([&] {
            const QString& read = a.phone->st.RecvText;
            return !read.isEmpty() && (part.endsWith(read) || read.endsWith(part));
        }));
    }
    QVERIFY(Disconnected(s));
    QCOMPARE(a.phone->search.lines().size(), 100);
    QCOMPARE(a.phone->search.lines().last(), QStringLiteral("100 u100 M 2100 [c100]"));
    QCOMPARE(a.phone->st.WaitingUsers[100].Address, QStringLiteral("10.0.0.100"));
    QCOMPARE(a.phone->search.text1(), QStringLiteral("198.51.100.1"));
    QVERIFY(a.boxes.boxes.isEmpty());
    QCOMPARE(a.phone->st.ServerSocket, 0);
}

void ServerProtocolTest::replySplitOverTwoReadsIsTwoTexts()
{
    // The handler itself classifies each text it is given on its own; the
    // phone hands it a reply only once the reply is whole.
    HandlerBench b(LoopbackAddress(11));
    b.reply(ListReply(2));
    b.openExchange();
    const int before = b.st().ServerSocket;
    // A list cut inside its keyword: each half is read alone, neither is a list.
    b.reply(QStringLiteral("Cli"));
    b.reply(QStringLiteral("entData|1|Bob|M|30|hi|10.0.0.5|1|198.51.100.3|END"));
    QCOMPARE(b.search().lines().size(), 2);
    QCOMPARE(b.st().WaitingUsers[1].Name, QStringLiteral("u1"));
    QVERIFY(b.search().text1() != QStringLiteral("198.51.100.3"));
    QCOMPARE(b.st().ServerSocket, before);
    // A hello reply cut in two: no registration goes out.
    b.reply(QStringLiteral("SERV"));
    b.reply(QStringLiteral("EROK|END"));
    QVERIFY(b.sent().isEmpty());
    QCOMPARE(b.st().ServerSocket, before);
    // Cut after its keyword: the first half is taken for the whole reply.
    b.reply(QStringLiteral("ClientData|1|Bob|M|30|hi|10.0.0.5|1|198.5"));
    QCOMPARE(b.search().lines(), QStringList { QStringLiteral("1 Bob M 30 [hi]") });
    QCOMPARE(b.st().WaitingUsers[1].Address, QStringLiteral("10.0.0.5"));
    QCOMPARE(b.search().text1(), QStringLiteral("1"));
    QCOMPARE(b.st().ServerSocket, 0);
    QVERIFY(b.phone.boxes.boxes.isEmpty());
}

void ServerProtocolTest::userFieldWithHelloKeywordRegistersAgain()
{
    HandlerBench b(LoopbackAddress(12));
    b.phone.phone->server.LoadProfile(QStringLiteral("name.txt"));
    b.reply(ListReply(1));
    b.openExchange();
    QVERIFY(!b.phone.main.isEnabled(Control::mnu_KILLTIMER));
    b.reply(QStringLiteral("ClientData|1|SERVEROKAY|M|30|x|10.0.0.5|1|198.51.100.3|END"));
    QCOMPARE(b.sent(), QStringLiteral("MYDATA|Alice|M|30|hello|pw||END"));
    QVERIFY(b.phone.main.isEnabled(Control::mnu_KILLTIMER));
    QCOMPARE(b.search().lines(), QStringList { QStringLiteral("1 u1 M 21 [c1]") });
    QVERIFY(b.st().ServerSocket != 0);
}

void ServerProtocolTest::malformedRepliesAreReportedNotFatal()
{
    HandlerBench b(LoopbackAddress(13));
    b.reply(QStringLiteral("ClientData|ZERO")); // no address piece
    QCOMPARE(b.search().lines(), QStringList { kNobody });
    QCOMPARE(b.phone.boxes.texts(), QStringList { QStringLiteral("インデックスが有効範囲にありません。") });
    QVERIFY(b.search().text1().isEmpty());

    b.phone.boxes.clear();
    b.openExchange();
    b.reply(QStringLiteral("YOURGLOVALIP"));
    QCOMPARE(b.phone.boxes.texts().size(), 1);
    QVERIFY(b.st().ServerSocket != 0);

    // A list whose user group is cut short: lines before the bad group stay.
    b.phone.boxes.clear();
    b.reply(QStringLiteral("ClientData|1|Bob|M|30|hi|10.0.0.5|2|Eve|F|END"));
    QCOMPARE(b.search().lines().size(), 1);
    QCOMPARE(b.phone.boxes.texts().size(), 1);

    // Text without any keyword is ignored and leaves the exchange open.
    b.phone.boxes.clear();
    b.reply(QStringLiteral("hello?|END"));
    QVERIFY(b.phone.boxes.boxes.isEmpty());
    QVERIFY(b.st().ServerSocket != 0);
}

void ServerProtocolTest::repliesToClosedWindowOnlyUpdateState()
{
    HandlerBench b(LoopbackAddress(14));
    b.search().mnu_CLOSE_Click();
    QVERIFY(!b.search().loaded());
    b.reply(ListReply(2));
    QVERIFY(!b.search().loaded());
    QCOMPARE(b.st().WaitingUsers[2].Name, QStringLiteral("u2"));
    QCOMPARE(b.st().ServerInfoText, QStringLiteral("198.51.100.1"));
    QCOMPARE(b.st().ServerSocket, 0);
    // The next opening starts empty.
    b.search().Form_Load();
    QVERIFY(b.search().lines().isEmpty());
    QVERIFY(b.search().text1().isEmpty());
}

void ServerProtocolTest::timerLogsOnEveryFifthTick()
{
    SearchingPhone f(15);
    TestPhone& p = f.phone;
    RawServer& server = f.server;
    QTcpSocket* c = f.connect();
    QVERIFY(c);
    ReadMessage(c);
    Send(c, QStringLiteral("DISCONNECT|END"));
    QVERIFY(WaitFor([&] { return p.phone->st.ServerSocket == 0; }));

    for (int round = 0; round < 2; ++round) {
        p.writeProfile(QStringLiteral("Round%1").arg(round), server.address);
        for (int tick = 1; tick <= 4; ++tick) {
            p.phone->Timer1_Timer();
            QCOMPARE(p.phone->ReRegisterTicks, tick);
            QCOMPARE(p.phone->st.ServerSocket, 0);
        }
        p.phone->Timer1_Timer();
        QCOMPARE(p.phone->ReRegisterTicks, 0);
        QVERIFY(p.phone->st.ServerSocket != 0);
        QCOMPARE(p.phone->st.ProfileName, QStringLiteral("Round%1").arg(round));
        c = server.next();
        QVERIFY(c);
        QCOMPARE(ReadMessage(c), Utf16(QStringLiteral("SERVEROK|END")));
        Send(c, QStringLiteral("SERVEROK|END"));
        QCOMPARE(ReadMessage(c), Utf16(QStringLiteral("MYDATA|Round%1|M|30|hello|pw||END").arg(round)));
        Send(c, QStringLiteral("ClientData|ZERO|198.51.100.3|END"));
        QVERIFY(WaitFor([&] { return p.phone->st.ServerSocket == 0; }));
    }
    QCOMPARE(server.waiting(), 0);
}

void ServerProtocolTest::timerOffKeepsTickCountAcrossRearm()
{
    SearchingPhone f(17);
    TestPhone& p = f.phone;
    RawServer& server = f.server;
    SearchWindow& search = p.phone->search;
    // Serves one log-on through to its end.
    auto answerLogOn = [&] {
        QTcpSocket* c = server.next();
        if (!c || ReadMessage(c) != Utf16(QStringLiteral("SERVEROK|END")))
            return false;
        Send(c, QStringLiteral("SERVEROK|END"));
        if (!ReadMessage(c).startsWith(Utf16(QStringLiteral("MYDATA|Alice|"))))
            return false;
        Send(c, QStringLiteral("DISCONNECT|END"));
        return WaitFor([&] { return p.phone->st.ServerSocket == 0; });
    };
    search.mnu_Connect_Click();
    QVERIFY(answerLogOn());
    QVERIFY(p.main.isEnabled(Control::mnu_KILLTIMER));

    for (int i = 0; i < 3; ++i)
        p.phone->Timer1_Timer();
    p.phone->mnu_KILLTIMER_Click();
    QCOMPARE(p.phone->Timer1.interval(), 0);
    QVERIFY(!p.main.isEnabled(Control::mnu_KILLTIMER));
    QCOMPARE(p.phone->ReRegisterTicks, 3);

    search.mnu_Connect_Click(); // logs on at once and re-arms
    QCOMPARE(p.phone->Timer1.interval(), 60000);
    QCOMPARE(p.phone->ReRegisterTicks, 3);
    QVERIFY(answerLogOn());
    QVERIFY(p.main.isEnabled(Control::mnu_KILLTIMER));
    p.phone->Timer1_Timer();
    QCOMPARE(p.phone->st.ServerSocket, 0);
    p.phone->Timer1_Timer(); // the second tick after re-arming is the fifth
    QVERIFY(p.phone->st.ServerSocket != 0);
    QVERIFY(answerLogOn());
}

QTEST_GUILESS_MAIN(ServerProtocolTest)
#include "server_protocol_test.moc"
