// Reachability from outside: what the phone asks of a home router (on fake
// routers, including ones that take no leases, forget their mappings or
// would overwrite another machine's), what it tells the user, and the
// directory's dial-back end to end on loopback, unseen by the user.

#include "directory/server/directory_server.h"
#include "net/reach/port_mapping.h"
#include "net/reach/reach_verdict.h"
#include "net/reach/reachability.h"
#include "support/test_phone.h"

#include <QMap>
#include <QTest>

#include <arpa/inet.h>
#include <map>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace voxlet;
using namespace voxlet::reach;
using namespace voxlet::test;

namespace {

// A router that does what it is told, as some do, even over another
// machine's mapping.
class FakeRouter : public RouterProtocol {
public:
    explicit FakeRouter(QString name, bool answers = true)
        : name_(std::move(name))
        , answers(answers)
    {
    }
    QString name() const override { return name_; }
    bool Discover() override
    {
        calls << QStringLiteral("discover");
        return answers;
    }
    QString ExternalAddress() override { return QStringLiteral("203.0.113.5"); }
    std::optional<QString> Holder(std::uint16_t port) override
    {
        const auto it = table.find(port);
        return it == table.end() ? std::nullopt : std::optional<QString>(it->second);
    }
    RouterAnswer Map(std::uint16_t port, const QString& client, int lease) override
    {
        calls << QStringLiteral("map %1").arg(lease);
        if (!answers)
            return {};
        RouterAnswer a;
        a.code = RouterAnswer::Code::PermanentOnly;
        if (!leases && lease != 0)
            return a;
        table[port] = client;
        a.code = RouterAnswer::Code::Ok;
        a.leaseSeconds = lease;
        return a;
    }
    bool Unmap(std::uint16_t port, const QString&) override
    {
        calls << QStringLiteral("unmap");
        return table.erase(port) == 1;
    }
    QString OpenPinhole(std::uint16_t, const QString& client, int) override
    {
        if (!firewall)
            return {};
        holes.insert(QString::number(++nextHole), client);
        return QString::number(nextHole);
    }
    bool RenewPinhole(const QString& id, int) override { return holes.contains(id); }
    void ClosePinhole(const QString& id) override { holes.remove(id); }

    QString name_;
    bool answers;
    bool leases = true;
    std::map<std::uint16_t, QString> table;
    QStringList calls;
    bool firewall = false; // offers IPv6 pinholes
    QMap<QString, QString> holes;
    int nextHole = 0;
};

const QString kMe = QStringLiteral("192.168.1.10");

// voxlet-directory on its own thread, at port 8003 of the given address.
class RunningDirectory {
public:
    RunningDirectory(const QString& address, bool connectBack)
        : server_([&] {
            directory_server::ServerOptions o;
            o.listenAddress = address.toStdString();
            o.port = 8003;
            o.quiet = true;
            o.connectBack.enabled = connectBack;
            return o;
        }())
    {
        std::string error;
        started = server_.start(error);
        if (started)
            thread_ = std::thread([this] { server_.run(); });
    }
    ~RunningDirectory()
    {
        server_.stop();
        if (thread_.joinable())
            thread_.join();
    }
    bool started = false;

private:
    directory_server::DirectoryServer server_;
    std::thread thread_;
};

// A phone whose reachability is worked out for real, without a router.
struct ReachablePhone {
    explicit ReachablePhone(const QString& address, const QString& directory)
        : t(address, QStringLiteral("Alice"))
        , reach([] {
            ReachOptions o;
            o.mapping = false;
            return o;
        }())
    {
        t.writeProfile(QStringLiteral("Alice"), directory);
        t.phone = std::make_unique<Phone>(LoopbackPhoneOptions(t.dir.path(), address),
            PhonePorts { t.main, t.boxes, t.tray, t.capture, t.playback, t.sounds, &t.notifier, &reach });
    }
    ~ReachablePhone() { t.phone.reset(); }
    TestPhone t;
    Reachability reach;
};

} // namespace

class ReachabilityTest : public QObject {
    Q_OBJECT
private slots:
    void leaseRenewedAndRestoredAfterTheRouterForgets();
    void permanentOnlyRouterGetsOneRemovedAtTheEnd();
    void pinholeFromTheProtocolThatOffersOne();
    void anotherMachinesMappingIsReportedNotTakenOver();
    void verdictsSayWhyNot_data();
    void verdictsSayWhyNot();
    void dialBackIsConfirmedAndNeverShown();
    void olderDirectoryMeansCannotTell();
};

void ReachabilityTest::leaseRenewedAndRestoredAfterTheRouterForgets()
{
    FakeRouter natpmp(QStringLiteral("NAT-PMP"), false), upnp(QStringLiteral("UPnP"));
    PortMapping mapping({ &natpmp, &upnp }, 8002, kMe);
    const MappingState s = mapping.Establish();
    QCOMPARE(s.status, MappingState::Status::Mapped);
    QCOMPARE(s.method, QStringLiteral("UPnP"));
    QCOMPARE(s.leaseSeconds, kLeaseSeconds);
    QCOMPARE(mapping.NextRenewal(), std::chrono::seconds(kLeaseSeconds / 2));
    QCOMPARE(upnp.table.at(8002), kMe);

    upnp.table.clear(); // rebooted
    QCOMPARE(mapping.Renew().status, MappingState::Status::Mapped);
    QCOMPARE(upnp.table.at(8002), kMe);
    QCOMPARE(natpmp.calls, QStringList { QStringLiteral("discover") }); // the answering one is kept

    mapping.Remove();
    QVERIFY(upnp.table.empty());
}

void ReachabilityTest::permanentOnlyRouterGetsOneRemovedAtTheEnd()
{
    FakeRouter upnp(QStringLiteral("UPnP"));
    upnp.leases = false; // error 725
    PortMapping mapping({ &upnp }, 8002, kMe);
    const MappingState s = mapping.Establish();
    QCOMPARE(s.status, MappingState::Status::Mapped);
    QVERIFY(s.permanent);
    QCOMPARE(upnp.calls, (QStringList { "discover", "map 3600", "map 0" }));
    // Still looked at, so that a router that forgot gets it back.
    QCOMPARE(mapping.NextRenewal(), kPermanentCheck);
    mapping.Remove();
    QVERIFY(upnp.table.empty());
}

void ReachabilityTest::pinholeFromTheProtocolThatOffersOne()
{
    FakeRouter natpmp(QStringLiteral("NAT-PMP")), upnp(QStringLiteral("UPnP"));
    upnp.firewall = true;
    const QString me6 = QStringLiteral("2001:db8::10");
    PortMapping mapping({ &natpmp, &upnp }, 8002, kMe, me6);
    MappingState s = mapping.Establish();
    QCOMPARE(s.method, QStringLiteral("NAT-PMP")); // IPv4 by the first that answers
    QCOMPARE(upnp.holes.value(s.pinhole), me6); // IPv6 by the one that can
    const QString first = s.pinhole;
    QCOMPARE(mapping.Renew().pinhole, first);
    upnp.holes.clear(); // forgotten
    s = mapping.Renew();
    QVERIFY(!s.pinhole.isEmpty());
    QCOMPARE(upnp.holes.value(s.pinhole), me6);
    mapping.Remove();
    QVERIFY(upnp.holes.isEmpty());
    QVERIFY(natpmp.table.empty());
}

void ReachabilityTest::anotherMachinesMappingIsReportedNotTakenOver()
{
    FakeRouter upnp(QStringLiteral("UPnP"));
    upnp.table[8002] = QStringLiteral("192.168.1.20");
    PortMapping mapping({ &upnp }, 8002, kMe);
    MappingState s = mapping.Establish();
    QCOMPARE(s.status, MappingState::Status::Conflict);
    QCOMPARE(s.holder, QStringLiteral("192.168.1.20"));
    s = mapping.Renew();
    QCOMPARE(s.status, MappingState::Status::Conflict);
    mapping.Remove(); // not ours to remove
    QCOMPARE(upnp.table.at(8002), QStringLiteral("192.168.1.20"));
    QVERIFY(!upnp.calls.join(' ').contains(QStringLiteral("map")));
}

void ReachabilityTest::verdictsSayWhyNot_data()
{
    using A = DirectoryCheck::Answer;
    using S = MappingState::Status;
    QTest::addColumn<int>("mapping");
    QTest::addColumn<QString>("outside");
    QTest::addColumn<int>("answer");
    QTest::addColumn<QString>("observed");
    QTest::addColumn<bool>("seen");
    QTest::addColumn<bool>("reachable");
    QTest::addColumn<QString>("says");
    // The dial-back that came in is the last word, whatever the router said.
    QTest::newRow("reached") << int(S::Mapped) << "100.64.0.2" << int(A::Reached) << "203.0.113.5" << true
                             << true << "外部から着信できます (203.0.113.5:8002)";
    QTest::newRow("reached someone else")
        << int(S::Mapped) << "203.0.113.5" << int(A::Reached) << "203.0.113.5" << false << false
        << "このパソコンではない機器が応答";
    QTest::newRow("shared outside") << int(S::Mapped) << "100.64.0.2" << int(A::Refused) << "203.0.113.5"
                                    << false << false << "100.64.0.2 は共有アドレスです";
    QTest::newRow("router behind a router") << int(S::Mapped) << "192.168.0.2" << int(A::NotAsked) << ""
                                            << false << false << "192.168.0.2 はプライベートアドレスです";
    QTest::newRow("another NAT outside") << int(S::Mapped) << "198.51.100.9" << int(A::TimedOut)
                                         << "203.0.113.5" << false << false << "もう一つ NAT";
    QTest::newRow("port taken") << int(S::Conflict) << "203.0.113.5" << int(A::CannotTell) << "203.0.113.5"
                                << false << false << "ほかの機器";
    QTest::newRow("mapped, blocked here") << int(S::Mapped) << "203.0.113.5" << int(A::TimedOut)
                                          << "203.0.113.5" << false << false << "ファイアウォール";
    QTest::newRow("mapped, unconfirmed") << int(S::Mapped) << "203.0.113.5" << int(A::NotAsked) << "" << false
                                         << false << "設定でコネクションサーバーのアドレス";
    QTest::newRow("no router")
        << int(S::NoRouter) << "" << int(A::TimedOut) << "203.0.113.5" << false << false
        << "外部から着信できません: ルーターがポートの割り当て (UPnP, NAT-PMP) に応じません";
    QTest::newRow("switched off, unconfirmed")
        << int(S::Off) << "" << int(A::CannotTell) << "203.0.113.5" << false << false
        << "できないかもしれません: ポートの割り当てを止めています";
}

void ReachabilityTest::verdictsSayWhyNot()
{
    QFETCH(int, mapping);
    QFETCH(QString, outside);
    QFETCH(int, answer);
    QFETCH(QString, observed);
    QFETCH(bool, seen);
    QFETCH(bool, reachable);
    QFETCH(QString, says);
    ReachFacts f;
    f.mapping.status = MappingState::Status(mapping);
    f.mapping.externalAddress = outside;
    f.check = { DirectoryCheck::Answer(answer), observed, seen };
    f.listenAddress = kMe;
    const ReachOutcome o = Judge(f);
    QCOMPARE(o.reachable, reachable);
    QVERIFY2(o.notice.contains(says), qPrintable(o.notice));
    QVERIFY(!o.status.isEmpty() && o.status.size() < o.notice.size() + 1);
}

void ReachabilityTest::dialBackIsConfirmedAndNeverShown()
{
    const QString server = LoopbackAddress(1);
    RunningDirectory directory(server, true);
    QVERIFY(directory.started);
    ReachablePhone p(LoopbackAddress(2), server);
    p.t.startAndListen();
    QVERIFY(WaitFor([&] { return !p.t.notifier.reachability.isEmpty(); }, 15000));
    const QString expected
        = QStringLiteral("外部から着信できます (") + LoopbackAddress(2) + QStringLiteral(":8002)");
    QCOMPARE(p.t.notifier.reachability, QStringList { expected });
    QCOMPARE(p.t.tray.status, expected);
    // The directory's connection came and went without a word.
    QCOMPARE(p.t.main.text1(), QStringLiteral("待機します。"));
    QVERIFY(!p.t.phone->st.CallerAccepted);
    QVERIFY(p.t.notifier.missed.isEmpty());

    // Someone else calling at once is a caller as ever.
    const int caller = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in from {}, to {};
    from.sin_family = to.sin_family = AF_INET;
    inet_pton(AF_INET, LoopbackAddress(3).toLatin1().constData(), &from.sin_addr);
    inet_pton(AF_INET, LoopbackAddress(2).toLatin1().constData(), &to.sin_addr);
    to.sin_port = htons(8002);
    ::bind(caller, reinterpret_cast<sockaddr*>(&from), sizeof from);
    QCOMPARE(::connect(caller, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    QVERIFY(WaitFor(
        [&] { return p.t.main.text1() == LoopbackAddress(3) + QStringLiteral("が接続してきました。"); }));
    ::close(caller);
}

void ReachabilityTest::olderDirectoryMeansCannotTell()
{
    // It answers the request "DISCONNECT|END"; the phone asks its address instead.
    const QString server = LoopbackAddress(4);
    RunningDirectory directory(server, false);
    QVERIFY(directory.started);
    ReachablePhone p(LoopbackAddress(5), server);
    p.t.startAndListen();
    QVERIFY(WaitFor([&] { return !p.t.notifier.reachability.isEmpty(); }, 15000));
    QVERIFY2(
        p.t.notifier.reachability.first().startsWith(QStringLiteral("外部から着信できないかもしれません")),
        qPrintable(p.t.notifier.reachability.first()));
    QCOMPARE(p.t.main.text1(), QStringLiteral("待機します。"));
    QVERIFY(p.t.boxes.texts().isEmpty());
}

QTEST_MAIN(ReachabilityTest)
#include "reachability_test.moc"
