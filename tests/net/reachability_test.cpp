// Reachability from outside: what the phone asks of a home router (on fake
// routers, including ones that take no leases, forget their mappings or
// would overwrite another machine's), what it tells the user, and the
// directory's dial-back end to end on loopback, unseen by the user.

#include "net/reach/port_mapping.h"
#include "net/reach/reach_verdict.h"
#include "net/reach/reachability.h"
#include "support/raw_peer.h"
#include "support/running_directory.h"
#include "support/test_phone.h"

#include <QMap>
#include <QTest>

#include <mutex>
#include <optional>
#include <thread>

#include <sys/socket.h>
#include <unistd.h>

using namespace voxlet;
using namespace voxlet::reach;
using namespace voxlet::test;

namespace {

// A router that does what it is told, as some do, even over another
// machine's mapping.
struct FakeRouter : RouterProtocol {
    FakeRouter(QString n, bool a = true)
        : name_(std::move(n))
        , answers(a)
    {
    }
    QString name() const override { return name_; }
    bool Discover() override { return answers; }
    QString ExternalAddress() override { return QStringLiteral("203.0.113.5"); }
    QString LanAddress() override { return lan; }
    std::optional<QString> Holder(std::uint16_t port) override
    {
        return table.contains(port) ? std::optional<QString>(table[port]) : std::nullopt;
    }
    RouterAnswer Map(std::uint16_t port, const QString& client, int lease) override
    {
        RouterAnswer a;
        maps << lease;
        a.code = !answers      ? RouterAnswer::Code::NoRouter
            : !leases && lease ? RouterAnswer::Code::PermanentOnly
                               : RouterAnswer::Code::Ok;
        if (a.code == RouterAnswer::Code::Ok && !refuses)
            table[port] = client;
        a.leaseSeconds = lease;
        if (answers && refuses)
            a.code = RouterAnswer::Code::Failed;
        return a;
    }
    bool Unmap(std::uint16_t port, const QString&) override
    {
        std::this_thread::sleep_for(unmapTakes);
        return table.remove(port);
    }
    QString OpenPinhole(std::uint16_t, const QString& client, int) override
    {
        if (!firewall)
            return {};
        holes.insert(QString::number(++nextHole), client);
        return QString::number(nextHole);
    }
    bool RenewPinhole(const QString& id, int) override { return renewsHoles && holes.contains(id); }
    void ClosePinhole(const QString& id) override { holes.remove(id); }

    QString name_;
    bool answers;
    bool leases = true;
    bool refuses = false; // as error 501 does
    QString lan; // how it sees us, when it says
    bool firewall = false; // offers IPv6 pinholes
    bool renewsHoles = true; // false: a renewal fails, the hole stays open
    std::chrono::milliseconds unmapTakes {};
    std::shared_ptr<void> keep; // goes with the router
    QMap<std::uint16_t, QString> table;
    QList<int> maps; // the leases asked for
    QMap<QString, QString> holes;
    int nextHole = 0;
};

const QString kMe = QStringLiteral("192.168.1.10");
std::mutex logMutex;
QStringList logLines; // what voxlet.reach logged, on any thread

// A phone whose reachability is worked out for real, without a router.
struct ReachablePhone {
    explicit ReachablePhone(const QString& address, const QString& directory)
        : t(address, QStringLiteral("Alice"))
        , reach(ReachOptions { false, {} })
    {
        t.writeProfile(QStringLiteral("Alice"), directory);
        t.phone = std::make_unique<Phone>(LoopbackPhoneOptions(t.dir.path(), address),
            PhonePorts {
                t.main, t.boxes, t.tray, t.capture, t.playback, t.sounds, &t.notifier, nullptr, &reach });
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
    void workerLeftBehindLogsNothingMore();
    void verdictsSayWhyNot_data();
    void verdictsSayWhyNot();
    void dialBackIsConfirmedAndNeverShown();
    void oldStyleDirectorySeesOnlyWhatItAlwaysSaw();
    void dialBackTakenLateIsStillTheDialBack();
};

void ReachabilityTest::leaseRenewedAndRestoredAfterTheRouterForgets()
{
    FakeRouter natpmp(QStringLiteral("NAT-PMP"), false), upnp(QStringLiteral("UPnP"));
    int asked = 0; // the end begins once the first router was looked for
    PortMapping({ &natpmp, &upnp }, 8002, kMe, {}, [&] { return asked++ > 0; }).Establish();
    QVERIFY(upnp.maps.isEmpty());
    upnp.lan = QStringLiteral("192.168.1.11"); // where the router sends callers
    PortMapping mapping({ &natpmp, &upnp }, 8002, kMe);
    const MappingState s = mapping.Establish();
    QCOMPARE(s.status, MappingState::Status::Mapped);
    QCOMPARE(s.method, QStringLiteral("UPnP"));
    QCOMPARE(s.leaseSeconds, kLeaseSeconds);
    QCOMPARE(mapping.NextRenewal(), std::chrono::seconds(kLeaseSeconds / 2));
    QCOMPARE(mapping.Renew().status, MappingState::Status::Mapped); // its own, not another's
    upnp.table.clear(); // rebooted
    QCOMPARE(mapping.Renew().status, MappingState::Status::Mapped);
    QCOMPARE(upnp.table.value(8002), upnp.lan);
    QVERIFY(natpmp.maps.isEmpty()); // the one that answered is kept
    mapping.Remove();
    QVERIFY(upnp.table.isEmpty());
}

void ReachabilityTest::permanentOnlyRouterGetsOneRemovedAtTheEnd()
{
    FakeRouter upnp(QStringLiteral("UPnP"));
    upnp.leases = false; // error 725
    PortMapping mapping({ &upnp }, 8002, kMe);
    const MappingState s = mapping.Establish();
    QCOMPARE(s.status, MappingState::Status::Mapped);
    QVERIFY(s.permanent);
    QCOMPARE(upnp.maps, (QList<int> { 3600, 0 }));
    // Still looked at, so that a router that forgot gets it back.
    QCOMPARE(mapping.NextRenewal(), kPermanentCheck);
    upnp.refuses = true; // a renewal refused: still there, still ours
    QCOMPARE(mapping.Renew().status, MappingState::Status::Failed);
    mapping.Remove();
    QVERIFY(upnp.table.isEmpty());
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
    upnp.renewsHoles = false; // not renewed, yet still open: closed before another
    mapping.Renew();
    QCOMPARE(upnp.holes.size(), 1);
    natpmp.answers = false; // gone: the routers looked for again, the hole closed first
    QCOMPARE(mapping.Renew().method, QStringLiteral("UPnP"));
    QCOMPARE(upnp.holes.size(), 1);
    upnp.holes.clear(); // forgotten
    s = mapping.Renew();
    QVERIFY(!s.pinhole.isEmpty());
    QCOMPARE(upnp.holes.value(s.pinhole), me6);
    mapping.SetIPv6Client(QStringLiteral("2001:db8::20")); // callers are given this one now
    const ReachOutcome o = Judge({ mapping.Renew(), {}, kMe, 8002, QStringLiteral("2001:db8::20") });
    QCOMPARE(upnp.holes.values(), QStringList { o.ipv6Address });
    QVERIFY(o.notice.contains(QStringLiteral("[2001:db8::20]:8002 への穴"))
        && o.status.endsWith(QStringLiteral("IPv6 [2001:db8::20]:8002")));
    mapping.Remove();
    QVERIFY(upnp.holes.isEmpty() && natpmp.table.isEmpty());
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
    QCOMPARE(upnp.table.value(8002), QStringLiteral("192.168.1.20"));
    QVERIFY(upnp.maps.isEmpty());
}

void ReachabilityTest::workerLeftBehindLogsNothingMore()
{
    auto keep = std::make_shared<int>();
    const std::weak_ptr<int> router = keep;
    std::optional<Reachability> reach(
        std::in_place, ReachOptions { true, [&] {
                                         auto r = std::make_unique<FakeRouter>(QStringLiteral("UPnP"));
                                         r->unmapTakes = kRemoveBudget + std::chrono::milliseconds(500);
                                         r->keep = std::move(keep);
                                         std::vector<std::unique_ptr<RouterProtocol>> routers;
                                         routers.push_back(std::move(r));
                                         return routers;
                                     } });
    bool told = false;
    reach->onOutcome = [&](const ReachOutcome&, bool) { told = true; };
    reach->Start({ kMe, 8002, {}, 8003 });
    QVERIFY(WaitFor([&] { return told; }));
    const auto previous
        = qInstallMessageHandler([](QtMsgType, const QMessageLogContext& c, const QString& text) {
              const std::lock_guard lock(logMutex);
              if (qstrcmp(c.category, "voxlet.reach") == 0)
                  logLines << text;
          });
    reach.reset(); // the removal outlasts the end's budget
    QVERIFY(WaitFor([&] { return router.expired(); }));
    qInstallMessageHandler(previous);
    const std::lock_guard lock(logMutex);
    QCOMPARE(logLines, QStringList());
}

void ReachabilityTest::verdictsSayWhyNot_data()
{
    using A = DirectoryCheck::Answer;
    using S = MappingState::Status;
    QTest::addColumn<int>("mapping");
    QTest::addColumn<QString>("outside"); // what the router says
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("seen");
    QTest::addColumn<QString>("says");
    // The dial-back that came in is the last word, whatever the router said.
    QTest::newRow("reached") << int(S::Mapped) << "100.64.0.2" << int(A::Reached) << true
                             << "外部から着信できます (203.0.113.5:8002)";
    QTest::newRow("reached another") << int(S::Mapped) << "203.0.113.5" << int(A::Reached) << false
                                     << "このパソコンではない機器が応答";
    QTest::newRow("shared") << int(S::Mapped) << "100.64.0.2" << int(A::Refused) << false
                            << "100.64.0.2 は共有アドレス";
    QTest::newRow("router behind a router") << int(S::Mapped) << "192.168.0.2" << int(A::NotAsked) << false
                                            << "192.168.0.2 はプライベートアドレス";
    QTest::newRow("another NAT") << int(S::Mapped) << "198.51.100.9" << int(A::TimedOut) << false
                                 << "もう一つ NAT";
    QTest::newRow("port taken") << int(S::Conflict) << "203.0.113.5" << int(A::CannotTell) << false
                                << "ほかの機器";
    QTest::newRow("blocked here") << int(S::Mapped) << "203.0.113.5" << int(A::TimedOut) << false
                                  << "ファイアウォール";
    QTest::newRow("no router") << int(S::NoRouter) << "" << int(A::TimedOut) << false
                               << "外部から着信できません: ルーターがポートの割り当て";
    QTest::newRow("off, unconfirmed")
        << int(S::Off) << "" << int(A::CannotTell) << false << "できないかもしれません";
}

void ReachabilityTest::verdictsSayWhyNot()
{
    QFETCH(int, mapping);
    QFETCH(QString, outside);
    QFETCH(int, answer);
    QFETCH(bool, seen);
    QFETCH(QString, says);
    ReachFacts f;
    f.mapping.status = MappingState::Status(mapping);
    f.mapping.externalAddress = outside;
    f.check = { DirectoryCheck::Answer(answer), QStringLiteral("203.0.113.5"), seen };
    f.listenAddress = kMe;
    const ReachOutcome o = Judge(f);
    QCOMPARE(o.reachable, answer == int(DirectoryCheck::Answer::Reached) && seen);
    QVERIFY2(o.notice.contains(says), qPrintable(o.notice));
}

namespace {
// A caller that says its request at once, as phones do, from `from`, and
// hangs up once it rings (the ring loop runs nested: steps go in a Script).
bool Rings(ReachablePhone& p, const QString& from, const QString& name)
{
    const int fd = RawConnect(from, p.t.address);
    SendAll(fd, Utf16(QStringLiteral("VOICEMSG:OK|") + name + QStringLiteral("|END")));
    QByteArray greeting;
    Script script;
    script.when([&] { return p.t.main.text1() == name + QStringLiteral("さんからの電話です。"); },
        [&] {
            ReadAvailable(fd, greeting);
            ::close(fd);
        });
    return WaitFor([&] { return script.done() && !p.t.phone->st.CallerAccepted; })
        && greeting == Utf16(QStringLiteral("VOICEMSG:OK"));
}

// The phone logs on to a directory of raw sockets whose hello reply is
// `hello`; what the phone said goes to `said`.
bool RawLogOn(ReachablePhone& p, int listener, const QString& hello, QByteArray& said)
{
    p.t.phone->Form_Load();
    p.t.phone->server.ConnectAndRegister();
    const int exchange = RawAccept(listener);
    QByteArray request;
    bool ok = Receive(exchange, QStringLiteral("SERVEROK|END"), &said);
    SendAll(exchange, Utf16(hello));
    ok = ok && Receive(exchange, QStringLiteral("||END"), &request);
    SendAll(exchange, Utf16(QStringLiteral("ClientData|ZERO|") + p.t.address + QStringLiteral("|END")));
    ok = ok && WaitFor([&] { return p.t.phone->st.ServerSocket == 0; });
    ::close(exchange);
    said += request;
    return ok;
}

// The phone logs on to its directory, as the search window's connect does.
void LogOn(ReachablePhone& p)
{
    p.t.phone->Form_Load();
    p.t.phone->server.ConnectAndRegister();
    WaitFor([&] { return p.t.phone->st.ServerSocket == 0; });
}
} // namespace

void ReachabilityTest::dialBackIsConfirmedAndNeverShown()
{
    const QString server = LoopbackAddress(1);
    RunningDirectory directory(server);
    QVERIFY(directory.started);
    ReachablePhone p(LoopbackAddress(2), server);
    // Its hello reply says it dials back: the phone asks at "SERVER", also in a later run.
    LogOn(p);
    p.t.startAndListen();
    QVERIFY(WaitFor([&] { return !p.t.notifier.reachability.isEmpty(); }, 15000));
    // It got through, but from beside the phone: that says nothing of outside.
    QCOMPARE(p.t.tray.status, QStringLiteral("外部から着信できないかもしれません"));
    QVERIFY(p.t.notifier.reachability.value(0).contains(
        QStringLiteral("同じネットワークの中にあり (このパソコンは ") + LoopbackAddress(2)));
    // The directory's connection came and went without a word.
    QCOMPARE(p.t.main.text1(), QStringLiteral("待機します。"));
    QVERIFY(!p.t.phone->st.CallerAccepted);
    QVERIFY(p.t.notifier.missed.isEmpty());
    // A caller from the directory's own address meanwhile rings as ever.
    QVERIFY(Rings(p, server, QStringLiteral("Carol")));
}

void ReachabilityTest::oldStyleDirectorySeesOnlyWhatItAlwaysSaw()
{
    // A directory of the old design, on the callers' address: only the
    // log-on reaches it, byte for byte, and every caller from there rings.
    const QString server = LoopbackAddress(4);
    const int listener = RawListen(server, 8003);
    QVERIFY(listener >= 0);
    ReachablePhone p(LoopbackAddress(5), server);
    QByteArray said;
    QVERIFY(RawLogOn(p, listener, QStringLiteral("SERVEROK|END"), said));
    QCOMPARE(said,
        Utf16(QStringLiteral("SERVEROK|END"))
            + Utf16(QStringLiteral("ADDITIONDATA|Alice|M|30|hello|pw||END")));

    p.t.phone->mnu_SERVER_Click();
    for (int call = 0; call < 3; ++call)
        QVERIFY2(Rings(p, server, QStringLiteral("Dave")), qPrintable(QString::number(call)));
    QVERIFY(WaitFor([&] { return !p.t.notifier.reachability.isEmpty(); }, 15000));
    QVERIFY2(
        p.t.notifier.reachability.first().startsWith(QStringLiteral("外部から着信できないかもしれません")),
        qPrintable(p.t.notifier.reachability.first()));
    QVERIFY(!WaitFor([&] { return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) >= 0; }, 500));
    ::close(listener);
    QVERIFY(p.t.boxes.texts().isEmpty());
}

void ReachabilityTest::dialBackTakenLateIsStillTheDialBack()
{
    // A directory that dials back and sees a global address; the phone's
    // main thread is busy (a blocking lookup) as the dial-back comes in.
    const QString server = LoopbackAddress(6);
    const int listener = RawListen(server, 8003);
    ReachablePhone p(LoopbackAddress(7), server);
    QByteArray said, request;
    QVERIFY(listener >= 0 && RawLogOn(p, listener, QStringLiteral("SERVEROK|dialback|END"), said));
    p.t.phone->mnu_SERVER_Click();
    const int exchange = RawAccept(listener);
    QVERIFY(Receive(exchange, QStringLiteral("SERVEROK|END")));
    SendAll(exchange, Utf16(QStringLiteral("SERVEROK|dialback|END")));
    QVERIFY(Receive(exchange, QStringLiteral("|END"), &request));
    const int probe = RawConnect(server, p.t.address);
    SendAll(probe, request); // the dial-back says what was asked
    SendAll(exchange, Utf16(QStringLiteral("CONNECTBACK|OK|203.0.113.5|END")));
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    QVERIFY(WaitFor([&] { return !p.t.notifier.reachability.isEmpty(); }, 15000));
    QCOMPARE(
        p.t.notifier.reachability, QStringList { QStringLiteral("外部から着信できます (203.0.113.5:8002)") });
    for (int fd : { probe, exchange, listener })
        ::close(fd);
}

QTEST_MAIN(ReachabilityTest)
#include "reachability_test.moc"
