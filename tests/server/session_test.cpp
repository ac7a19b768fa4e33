// The directory's request handling without sockets: what a client receives
// for each thing it may send, byte for byte.

#include "server/directory_session.h"
#include "server/registry.h"
#include "server/server_options.h"
#include "support/test_support.h"

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QtTest>

#include <string>

using namespace voxlet::directory_server;
using namespace std::chrono_literals;

namespace {

std::string Wire(const QString& text)
{
    return voxlet::test::Utf16(text).toStdString();
}

QString Text(const std::string& bytes)
{
    return voxlet::test::FromUtf16(QByteArray::fromStdString(bytes));
}

struct Person {
    Person(QString name, QString sex = QStringLiteral("男"), QString age = QStringLiteral("20"),
        QString comment = QStringLiteral("よろしく"), QString pass = {})
        : name(name)
        , sex(sex)
        , age(age)
        , comment(comment)
        , pass(pass)
    {
    }
    QString name;
    QString sex;
    QString age;
    QString comment;
    QString pass;
};

QString Registration(const Person& p, const QString& command = QStringLiteral("MYDATA|"))
{
    return command + p.name + "|" + p.sex + "|" + p.age + "|" + p.comment + "|" + p.pass + "||END";
}

class Directory {
public:
    explicit Directory(RegistryLimits limits = {}, SessionLimits session = {})
        : registry(limits, [this] { return now; })
        , sessionLimits(session)
    {
    }

    // One whole exchange as a client makes it: hello, then the request.
    QString exchange(const QString& address, const QString& request)
    {
        DirectorySession session(registry, address.toStdString(), sessionLimits);
        const QString hello = Text(session.receive(Wire(QStringLiteral("SERVEROK|END"))));
        if (hello != QStringLiteral("SERVEROK|END") || session.finished())
            return QStringLiteral("bad hello reply: ") + hello;
        const QString reply = Text(session.receive(Wire(request)));
        if (!session.finished())
            return QStringLiteral("not finished after: ") + reply;
        return reply;
    }

    QString registerAs(const QString& address, const Person& p) { return exchange(address, Registration(p)); }

    TimePoint now {};
    Registry registry;
    SessionLimits sessionLimits;
};

const QString kRefused = QStringLiteral("DISCONNECT|END");

} // namespace

class DirectoryServerSessionTest : public QObject {
    Q_OBJECT

private slots:
    void helloAndAddressRequestAreAnsweredExactly();
    void firstRegistrationGetsTheEmptyList();
    void listReplyIsByteExactAndLeavesOutTheAsker();
    void listReplyMatchesTheClientsReadingOfPieces();
    void usersBehindOneAddressSeeEachOther();
    void registrationsExpireUnlessRefreshed();
    void passProtectsANameUntilItExpires();
    void unprotectedNameMovesToTheNewAddress();
    void fieldsThatWouldBreakOtherClientsAreRefused_data();
    void fieldsThatWouldBreakOtherClientsAreRefused();
    void endInsideAFieldAndKeywordsInThePassAreFine();
    void listIsCappedAtOneHundred();
    void registryLimitsRefuseNewNames();
    void messagesSplitAnywhereAreReassembled();
    void unknownOrMalformedRequestsAreRefused_data();
    void unknownOrMalformedRequestsAreRefused();
    void incompleteRequestsWait();
    void oversizeInputIsRefusedAndLaterInputIgnored();
    void commandLineOptions();
    void optionsFromAFileAndProxiesNotToTrust();
    void wrongPassesLockForLongerAndLongerButNotTheOwner();
    void textOutsideCodePage932IsRefused_data();
    void textOutsideCodePage932IsRefused();
    void storeOptionsAndAPrivatePasswordFile();
};

void DirectoryServerSessionTest::helloAndAddressRequestAreAnsweredExactly()
{
    Directory d;
    DirectorySession session(d.registry, "203.0.113.7");
    const std::string hello = session.receive(Wire(QStringLiteral("SERVEROK|END")));
    QCOMPARE(QByteArray::fromStdString(hello),
        QByteArray::fromHex("5300450052005600450052004f004b007c0045004e004400"));
    QVERIFY(!session.finished());
    QCOMPARE(Text(session.receive(Wire(QStringLiteral("GETGLOVALIP|END")))),
        QStringLiteral("YOURGLOVALIP|203.0.113.7|END"));
    QVERIFY(session.finished());
    QCOMPARE(session.completedMessages(), std::size_t(2));
    // Nothing more is said on a finished connection.
    QVERIFY(session.receive(Wire(QStringLiteral("GETGLOVALIP|END"))).empty());
}

void DirectoryServerSessionTest::firstRegistrationGetsTheEmptyList()
{
    Directory d;
    QCOMPARE(d.registerAs("198.51.100.1", { QStringLiteral("太郎") }),
        QStringLiteral("ClientData|ZERO|198.51.100.1|END"));
    // The background registration is answered the same way.
    QCOMPARE(
        d.exchange("198.51.100.1", Registration({ QStringLiteral("太郎") }, QStringLiteral("ADDITIONDATA|"))),
        QStringLiteral("ClientData|ZERO|198.51.100.1|END"));
    QCOMPARE(d.registry.size(), std::size_t(1));
}

void DirectoryServerSessionTest::listReplyIsByteExactAndLeavesOutTheAsker()
{
    Directory d;
    d.registerAs("10.0.0.1",
        { QStringLiteral("太郎"), QStringLiteral("男"), QStringLiteral("20"), QStringLiteral("よろしく") });
    DirectorySession session(d.registry, "10.0.0.2");
    session.receive(Wire(QStringLiteral("SERVEROK|END")));
    const std::string reply = session.receive(Wire(
        Registration({ QStringLiteral("Hanako"), QStringLiteral("F"), QStringLiteral("31"), QString() })));
    const QString expected = QStringLiteral("ClientData|1|太郎|男|20|よろしく|10.0.0.1|1|10.0.0.2|END");
    QCOMPARE(Text(reply), expected);
    QCOMPARE(reply.size(), std::size_t(expected.size()) * 2);
    // 太 is U+592A: low byte first on the wire.
    QCOMPARE(QByteArray::fromStdString(reply.substr(26, 2)), QByteArray::fromHex("2a59"));

    d.registerAs("10.0.0.3", { QStringLiteral("Jiro") });
    QCOMPARE(
        d.registerAs("10.0.0.1",
            { QStringLiteral("太郎"), QStringLiteral("男"), QStringLiteral("21"), QStringLiteral("again") }),
        QStringLiteral("ClientData|1|Hanako|F|31||10.0.0.2|2|Jiro|男|20|よろしく|10.0.0.3|2|10.0.0.1|END"));
    // The refreshed profile is what the others see now.
    QCOMPARE(d.registerAs("10.0.0.3", { QStringLiteral("Jiro") }),
        QStringLiteral("ClientData|1|太郎|男|21|again|10.0.0.1|2|Hanako|F|31||10.0.0.2|2|10.0.0.3|END"));
}

void DirectoryServerSessionTest::listReplyMatchesTheClientsReadingOfPieces()
{
    Directory d;
    for (int i = 0; i < 5; ++i)
        d.registerAs(QStringLiteral("10.1.%1.1").arg(i), { QStringLiteral("user%1").arg(i) });
    const QString reply = d.registerAs("10.1.1.1", { QStringLiteral("asker") });
    // Read it the way the client does: pieces 1..n-3 in groups of six, name
    // second, address sixth; piece n-1 the asker's own address.
    const QStringList pieces = reply.split('|');
    const int n = pieces.size() - 1;
    QCOMPARE(pieces.first(), QStringLiteral("ClientData"));
    QCOMPARE(pieces.at(n), QStringLiteral("END"));
    QCOMPARE(pieces.at(n - 1), QStringLiteral("10.1.1.1"));
    QVERIFY(!reply.contains(QStringLiteral("ZERO")));
    QStringList names;
    QStringList addresses;
    for (int i = 1; i <= n - 3; i += 6) {
        names << pieces.at(i + 1);
        addresses << pieces.at(i + 5);
    }
    QCOMPARE(names, (QStringList { "user0", "user1", "user2", "user3", "user4" }));
    QCOMPARE(addresses, (QStringList { "10.1.0.1", "10.1.1.1", "10.1.2.1", "10.1.3.1", "10.1.4.1" }));
}

void DirectoryServerSessionTest::usersBehindOneAddressSeeEachOther()
{
    Directory d;
    d.registerAs("192.0.2.9", { QStringLiteral("A") });
    QCOMPARE(d.registerAs("192.0.2.9", { QStringLiteral("B") }),
        QStringLiteral("ClientData|1|A|男|20|よろしく|192.0.2.9|1|192.0.2.9|END"));
    QCOMPARE(d.registerAs("192.0.2.9", { QStringLiteral("A") }),
        QStringLiteral("ClientData|1|B|男|20|よろしく|192.0.2.9|1|192.0.2.9|END"));
}

void DirectoryServerSessionTest::registrationsExpireUnlessRefreshed()
{
    Directory d({ 15min, 10000, 32 });
    d.registerAs("10.0.0.1", { QStringLiteral("Early") });
    d.registerAs("10.0.0.2", { QStringLiteral("Steady") });
    d.now += 10min;
    d.registerAs("10.0.0.2", { QStringLiteral("Steady") }); // refreshed; Early is not
    d.now += 4min + 59s;
    QVERIFY(d.registerAs("10.0.0.9", { QStringLiteral("Look") }).contains(QStringLiteral("|Early|")));
    d.now += 1s;
    const QString later = d.registerAs("10.0.0.8", { QStringLiteral("Look2") });
    QVERIFY2(!later.contains(QStringLiteral("|Early|")), qPrintable(later));
    QVERIFY(later.contains(QStringLiteral("|Steady|")));
    d.now += 1h;
    QCOMPARE(d.registerAs("10.0.0.8", { QStringLiteral("Look2") }),
        QStringLiteral("ClientData|ZERO|10.0.0.8|END"));
    QCOMPARE(d.registry.size(), std::size_t(1));
}

void DirectoryServerSessionTest::passProtectsANameUntilItExpires()
{
    Directory d({ 15min, 10000, 32 });
    d.registerAs("10.0.0.1", { QStringLiteral("Owner"), "M", "30", "c", QStringLiteral("secret") });
    Person intruder { QStringLiteral("Owner"), "M", "30", "evil", QStringLiteral("guess") };
    QCOMPARE(d.registerAs("10.0.0.2", intruder), kRefused);
    intruder.pass.clear();
    QCOMPARE(d.registerAs("10.0.0.2", intruder), kRefused);
    QCOMPARE(d.registerAs("10.0.0.1", intruder), kRefused); // even from the owner's address
    QCOMPARE(d.registerAs("10.0.0.5", { QStringLiteral("Viewer") }),
        QStringLiteral("ClientData|1|Owner|M|30|c|10.0.0.1|1|10.0.0.5|END"));

    // The owner moves: the same PASS from a new address updates the entry.
    d.registerAs("10.0.0.3", { QStringLiteral("Owner"), "M", "30", "moved", QStringLiteral("secret") });
    QCOMPARE(d.registerAs("10.0.0.5", { QStringLiteral("Viewer") }),
        QStringLiteral("ClientData|1|Owner|M|30|moved|10.0.0.3|1|10.0.0.5|END"));

    d.now += 15min;
    d.registerAs("10.0.0.5", { QStringLiteral("Viewer") });
    intruder.pass = QStringLiteral("guess");
    QCOMPARE(d.registerAs("10.0.0.2", intruder),
        QStringLiteral("ClientData|1|Viewer|男|20|よろしく|10.0.0.5|1|10.0.0.2|END"));
}

void DirectoryServerSessionTest::unprotectedNameMovesToTheNewAddress()
{
    Directory d;
    d.registerAs("10.0.0.1", { QStringLiteral("Free") });
    d.registerAs("10.0.0.2", { QStringLiteral("Other") });
    QCOMPARE(d.registerAs("10.0.0.3", { QStringLiteral("Free"), "F", "40", "new", QString() }),
        QStringLiteral("ClientData|1|Other|男|20|よろしく|10.0.0.2|1|10.0.0.3|END"));
    QCOMPARE(d.registerAs("10.0.0.4", { QStringLiteral("Look") }),
        QStringLiteral("ClientData|1|Other|男|20|よろしく|10.0.0.2|2|Free|F|40|new|10.0.0.3|2|10.0.0.4|END"));
    QCOMPARE(d.registry.size(), std::size_t(3));
}

void DirectoryServerSessionTest::fieldsThatWouldBreakOtherClientsAreRefused_data()
{
    QTest::addColumn<QString>("request");
    const Person base { QStringLiteral("Name") };
    auto with = [&](auto change) {
        Person p = base;
        change(p);
        return Registration(p);
    };
    QTest::newRow("ZERO in name") << with([](Person& p) { p.name = "ZEROS"; });
    QTest::newRow("SERVEROK in comment") << with([](Person& p) { p.comment = "say SERVEROK"; });
    QTest::newRow("ClientData in sex") << with([](Person& p) { p.sex = "ClientData"; });
    QTest::newRow("DISCONNECT in age") << with([](Person& p) { p.age = "DISCONNECT"; });
    QTest::newRow("YOURGLOVALIP in comment") << with([](Person& p) { p.comment = "YOURGLOVALIP"; });
    QTest::newRow("control character") << with([](Person& p) { p.name = "a\nb"; });
    QTest::newRow("empty name") << with([](Person& p) { p.name.clear(); });
    QTest::newRow("field too long") << with([](Person& p) { p.comment = QString(kMaxFieldUnits + 1, 'x'); });
    QTest::newRow("bar in name shifts fields") << with([](Person& p) { p.name = "a|b"; });
    QTest::newRow("five fields") << QStringLiteral("MYDATA|n|s|a|c|END");
}

void DirectoryServerSessionTest::fieldsThatWouldBreakOtherClientsAreRefused()
{
    QFETCH(QString, request);
    Directory d;
    QCOMPARE(d.exchange("10.0.0.1", request), kRefused);
    QCOMPARE(d.registry.size(), std::size_t(0));
    QCOMPARE(
        d.registerAs("10.0.0.2", { QStringLiteral("Next") }), QStringLiteral("ClientData|ZERO|10.0.0.2|END"));
}

void DirectoryServerSessionTest::endInsideAFieldAndKeywordsInThePassAreFine()
{
    Directory d;
    d.registerAs("10.0.0.1",
        { QStringLiteral("END"), QStringLiteral("END"), "1", QStringLiteral("ENDO|END"),
            QStringLiteral("ZERO") });
    // "ENDO|END" as comment carries a bar, so it is refused; the plain one is kept.
    QCOMPARE(d.registry.size(), std::size_t(0));
    QCOMPARE(d.registerAs("10.0.0.1",
                 { QStringLiteral("END"), QStringLiteral("END"), "1", QStringLiteral("ENDO"),
                     QStringLiteral("ZERO") }),
        QStringLiteral("ClientData|ZERO|10.0.0.1|END"));
    QCOMPARE(d.registerAs("10.0.0.2", { QStringLiteral("x") }),
        QStringLiteral("ClientData|1|END|END|1|ENDO|10.0.0.1|1|10.0.0.2|END"));
}

void DirectoryServerSessionTest::listIsCappedAtOneHundred()
{
    Directory d;
    for (int i = 0; i < 120; ++i)
        d.registerAs(
            QStringLiteral("10.%1.%2.1").arg(2 + i / 100).arg(i % 100), { QStringLiteral("u%1").arg(i) });
    QCOMPARE(d.registry.size(), std::size_t(120));
    const QStringList pieces = d.registerAs("10.3.0.1", { QStringLiteral("asker") }).split('|');
    QCOMPARE(pieces.size(), 1 + 100 * 6 + 3);
    QCOMPARE(pieces.at(pieces.size() - 3), QStringLiteral("100"));
    QCOMPARE(pieces.at(1 + 99 * 6 + 1), QStringLiteral("u99"));

    Directory small({}, { kDefaultMaxRequestBytes, 2 });
    for (int i = 0; i < 5; ++i)
        small.registerAs(QStringLiteral("10.4.%1.1").arg(i), { QStringLiteral("u%1").arg(i) });
    QCOMPARE(small.registerAs("10.4.0.1", { QStringLiteral("u0") }),
        QStringLiteral(
            "ClientData|1|u1|男|20|よろしく|10.4.1.1|2|u2|男|20|よろしく|10.4.2.1|2|10.4.0.1|END"));
}

void DirectoryServerSessionTest::registryLimitsRefuseNewNames()
{
    Directory d({ 15min, 3, 2 });
    QVERIFY(d.registerAs("10.0.0.1", { "a" }).startsWith("ClientData|"));
    QVERIFY(d.registerAs("10.0.0.1", { "b" }).startsWith("ClientData|"));
    QCOMPARE(d.registerAs("10.0.0.1", { "c" }), kRefused); // per address
    QVERIFY(d.registerAs("10.0.0.1", { "a" }).startsWith("ClientData|")); // refreshing is not adding
    QVERIFY(d.registerAs("10.0.0.2", { "c" }).startsWith("ClientData|"));
    QCOMPARE(d.registerAs("10.0.0.3", { "d" }), kRefused); // directory full
    d.now += 15min;
    QVERIFY(d.registerAs("10.0.0.3", { "d" }).startsWith("ClientData|ZERO|"));
}

void DirectoryServerSessionTest::messagesSplitAnywhereAreReassembled()
{
    Directory d;
    d.registerAs("10.0.0.1", { QStringLiteral("先客") });
    const std::string input = Wire("SERVEROK|END") + Wire(Registration({ QStringLiteral("新人") }));
    const std::size_t helloBytes = Wire("SERVEROK|END").size();

    // One byte at a time: an odd byte waits for its partner, and nothing is
    // answered before a message is whole.
    DirectorySession session(d.registry, "10.0.0.2");
    std::string output;
    for (std::size_t i = 0; i < input.size(); ++i) {
        const std::string out = session.receive(input.substr(i, 1));
        if (!out.empty())
            QVERIFY2(i == helloBytes - 1 || i == input.size() - 1, qPrintable(QString::number(i)));
        output += out;
    }
    QVERIFY(session.finished());
    QCOMPARE(
        Text(output), QStringLiteral("SERVEROK|ENDClientData|1|先客|男|20|よろしく|10.0.0.1|1|10.0.0.2|END"));

    // Everything in one piece gives the same.
    d.now += 1s;
    DirectorySession whole(d.registry, "10.0.0.2");
    QCOMPARE(Text(whole.receive(input)), Text(output));

    // Odd splits through the middle of characters.
    DirectorySession odd(d.registry, "10.0.0.2");
    std::string oddOutput;
    for (std::size_t at = 0; at < input.size(); at += 7)
        oddOutput += odd.receive(input.substr(at, 7));
    QCOMPARE(Text(oddOutput), Text(output));
}

void DirectoryServerSessionTest::unknownOrMalformedRequestsAreRefused_data()
{
    QTest::addColumn<QByteArray>("input");
    auto bytes = [](const QString& text) { return QByteArray::fromStdString(Wire(text)); };
    QTest::newRow("no hello") << bytes("GETGLOVALIP|END");
    QTest::newRow("plain text") << QByteArray("SERVEROK|END");
    QTest::newRow("unknown request") << bytes("SERVEROK|ENDHELLO|END");
    QTest::newRow("lower case") << bytes("SERVEROK|ENDgetglovalip|END");
    // A directory without connect-back says no as any older one does.
    QTest::newRow("connect-back where none is offered") << bytes("SERVEROK|ENDCONNECTBACK|END");
    QTest::newRow("extra after request") << bytes("SERVEROK|ENDGETGLOVALIP|ENDX");
    QTest::newRow("second hello") << bytes("SERVEROK|ENDSERVEROK|END");
    QTest::newRow("garbage bytes") << QByteArray::fromHex("00ff10ffeeddccbb");
}

void DirectoryServerSessionTest::unknownOrMalformedRequestsAreRefused()
{
    QFETCH(QByteArray, input);
    Directory d;
    DirectorySession session(d.registry, "10.0.0.1");
    const QString reply = Text(session.receive(input.toStdString()));
    QVERIFY2(reply.endsWith(kRefused), qPrintable(reply));
    QVERIFY(session.finished());
    QVERIFY(!session.outcome().empty());
}

void DirectoryServerSessionTest::incompleteRequestsWait()
{
    Directory d;
    for (const QString& partial : { QStringLiteral("SERVEROK|EN"), QStringLiteral("SERVEROK|ENDGETGLO"),
             QStringLiteral("SERVEROK|ENDADDITION"), QStringLiteral("SERVEROK|ENDMYDATA|a|b|c|d|e||EN") }) {
        DirectorySession session(d.registry, "10.0.0.1");
        const QString reply = Text(session.receive(Wire(partial)));
        QVERIFY2(reply.isEmpty() || reply == "SERVEROK|END", qPrintable(partial));
        QVERIFY2(!session.finished(), qPrintable(partial));
    }
    QCOMPARE(d.registry.size(), std::size_t(0));
}

void DirectoryServerSessionTest::oversizeInputIsRefusedAndLaterInputIgnored()
{
    Directory d;
    DirectorySession session(d.registry, "10.0.0.1");
    session.receive(Wire("SERVEROK|ENDMYDATA|"));
    QString reply;
    std::size_t fed = Wire("SERVEROK|ENDMYDATA|").size();
    while (!session.finished() && fed < 100000) {
        reply += Text(session.receive(std::string(100, 'A')));
        fed += 100;
    }
    QCOMPARE(reply, kRefused);
    QVERIFY(fed > kDefaultMaxRequestBytes && fed <= kDefaultMaxRequestBytes + 100);
    QVERIFY(session.receive(Wire("|b|c|d|e||END")).empty());
    QCOMPARE(d.registry.size(), std::size_t(0));
}

void DirectoryServerSessionTest::commandLineOptions()
{
    const ParsedArguments defaults = ParseArguments({});
    QVERIFY(defaults.error.empty());
    QCOMPARE(defaults.options.port, std::uint16_t(8003));
    QCOMPARE(defaults.options.listenAddress, std::string("0.0.0.0"));

    const ParsedArguments set = ParseArguments(
        { "--listen", "127.0.0.1", "--port=9000", "--keep", "60", "--max-list", "10", "--quiet" });
    QVERIFY2(set.error.empty(), set.error.c_str());
    QCOMPARE(set.options.listenAddress, std::string("127.0.0.1"));
    QCOMPARE(set.options.port, std::uint16_t(9000));
    QCOMPARE(set.options.registry.keepFor, std::chrono::seconds(60));
    QCOMPARE(set.options.session.maxListedUsers, std::size_t(10));
    QVERIFY(set.options.quiet);

    const ParsedArguments shared = ParseArguments({ "--store", "redis://db.example:6380", "--reuse-port",
        "--trusted-proxy", "10.1.2.3", "--trusted-proxy=192.168.0.0/16" });
    QVERIFY2(shared.error.empty(), shared.error.c_str());
    QVERIFY(!defaults.options.redis && shared.options.redis && shared.options.reusePort);
    QCOMPARE(shared.options.redis->text(), std::string("redis://db.example:6380"));
    QVERIFY(IsTrusted(shared.options.trustedProxies, "10.1.2.3"));
    QVERIFY(IsTrusted(shared.options.trustedProxies, "192.168.77.1"));
    QVERIFY(!IsTrusted(shared.options.trustedProxies, "10.1.2.4"));
    QCOMPARE(ParseArguments({ "--store", "unix:/run/redis.sock" }).options.redis->path,
        std::string("/run/redis.sock"));

    for (const auto& bad : std::vector<std::vector<std::string>> { { "--port", "70000" }, { "--port" },
             { "--listen", "example.org" }, { "--max-list", "101" }, { "--idle", "0" }, { "--bogus" },
             { "--store", "redis://" }, { "--store", "redis://h:0" }, { "--store", "mysql://h" },
             { "--trusted-proxy", "10.0.0.0/33" }, { "--trusted-proxy", "example.org" } }) {
        QVERIFY2(!ParseArguments(bad).error.empty(), bad.front().c_str());
    }
    QVERIFY(ParseArguments({ "--help" }).showHelp);
}

void DirectoryServerSessionTest::optionsFromAFileAndProxiesNotToTrust()
{
    QTemporaryDir folder;
    QFile file(folder.filePath("directory.conf"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("# voxlet-directory\n\nport 9001\nmax-list = 20\nquiet\ntrusted-proxy "
               "10.0.0.0/8\nhealth=127.0.0.1:8004\n");
    file.close();
    const std::string path = file.fileName().toStdString();
    // Read where it stands: later arguments win.
    const ParsedArguments read = ParseArguments({ "--config", path, "--port", "9002" });
    QVERIFY2(read.error.empty(), read.error.c_str());
    QCOMPARE(read.options.port, std::uint16_t(9002));
    QCOMPARE(read.options.session.maxListedUsers, std::size_t(20));
    QVERIFY(read.options.quiet && IsTrusted(read.options.trustedProxies, "10.9.8.7"));
    QCOMPARE(read.options.healthPort, std::uint16_t(8004));

    QVERIFY(file.open(QIODevice::Append));
    file.write("max-list 500\n");
    file.close();
    QCOMPARE(ParseArguments({ "--config", path }).error, path + ":8: bad value for --max-list: 500");
    QVERIFY(!ParseArguments({ "--config", path + ".missing" }).error.empty());

    // Trusting everyone would let any client choose its listed address.
    QVERIFY(ParseArguments({ "--trusted-proxy", "0.0.0.0/0" }).error.find("would trust every address")
        != std::string::npos);
    for (const char* wide : { "0.0.0.0", "128.0.0.0/1", "0.0.0.0/8" })
        QVERIFY2(!ParseArguments({ "--trusted-proxy", wide }).error.empty(), wide);
}

void DirectoryServerSessionTest::wrongPassesLockForLongerAndLongerButNotTheOwner()
{
    RegistryLimits limits;
    limits.attemptRecords = 40;
    Directory d(limits);
    const Person owner { QStringLiteral("Owner"), "M", "30", "c", QStringLiteral("right") };
    const QString listed = QStringLiteral("ClientData|ZERO|10.0.0.1|END");
    QCOMPARE(d.registerAs("10.0.0.1", owner), listed);
    Person guess = owner;
    auto guesses = [&](int count, const char* from) {
        for (int i = 0; i < count; ++i) {
            guess.pass = QStringLiteral("g%1").arg(i);
            QCOMPARE(d.registerAs(from, guess), kRefused);
        }
    };
    auto movesTo = [&](const char* address) {
        const bool moved = d.registerAs(address, owner).startsWith("ClientData|");
        if (moved) // back home
            d.registerAs("10.0.0.1", owner);
        return moved;
    };
    // Time passes while the owner at home refreshes every five minutes, never held up.
    auto wait = [&](int minutes) {
        for (int m = 0; m < minutes; m += 5) {
            d.now += std::chrono::minutes(std::min(5, minutes - m));
            QCOMPARE(d.registerAs("10.0.0.1", owner), listed);
        }
    };
    // Five wrong ones from five addresses lock the name for ten minutes.
    for (int a = 0; a < 5; ++a)
        guesses(1, qPrintable(QStringLiteral("10.1.0.%1").arg(a)));
    QVERIFY(!movesTo("10.2.0.1"));
    wait(10);
    QVERIFY(movesTo("10.2.0.1"));
    // The next five lock it for twenty minutes, the next for forty.
    guesses(5, "10.1.0.9");
    wait(19);
    QVERIFY(!movesTo("10.2.0.1"));
    wait(1);
    QVERIFY(movesTo("10.2.0.1"));
    guesses(5, "10.1.0.8");
    wait(39);
    QVERIFY(!movesTo("10.2.0.1"));
    wait(1);
    QVERIFY(movesTo("10.2.0.1"));

    // One address guessing many names is locked too, for every name it tries.
    for (int n = 0; n < 6; ++n)
        d.registerAs("10.3.0.1", { QStringLiteral("N%1").arg(n), "M", "30", "c", QStringLiteral("p") });
    for (int n = 0; n < 5; ++n)
        QCOMPARE(d.registerAs("10.4.0.1", { QStringLiteral("N%1").arg(n), "M", "30", "c", "x" }), kRefused);
    QCOMPARE(
        d.registerAs("10.4.0.1", { QStringLiteral("N5"), "M", "30", "c", QStringLiteral("p") }), kRefused);
    QVERIFY(d.registerAs("10.4.0.2", { QStringLiteral("N5"), "M", "30", "c", QStringLiteral("p") })
                .startsWith("ClientData|"));

    // Hundreds of guessing addresses and guessed names cost a bounded memory.
    for (int n = 0; n < 60; ++n)
        d.registerAs(
            QStringLiteral("10.5.%1.1").arg(n), { QStringLiteral("M%1").arg(n), "M", "30", "c", "p" });
    for (int a = 0; a < 300; ++a)
        QCOMPARE(d.registerAs(QStringLiteral("10.6.%1.%2").arg(a / 250).arg(a % 250),
                     { QStringLiteral("M%1").arg(a % 60), "M", "30", "c", "x" }),
            kRefused);
    QCOMPARE(d.registry.attemptRecords(), 2 * limits.attemptRecords);
}

void DirectoryServerSessionTest::textOutsideCodePage932IsRefused_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<bool>("accepted");
    QTest::newRow("kana, kanji, NEC and IBM extensions") << QStringLiteral("ｶﾅかな漢字①ⅰ髙～－") << true;
    QTest::newRow("backslash and tilde") << QStringLiteral("a\\b~") << true;
    QTest::newRow("C1 control") << QStringLiteral("a\u0085b") << false;
    QTest::newRow("lone surrogate") << QString(QChar(0xD800)) << false;
    QTest::newRow("pair beyond the BMP") << QStringLiteral("\U0001F600") << false;
    QTest::newRow("yen sign (only a look-alike)") << QStringLiteral("\u00A5") << false;
    QTest::newRow("accented Latin") << QStringLiteral("é") << false;
    QTest::newRow("bidirectional override") << QStringLiteral("\u202E") << false;
}

void DirectoryServerSessionTest::textOutsideCodePage932IsRefused()
{
    QFETCH(QString, field);
    QFETCH(bool, accepted);
    for (int which = 0; which < 5; ++which) {
        Directory d;
        Person p { QStringLiteral("Name") };
        QString* fields[] = { &p.name, &p.sex, &p.age, &p.comment, &p.pass };
        *fields[which] = field;
        QCOMPARE(d.registerAs("10.0.0.1", p).startsWith("ClientData|"), accepted);
    }
}

void DirectoryServerSessionTest::storeOptionsAndAPrivatePasswordFile()
{
    const ParsedArguments set = ParseArguments(
        { "--list-share", "10", "--pass-window=60", "--store-user", "voxlet", "--remove", "太郎" });
    QVERIFY2(set.error.empty(), set.error.c_str());
    QCOMPARE(set.options.registry.listShare, std::size_t(10));
    QCOMPARE(set.options.registry.passWindow, std::chrono::seconds(60));
    QCOMPARE(*set.options.removeName, std::string("太郎"));
    QVERIFY(!ParseArguments({ "--pass-attempts", "0" }).error.empty());

    QTemporaryDir folder;
    QFile file(folder.filePath("pass"));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("pw\r\nignored\n") > 0);
    file.close();
    QVERIFY(file.setPermissions(QFileDevice::ReadOwner | QFileDevice::ReadOther));
    const std::vector<std::string> option { "--store-password-file", file.fileName().toStdString() };
    const std::string refused = ParseArguments(option).error;
    QVERIFY2(refused.find("chmod o-rw") != std::string::npos, refused.c_str());
    QVERIFY(file.setPermissions(QFileDevice::ReadOwner | QFileDevice::ReadGroup));
    QCOMPARE(ParseArguments(option).options.storePassword, std::string("pw"));
}

QTEST_GUILESS_MAIN(DirectoryServerSessionTest)
#include "session_test.moc"
