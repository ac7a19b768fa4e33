// Socket error texts and address conversions.

#include "net/address.h"
#include "net/happy_dialer.h"
#include "net/log_quoted.h"
#include "net/peer_address.h"
#include "net/winsock_errors.h"

#include <QFile>
#include <QSet>
#include <QTest>

#include <arpa/inet.h>
#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace voxlet;

class NetTextsAndAddressesTest : public QObject {
    Q_OBJECT
private slots:
    void errorTexts_data();
    void errorTexts();
    void everyListedCodeHasItsOwnText();
    void errnoMapsOntoWinsockCodes();
    void formatAddress_data();
    void formatAddress();
    void strangersTextStaysInItsLogLine();
    void dottedTextIsUsedWithoutLookup();
    void unresolvableNameGivesNoAddress();
    void hostNameIsLookedUp();
    void localAddressPrefersARealInterface();
    void peersOfBothFamilies();
    void secondFamilyTakesOverAStalledDial();
};

void NetTextsAndAddressesTest::errorTexts_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text");
    QTest::newRow("in use") << 10048 << QStringLiteral("指定されたアドレスは使用中。");
    QTest::newRow("refused") << 10061 << QStringLiteral("接続が拒否された。");
    QTest::newRow("first") << 10004 << QStringLiteral("呼び出しが取り消された。");
    QTest::newRow("highest") << 11004 << QStringLiteral("データレコードの型が要求されていない。");
    QTest::newRow("not initialised") << 10093
                                     << QStringLiteral(
                                            "WSAStartup関数を呼び出していないか、失敗しています。");
    QTest::newRow("gap") << 10062 << QStringLiteral("(10062)");
    QTest::newRow("gap 10005") << 10005 << QStringLiteral("(10005)");
    QTest::newRow("gap 10059") << 10059 << QStringLiteral("(10059)");
    QTest::newRow("zero") << 0 << QStringLiteral("(0)");
    QTest::newRow("negative") << -1 << QStringLiteral("(-1)");
    QTest::newRow("past the end") << 11005 << QStringLiteral("(11005)");
}

void NetTextsAndAddressesTest::errorTexts()
{
    QFETCH(int, code);
    QFETCH(QString, text);
    QCOMPARE(WinsockErrorText(code), text);
}

void NetTextsAndAddressesTest::everyListedCodeHasItsOwnText()
{
    const int listed[] = { 10004, 10013, 10014, 10022, 10024, 10035, 10036, 10037, 10038, 10039, 10040, 10041,
        10042, 10043, 10044, 10045, 10046, 10047, 10048, 10049, 10050, 10051, 10052, 10053, 10054, 10055,
        10056, 10057, 10058, 10060, 10061, 10064, 10065, 10067, 10091, 10092, 10093, 11001, 11002, 11003,
        11004 };
    QSet<QString> texts;
    for (int code : listed) {
        const QString t = WinsockErrorText(code);
        QVERIFY2(!t.startsWith(QLatin1Char('(')), qPrintable(QString::number(code)));
        texts.insert(t);
    }
    QCOMPARE(texts.size(), int(std::size(listed)));
    // Everything between the listed codes falls back to the number.
    for (int code = 10000; code <= 11010; ++code) {
        if (std::find(std::begin(listed), std::end(listed), code) == std::end(listed))
            QCOMPARE(WinsockErrorText(code), QStringLiteral("(%1)").arg(code));
    }
}

void NetTextsAndAddressesTest::errnoMapsOntoWinsockCodes()
{
    QCOMPARE(WinsockCodeFromErrno(0), 0);
    QCOMPARE(WinsockCodeFromErrno(EADDRINUSE), 10048);
    QCOMPARE(WinsockCodeFromErrno(ECONNREFUSED), 10061);
    QCOMPARE(WinsockCodeFromErrno(ECONNRESET), 10054);
    QCOMPARE(WinsockCodeFromErrno(EADDRNOTAVAIL), 10049);
    QCOMPARE(WinsockCodeFromErrno(ETIMEDOUT), 10060);
    QCOMPARE(WinsockCodeFromErrno(EHOSTUNREACH), 10065);
    QCOMPARE(WinsockCodeFromErrno(EMFILE), 10024);
    // Every mapped code has a sentence of its own.
    for (int e : { EACCES, EINVAL, EAGAIN, ENETUNREACH, ENOBUFS, ENOTCONN, EPIPE, ECONNABORTED })
        QVERIFY(!WinsockErrorText(WinsockCodeFromErrno(e)).startsWith(QLatin1Char('(')));
}

void NetTextsAndAddressesTest::formatAddress_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("text");
    QTest::newRow("192.168.1.10") << 167880896 << QStringLiteral("192.168.1.10");
    QTest::newRow("10.0.0.1") << 16777226 << QStringLiteral("10.0.0.1");
    QTest::newRow("127.0.0.1") << 16777343 << QStringLiteral("127.0.0.1");
    QTest::newRow("negative") << -939415360 << QStringLiteral("192.168.1.200");
    QTest::newRow("zero") << 0 << QStringLiteral("0.0.0.0");
    QTest::newRow("none") << -1 << QStringLiteral("255.255.255.255");
    QTest::newRow("513") << 513 << QStringLiteral("1.2.0.0");
}

void NetTextsAndAddressesTest::formatAddress()
{
    QFETCH(int, value);
    QFETCH(QString, text);
    QCOMPARE(FormatAddress(value), text);
    if (value != -1)
        QCOMPARE(ResolveAddress(text), value); // and back
}

void NetTextsAndAddressesTest::strangersTextStaysInItsLogLine()
{
    QCOMPARE(LogQuoted(QStringLiteral("a'\\\n\u202E\U0001F600")),
        QStringLiteral("'a\\'\\\\\\u000A\\u202E\U0001F600'"));
    QCOMPARE(LogQuoted(QStringLiteral("abc"), 2), QStringLiteral("'ab'..."));
}

void NetTextsAndAddressesTest::dottedTextIsUsedWithoutLookup()
{
    QCOMPARE(ResolveAddress(QStringLiteral("192.168.1.10")), 167880896);
    QCOMPARE(ResolveAddress(QStringLiteral("192.168.1.200")), -939415360);
    // All ones equals the failure value: it is looked up as a name and still gives -1.
    QCOMPARE(ResolveAddress(QStringLiteral("255.255.255.255")), -1);
}

void NetTextsAndAddressesTest::unresolvableNameGivesNoAddress()
{
    QCOMPARE(ResolveAddress(QStringLiteral("no-such-host.invalid")), kNoAddress);
    QCOMPARE(ResolveAddress(QString()), kNoAddress);
    QCOMPARE(ResolveAddress(QString::fromLatin1("bad\0name", 8)), kNoAddress);
    QCOMPARE(ResolveAddress(QStringLiteral("1.2.3.4.5")), kNoAddress);
}

void NetTextsAndAddressesTest::hostNameIsLookedUp()
{
    // "localhost" is in /etc/hosts on every machine this runs on.
    QCOMPARE(FormatAddress(ResolveAddress(QStringLiteral("localhost"))), QStringLiteral("127.0.0.1"));
}

void NetTextsAndAddressesTest::localAddressPrefersARealInterface()
{
    const std::int32_t own = LocalHostAddress();
    QVERIFY(own != kNoAddress);
    const QString text = FormatAddress(own);
    // Loopback only when the machine has nothing else.
    QFile routes(QStringLiteral("/proc/net/route"));
    bool hasOther = false;
    if (routes.open(QIODevice::ReadOnly))
        hasOther = routes.readAll().split('\n').size() > 2;
    if (hasOther)
        QVERIFY2(!text.startsWith(QLatin1String("127.")), qPrintable(text));
}

void NetTextsAndAddressesTest::peersOfBothFamilies()
{
    // A dotted address is dialled as it stands, as ever.
    auto t = ResolvePeer(QStringLiteral("192.168.1.10"), 8002);
    QCOMPARE(FormatPeerAddress(t.at(0).address), QStringLiteral("192.168.1.10"));
    t = ResolvePeer(QStringLiteral("[FD00:198:18:0::2]"), 8002);
    QCOMPARE(int(t.size()), 1);
    QCOMPARE(FormatPeerAddress(t[0].address), QStringLiteral("fd00:198:18::2"));
    QCOMPARE(ntohs(reinterpret_cast<const sockaddr_in6&>(t[0].address).sin6_port), 8002);
    t = ResolvePeer(QStringLiteral("no-such-host.invalid"), 8002);
    QCOMPARE(FormatPeerAddress(t.at(0).address), QStringLiteral("255.255.255.255"));
    // An IPv4 caller on the IPv6 socket is shown dotted.
    t = ResolvePeer(QStringLiteral("::ffff:198.18.0.2"), 8002);
    QCOMPARE(FormatPeerAddress(t.at(0).address), QStringLiteral("198.18.0.2"));

    // Callers are given a stable address of the default route's interface,
    // never the temporary one privacy extensions list first.
    const QString addresses
        = QStringLiteral("20010db8000000011111111111111111 03 40 00 01 wlan0\n" // temporary
                         "20010db8000000022222222222222222 04 40 00 00 docker0\n"
                         "20010db8000000013333333333333333 03 40 00 20 wlan0\n" // deprecated
                         "fd000000000000000000000000000002 03 40 00 80 wlan0\n"
                         "20010db8000000014444444444444444 03 40 00 00 wlan0\n");
    const QString routes
        = QStringLiteral("00000000000000000000000000000000 00 "
                         "00000000000000000000000000000000 00 fe800000000000000000000000000001 "
                         "00000400 00000002 00000000 00000003 wlan0\n");
    QCOMPARE(ChooseIPv6Address(addresses, routes), QStringLiteral("2001:db8:0:1:4444:4444:4444:4444"));
    QCOMPARE(ChooseIPv6Address(addresses, QString()), QStringLiteral("2001:db8:0:2:2222:2222:2222:2222"));
    QStringList unstable = addresses.split(QLatin1Char('\n'));
    unstable.removeAt(4);
    unstable.removeAt(1);
    QCOMPARE(ChooseIPv6Address(unstable.join(QLatin1Char('\n')), routes), QStringLiteral("fd00::2"));
}

void NetTextsAndAddressesTest::secondFamilyTakesOverAStalledDial()
{
    // Listening on ADDRESS:0 with a queue of `backlog`; the target to dial it.
    auto listen = [](const QString& address, int backlog, int& fd) {
        DialTarget t = ResolvePeer(address, 0).front();
        fd = ::socket(t.family(), SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&t.address), t.length) != 0 || ::listen(fd, backlog) != 0)
            fd = -1;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&t.address), &t.length);
        return t;
    };
    int stalled = -1, v4 = -1;
    // A queue that is full drops the SYN: a dial that hangs.
    const DialTarget stalledTarget = listen(QStringLiteral("::1"), 0, stalled);
    if (stalled < 0)
        QSKIP("no IPv6 loopback here");
    const int filler = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    QCOMPARE(
        ::connect(filler, reinterpret_cast<const sockaddr*>(&stalledTarget.address), stalledTarget.length),
        0);
    const DialTarget v4Target = listen(QStringLiteral("127.0.0.1"), 4, v4);
    QVERIFY(v4 >= 0);
    DialTarget refusedTarget = ResolvePeer(QStringLiteral("::1"), 0).front();
    reinterpret_cast<sockaddr_in6&>(refusedTarget.address).sin6_port
        = reinterpret_cast<const sockaddr_in&>(v4Target.address).sin_port;

    for (const DialTarget& first : { stalledTarget, refusedTarget }) {
        const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const int r = ::connect(fd, reinterpret_cast<const sockaddr*>(&first.address), first.length);
        int result = -1, prepared = 0;
        HappyDialer dialer(
            fd, r == 0 ? 0 : errno, v4Target, [&](int) { ++prepared; }, [&](int e) { result = e; });
        QTRY_COMPARE_WITH_TIMEOUT(result, 0, 10000);
        QCOMPARE(prepared, 1);
        // The program's descriptor now holds the IPv4 connection.
        sockaddr_storage peer {};
        socklen_t length = sizeof peer;
        QCOMPARE(::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length), 0);
        QCOMPARE(FormatPeerAddress(peer), QStringLiteral("127.0.0.1"));
        ::close(::accept4(v4, nullptr, nullptr, SOCK_CLOEXEC));
        ::close(fd);
    }

    // Both hang until the queues have room, and connect before the dialer
    // hears of either: the first, told first, stays; the other is closed.
    int stalled4 = -1;
    const DialTarget stalled4Target = listen(QStringLiteral("127.0.0.1"), 0, stalled4);
    const int filler4 = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ::connect(filler4, reinterpret_cast<const sockaddr*>(&stalled4Target.address), stalled4Target.length);
    const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    ::connect(fd, reinterpret_cast<const sockaddr*>(&stalledTarget.address), stalledTarget.length);
    int result = -1, prepared = 0;
    HappyDialer dialer(
        fd, EINPROGRESS, stalled4Target, [&](int) { ++prepared; }, [&](int e) { result = e; });
    QTRY_COMPARE_WITH_TIMEOUT(prepared, 1, 5000);
    for (int listener : { stalled, stalled4 }) {
        ::close(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)); // the filler
        pollfd queued { listener, POLLIN, 0 };
        QCOMPARE(::poll(&queued, 1, 10000), 1);
    }
    QCoreApplication::processEvents();
    sockaddr_storage peer {};
    socklen_t length = sizeof peer;
    QVERIFY(result == 0 && ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0);
    QCOMPARE(FormatPeerAddress(peer), QStringLiteral("::1"));
    pollfd lost { ::accept4(stalled4, nullptr, nullptr, SOCK_CLOEXEC), POLLIN, 0 };
    char byte = 0;
    QVERIFY(::poll(&lost, 1, 5000) == 1 && ::recv(lost.fd, &byte, 1, 0) == 0);
    for (int s : { filler, stalled, v4, filler4, stalled4, fd, lost.fd })
        ::close(s);
}

QTEST_GUILESS_MAIN(NetTextsAndAddressesTest)
#include "net_texts_and_addresses_test.moc"
