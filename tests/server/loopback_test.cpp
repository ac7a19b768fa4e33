// The real server on loopback, facing clients that misbehave, while a
// well-behaved client keeps being served; behind a proxy; and several
// voxlet-directory processes sharing a private redis-server.

#include "server/directory_server.h"
#include "support/raw_peer.h"
#include "support/running_directory.h"
#include "support/test_support.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QString>
#include <QTemporaryDir>
#include <QtTest>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <latch>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <semaphore>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace voxlet::directory_server;
using voxlet::test::FromUtf16;
using voxlet::test::LoopbackAddress;
using voxlet::test::Utf16;
using namespace std::chrono_literals;

namespace {

// The server on a port of its choosing on 127.0.0.1, quiet unless it has a sink.
class RunningServer : public voxlet::test::RunningDirectory {
public:
    explicit RunningServer(ServerOptions options, DirectoryServer::LogSink sink = {})
        : RunningDirectory(
            QStringLiteral("127.0.0.1"),
            [&](ServerOptions& o) {
                options.listenAddress = o.listenAddress;
                options.port = 0;
                options.quiet = !sink;
                o = options;
            },
            sink)
    {
    }
};

// A blocking client with generous time-outs, so a lost reply fails the test
// instead of hanging it.
class Client : public voxlet::test::RawSocket {
public:
    Client(const char* source, std::uint16_t port)
    {
        prepare();
        const timeval timeout { 20, 0 };
        ::setsockopt(fd(), SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        m_connected = connectTo(QString::fromLatin1(source), QStringLiteral("127.0.0.1"), port);
    }
    bool connected() const { return m_connected; }
    // False when the server has already gone (refused or closed).
    bool send(const QByteArray& bytes) { return sendAll(bytes); }
    void shutdownWrite() { ::shutdown(fd(), SHUT_WR); }
    // Until `count` bytes have come, or the server closed, or time-out.
    QByteArray read(qsizetype count) { return readExactly(int(count), 20000); }
    // Everything until the server closes (or time-out: then closedByServer() stays false).
    QByteArray readToClose() { return read(1 << 20); }
    bool closedByServer() const { return closedByPeer(); }

private:
    bool m_connected = false;
};

const QByteArray kHello = Utf16(QStringLiteral("SERVEROK|END"));
// A directory that dials back says so in its reply (older clients look for SERVEROK alone).
const QByteArray kHelloReply = Utf16(QStringLiteral("SERVEROK|dialback|END"));
const QString kRefused = QStringLiteral("DISCONNECT|END");

// A whole exchange as the phone makes it; returns the final reply.
QString Exchange(std::uint16_t port, const char* source, const QString& request)
{
    Client client(source, port);
    if (!client.connected())
        return QStringLiteral("no connection");
    if (!client.send(kHello))
        return QStringLiteral("refused");
    const QByteArray hello = client.read(kHelloReply.size());
    if (hello.isEmpty() && client.closedByServer())
        return QStringLiteral("refused");
    if (hello != kHelloReply)
        return QStringLiteral("bad hello reply: ") + FromUtf16(hello);
    if (!client.send(Utf16(request)))
        return QStringLiteral("send failed");
    const QString reply = FromUtf16(client.readToClose());
    if (!client.closedByServer())
        return QStringLiteral("server did not close after: ") + reply;
    return reply;
}

QString Register(std::uint16_t port, const char* source, const QString& name)
{
    return Exchange(port, source, QStringLiteral("MYDATA|") + name + QStringLiteral("|M|30|hi|||END"));
}

// A whole exchange behind a proxy: `header` goes first, in the same send as the hello.
QString ProxiedExchange(
    std::uint16_t port, const char* proxy, const QByteArray& header, const QString& request)
{
    Client client(proxy, port);
    if (!client.connected() || !client.send(header + kHello + Utf16(request)))
        return QStringLiteral("refused");
    const QByteArray reply = client.readToClose();
    if (!client.closedByServer())
        return QStringLiteral("server did not close");
    if (reply.isEmpty())
        return QStringLiteral("refused");
    return FromUtf16(reply.startsWith(kHelloReply) ? reply.mid(kHelloReply.size()) : reply);
}

QString Executable()
{
    return qEnvironmentVariable("VOXLET_BINARY_DIR") + "/server/voxlet-directory";
}

// A private redis-server on a Unix socket in a temporary folder: no TCP port,
// nothing saved.
class RedisServer {
public:
    explicit RedisServer(const QString& folder, QStringList extra = {})
        : m_folder(folder)
        , m_extra(extra)
    {
        start();
    }
    // In a temporary folder of its own.
    RedisServer()
        : m_folder(m_own.path())
    {
        start();
    }
    ~RedisServer() { kill(); }

    QString socketPath() const { return m_folder + "/redis.sock"; }

    bool start()
    {
        QFile::remove(socketPath());
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start("bash",
            QStringList { voxlet::test::SourceDir() + "/scripts/services.sh", "redis-server", m_folder }
                + m_extra);
        if (!m_process.waitForStarted())
            return false;
        for (int wait = 0; wait < 500; ++wait) { // until it accepts on its socket
            const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un address {};
            address.sun_family = AF_UNIX;
            const QByteArray path = socketPath().toLocal8Bit();
            std::memcpy(address.sun_path, path.constData(), std::min<std::size_t>(path.size(), 100));
            const bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
            ::close(fd);
            if (up)
                return true;
            if (m_process.state() != QProcess::Running)
                return false;
            QThread::msleep(10);
        }
        return false;
    }

    // As a crash would: no goodbye to the clients.
    void kill()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.kill();
        m_process.waitForFinished(10000);
    }

    bool running() const { return m_process.state() == QProcess::Running; }
    // Stopped, it keeps its connections but answers nothing: a slow Redis.
    void pause(bool paused) { ::kill(static_cast<pid_t>(m_process.processId()), paused ? SIGSTOP : SIGCONT); }

private:
    QTemporaryDir m_own;
    QString m_folder;
    QStringList m_extra;
    QProcess m_process;
};

// voxlet-directory as its own process on a free loopback port. Its log goes
// to a file: a pipe nobody reads while the test waits on a socket would
// fill up and stop the server in the middle of a line.
class DirectoryProcess {
public:
    // logFile: where --log-file among the arguments sends the log.
    explicit DirectoryProcess(QStringList arguments, QString logFile = {})
        : m_logFile(logFile)
    {
        m_process.setStandardErrorFile(m_folder.filePath("log"));
        m_process.start(Executable(), QStringList { "--listen", "127.0.0.1" } + arguments);
        if (!m_process.waitForStarted())
            return;
        const QRegularExpression listening("listening on 127\\.0\\.0\\.1:(\\d+)");
        for (int wait = 0; wait < 200 && m_port == 0 && m_process.state() == QProcess::Running; ++wait) {
            if (const auto match = listening.match(log()); match.hasMatch())
                m_port = static_cast<std::uint16_t>(match.captured(1).toUInt());
            else
                m_process.waitForFinished(50);
        }
    }
    ~DirectoryProcess()
    {
        m_process.terminate();
        m_process.waitForFinished(20000);
    }

    std::uint16_t port() const { return m_port; }
    bool running() const { return m_process.state() == QProcess::Running; }
    QString log()
    {
        QFile file(m_logFile.isEmpty() ? m_folder.filePath("log") : m_logFile);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
    // Stops it as SIGTERM would; true if it exited cleanly.
    bool stop()
    {
        m_process.terminate();
        return exitedCleanly();
    }
    bool exitedCleanly()
    {
        return m_process.waitForFinished(20000) && m_process.exitStatus() == QProcess::NormalExit
            && m_process.exitCode() == 0;
    }
    void signal(int number) { ::kill(static_cast<pid_t>(m_process.processId()), number); }

private:
    QString m_logFile;
    QTemporaryDir m_folder;
    QProcess m_process;
    std::uint16_t m_port = 0;
};

QStringList SharedStore(const RedisServer& redis, QStringList more = {})
{
    return QStringList { "--port", "0", "--store", "unix:" + redis.socketPath() } + more;
}

ServerOptions InRedis(const RedisServer& redis, ServerOptions options = {})
{
    options.redis = RedisLocation { {}, 0, redis.socketPath().toStdString(), {}, {} };
    return options;
}

// Retries an exchange until it is answered with a list: a process that
// lost Redis comes back after its back-off.
QString OnceListed(std::uint16_t port, const char* source, const QString& name)
{
    QString reply;
    for (int attempt = 0; attempt < 200 && !reply.startsWith("ClientData|"); ++attempt) {
        if (attempt)
            QThread::msleep(50);
        reply = Register(port, source, name);
    }
    return reply;
}

// What an administrator types into redis-cli, one command a line; a
// quoted argument may hold bytes such as "\x00".
QByteArray RedisCli(const RedisServer& redis, const QByteArray& commands, const QString& password = {})
{
    QProcess cli;
    cli.start("redis-cli",
        QStringList { "-s", redis.socketPath() }
            + (password.isEmpty() ? QStringList() : QStringList { "--no-auth-warning", "-a", password }));
    cli.write(commands + "\n");
    cli.closeWriteChannel();
    cli.waitForFinished(10000);
    return cli.readAllStandardOutput().trimmed();
}

} // namespace

class DirectoryServerLoopbackTest : public QObject {
    Q_OBJECT

private slots:
    void servesRegistrationsAndAddressRequests();
    void garbageIsRefusedAndOthersServed();
    void silentClientsAreClosed();
    void oversizeMessageIsRefused();
    void thousandsOfConnectionsStayWithinTheLimits();
    void fullServerMakesRoomForNewClients();
    void executableKeepsItsConnectionsWithinTheFileLimit();
    void proxyHeadersOnlyFromTrustedProxies();
    void connectBackDialsOnlyTheAskerAFewTimes();
    void processesShareOneDirectoryInRedis();
    void sharedRegistrationsExpire();
    void redisStoreAnswersAsTheMemoryStore();
    void racingPassesThroughTwoProcessesLeaveOneOwner();
    void redisPasswordIsSent();
    void redisOutageIsSurvivedAndServiceResumes();
    void executableAnswersEveryoneWhileItsLogIsStuck();
    void proxiedClientsMustBeNamedAndAreCountedThemselves();
    void executableReopensItsLogAndFinishesExchangesWhenStopped();
    void executableReportsHealthAndCounters();
    void passGuessingAndProbesAreLimitedInBothStores();
    void aFewNetworksCannotFillTheList();
    void administratorRemovesOneEntry();
    void redisStoreSurvivesMissingKeys();
    void redisExpiresABacklogInBatches();
    void redisHoldsTheDirectorysSettings();
    void lateRedisRequestsAreNotCarriedOut();
    void redisPasswordChangeAndAclUser();
};

void DirectoryServerLoopbackTest::servesRegistrationsAndAddressRequests()
{
    RunningServer server({});
    QVERIFY2(server.started, qPrintable(server.error));
    QCOMPARE(Register(server.port(), "127.0.0.2", QStringLiteral("太郎")),
        QStringLiteral("ClientData|ZERO|127.0.0.2|END"));
    QCOMPARE(Register(server.port(), "127.0.0.3", QStringLiteral("Hanako")),
        QStringLiteral("ClientData|1|太郎|M|30|hi|127.0.0.2|1|127.0.0.3|END"));
    QCOMPARE(Exchange(server.port(), "127.0.0.3", QStringLiteral("GETGLOVALIP|END")),
        QStringLiteral("YOURGLOVALIP|127.0.0.3|END"));

    // A client that half-closes after its request still gets the reply.
    Client halfClosed("127.0.0.4", server.port());
    QVERIFY(halfClosed.send(kHello + Utf16(QStringLiteral("GETGLOVALIP|END"))));
    halfClosed.shutdownWrite();
    QCOMPARE(FromUtf16(halfClosed.readToClose()),
        QStringLiteral("SERVEROK|dialback|ENDYOURGLOVALIP|127.0.0.4|END"));
    QVERIFY(halfClosed.closedByServer());
}

void DirectoryServerLoopbackTest::garbageIsRefusedAndOthersServed()
{
    RunningServer server({});
    QVERIFY2(server.started, qPrintable(server.error));
    auto* random = QRandomGenerator::global();
    for (int round = 0; round < 50; ++round) {
        QByteArray junk(1 + random->bounded(3000), Qt::Uninitialized);
        for (char& c : junk)
            c = static_cast<char>(random->bounded(256));
        if (round % 2)
            junk.prepend(kHello); // garbage after a proper hello
        Client bad("127.0.0.5", server.port());
        QVERIFY(bad.connected());
        bad.send(junk);
        bad.readToClose();
        QVERIFY2(bad.closedByServer(), "a garbage sender was left open");
    }
    QCOMPARE(Exchange(server.port(), "127.0.0.2", QStringLiteral("GETGLOVALIP|END")),
        QStringLiteral("YOURGLOVALIP|127.0.0.2|END"));
}

void DirectoryServerLoopbackTest::silentClientsAreClosed()
{
    ServerOptions options;
    options.idleTimeout = 1s;
    RunningServer server(options);
    QVERIFY2(server.started, qPrintable(server.error));

    Client silent("127.0.0.6", server.port());
    Client halfHello("127.0.0.6", server.port());
    QVERIFY(halfHello.send(kHello.left(7)));
    Client noRequest("127.0.0.6", server.port());
    QVERIFY(noRequest.send(kHello));
    QCOMPARE(noRequest.read(kHelloReply.size()), kHelloReply);

    for (Client* c : { &silent, &halfHello, &noRequest }) {
        QCOMPARE(c->readToClose(), QByteArray());
        QVERIFY(c->closedByServer());
    }
    QCOMPARE(Exchange(server.port(), "127.0.0.2", QStringLiteral("GETGLOVALIP|END")),
        QStringLiteral("YOURGLOVALIP|127.0.0.2|END"));
}

void DirectoryServerLoopbackTest::oversizeMessageIsRefused()
{
    RunningServer server({});
    QVERIFY2(server.started, qPrintable(server.error));
    Client big("127.0.0.7", server.port());
    QVERIFY(big.send(kHello));
    QCOMPARE(big.read(kHelloReply.size()), kHelloReply);
    big.send(Utf16(QStringLiteral("MYDATA|") + QString(5000, 'A')));
    QCOMPARE(FromUtf16(big.readToClose()), QStringLiteral("DISCONNECT|END"));
    QVERIFY(big.closedByServer());
    // Nothing of it was registered.
    QCOMPARE(Register(server.port(), "127.0.0.2", QStringLiteral("Next")),
        QStringLiteral("ClientData|ZERO|127.0.0.2|END"));
}

void DirectoryServerLoopbackTest::thousandsOfConnectionsStayWithinTheLimits()
{
    ServerOptions options;
    options.maxConnectionsPerAddress = 16;
    options.idleTimeout = 60s; // connections are held open on purpose here
    RunningServer server(options);
    QVERIFY2(server.started, qPrintable(server.error));

    constexpr int kBatch = 40;
    constexpr int kBatches = 50; // 2000 connections in all
    int servedTotal = 0;
    for (int batch = 0; batch < kBatches; ++batch) {
        std::vector<std::unique_ptr<Client>> flood;
        for (int i = 0; i < kBatch; ++i) {
            flood.push_back(std::make_unique<Client>("127.0.0.8", server.port()));
            flood.back()->send(kHello);
        }
        int served = 0;
        for (auto& c : flood) {
            const QByteArray reply = c->read(kHelloReply.size());
            if (reply == kHelloReply)
                ++served;
            else
                QVERIFY2(reply.isEmpty() && c->closedByServer(), qPrintable(FromUtf16(reply)));
        }
        // Earlier batches may still be closing, so fewer can get through, never more.
        QVERIFY2(served <= 16, qPrintable(QString::number(served)));
        if (batch == 0)
            QCOMPARE(served, 16);
        servedTotal += served;

        // The well-behaved client from elsewhere, while the flood is still open.
        QCOMPARE(Exchange(server.port(), "127.0.0.2", QStringLiteral("GETGLOVALIP|END")),
            QStringLiteral("YOURGLOVALIP|127.0.0.2|END"));
    }
    QVERIFY(servedTotal >= 16);
}

void DirectoryServerLoopbackTest::fullServerMakesRoomForNewClients()
{
    ServerOptions options;
    options.maxConnections = 20;
    options.maxConnectionsPerAddress = 16;
    options.idleTimeout = 60s;
    RunningServer server(options);
    QVERIFY2(server.started, qPrintable(server.error));

    // Two addresses hold 32 idle connections: beyond 20, each newcomer
    // closes the oldest, so the newest 20 stay open and can still be served.
    std::vector<std::unique_ptr<Client>> held;
    for (const char* source : { "127.0.0.9", "127.0.0.10" }) {
        for (int i = 0; i < 16; ++i) {
            held.push_back(std::make_unique<Client>(source, server.port()));
            held.back()->send(kHello);
            held.back()->read(kHelloReply.size());
        }
    }
    for (std::size_t i = 0; i < held.size(); ++i) {
        const bool open = held[i]->send(Utf16(QStringLiteral("GETGLOVALIP|END")));
        const QString reply = FromUtf16(held[i]->readToClose());
        QVERIFY2(held[i]->closedByServer(), qPrintable(QString::number(i)));
        QVERIFY(open || i < 12);
        QCOMPARE(reply,
            i < 12 ? QString()
                   : QStringLiteral("YOURGLOVALIP|%1|END").arg(i < 16 ? "127.0.0.9" : "127.0.0.10"));
    }
    // The real client while others hold every slot again.
    held.clear();
    for (int i = 0; i < 20; ++i) {
        held.push_back(std::make_unique<Client>(i % 2 ? "127.0.0.9" : "127.0.0.10", server.port()));
        held.back()->send(kHello);
        QCOMPARE(held.back()->read(kHelloReply.size()), kHelloReply);
    }
    QCOMPARE(Exchange(server.port(), "127.0.0.2", QStringLiteral("GETGLOVALIP|END")),
        QStringLiteral("YOURGLOVALIP|127.0.0.2|END"));
    QCOMPARE(held.front()->readToClose(), QByteArray()); // the oldest made room
    QVERIFY(held.front()->closedByServer());
}

void DirectoryServerLoopbackTest::executableKeepsItsConnectionsWithinTheFileLimit()
{
    const QString program = Executable();
    if (!QFileInfo(program).isExecutable())
        QSKIP("voxlet-directory not built");

    QProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(
        "bash", { "-c", "ulimit -n 40 && exec \"$0\" --listen 127.0.0.1 --port 0 --idle 60", program });
    QVERIFY(process.waitForStarted());
    QString log;
    std::uint16_t port = 0;
    int cap = 0;
    const QRegularExpression listening("listening on 127\\.0\\.0\\.1:(\\d+), at most (\\d+) connections");
    for (int wait = 0; wait < 100 && port == 0 && process.state() == QProcess::Running; ++wait) {
        process.waitForReadyRead(200);
        log += QString::fromUtf8(process.readAllStandardError());
        if (const auto match = listening.match(log); match.hasMatch()) {
            port = static_cast<std::uint16_t>(match.captured(1).toUInt());
            cap = match.captured(2).toInt();
        }
    }
    QVERIFY2(port != 0 && cap > 10 && cap < 35, qPrintable(log));
    auto realClientServed = [&] {
        QString reply;
        for (int attempt = 0; attempt < 100 && reply != "YOURGLOVALIP|127.0.0.2|END"; ++attempt) {
            if (attempt)
                QThread::msleep(20);
            reply = Exchange(port, "127.0.0.2", QStringLiteral("GETGLOVALIP|END"));
        }
        return reply == "YOURGLOVALIP|127.0.0.2|END";
    };
    auto flood = [&](int count) {
        std::vector<std::unique_ptr<Client>> held;
        for (int i = 0; i < count; ++i) {
            held.push_back(
                std::make_unique<Client>(qPrintable(QStringLiteral("127.0.1.%1").arg(1 + i % 10)), port));
            held.back()->send(kHello);
        }
        for (auto& c : held)
            c->read(kHelloReply.size());
        return realClientServed();
    };

    // More clients than descriptors: the cap, below the limit, makes room first.
    QVERIFY(flood(cap + 20));
    process.waitForReadyRead(300);
    log += QString::fromUtf8(process.readAllStandardError());
    QVERIFY2(
        log.contains("closed to make room") && !log.contains("out of file descriptors"), qPrintable(log));

    // The limit lowered under the running server: accept() fails, and idle ones make room.
    const rlimit tiny { 12, 12 };
    QCOMPARE(::prlimit(static_cast<pid_t>(process.processId()), RLIMIT_NOFILE, &tiny, nullptr), 0);
    QVERIFY(flood(20));

    process.terminate();
    QVERIFY(process.waitForFinished(20000));
    log += QString::fromUtf8(process.readAllStandardError());
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    QVERIFY2(log.contains("out of file descriptors"), qPrintable(log));
}

void DirectoryServerLoopbackTest::proxyHeadersOnlyFromTrustedProxies()
{
    ServerOptions options;
    Ipv4Network trusted;
    QVERIFY(Ipv4Network::Parse("127.0.0.16/30", trusted)); // 127.0.0.16 to .19
    options.trustedProxies = { trusted };
    options.maxConnectionsPerAddress = 1; // not applied to a proxy
    RunningServer server(options);
    QVERIFY2(server.started, qPrintable(server.error));

    const QByteArray v1("PROXY TCP4 198.51.100.7 127.0.0.1 40000 8003\r\n");
    QCOMPARE(ProxiedExchange(server.port(), "127.0.0.17", v1, QStringLiteral("MYDATA|Via1|M|30|hi|||END")),
        QStringLiteral("ClientData|ZERO|198.51.100.7|END"));

    QByteArray v2("\r\n\r\n\0\r\nQUIT\n\x21\x11\x00\x0f", 16); // PROXY, TCP over IPv4, 15 bytes follow
    v2 += QByteArray("\xcb\x00\x71\x09\x7f\x00\x00\x01\x9c\x40\x1f\x43", 12); // 203.0.113.9 -> 127.0.0.1
    v2 += QByteArray("\x04\x00\x00", 3); // an extension the server skips
    QCOMPARE(ProxiedExchange(server.port(), "127.0.0.18", v2, QStringLiteral("MYDATA|Via2|M|30|hi|||END")),
        QStringLiteral("ClientData|1|Via1|M|30|hi|198.51.100.7|1|203.0.113.9|END"));

    // From anyone else the header is refused: closed without a reply, nothing registered.
    QCOMPARE(ProxiedExchange(server.port(), "127.0.0.20", v1, QStringLiteral("MYDATA|Spoof|M|30|hi|||END")),
        QStringLiteral("refused"));
    QCOMPARE(ProxiedExchange(server.port(), "127.0.0.20", v2, QStringLiteral("GETGLOVALIP|END")),
        QStringLiteral("refused"));
    // A proxy's health check (LOCAL) and a direct client on the proxy's machine speak for themselves.
    QByteArray local("\r\n\r\n\0\r\nQUIT\n\x20\x00\x00\x00", 16);
    QCOMPARE(ProxiedExchange(server.port(), "127.0.0.19", local, QStringLiteral("GETGLOVALIP|END")),
        QStringLiteral("YOURGLOVALIP|127.0.0.19|END"));
    QCOMPARE(Register(server.port(), "127.0.0.16", QStringLiteral("Direct")),
        QStringLiteral("ClientData|1|Via1|M|30|hi|198.51.100.7|2|Via2|M|30|hi|203.0.113.9|2|127.0.0.16|END"));
    // Dialled back, a proxied client would see the probe come from this
    // machine, not from the address it asked: it is told "not here".
    QCOMPARE(ProxiedExchange(server.port(), "127.0.0.17", v1, QStringLiteral("CONNECTBACK|END")),
        QStringLiteral("CONNECTBACK|NA|198.51.100.7|END"));
    // A malformed header from a trusted proxy is not passed on as client bytes.
    QCOMPARE(ProxiedExchange(server.port(), "127.0.0.17", "PROXY TCP4 1.2.3 1.2.3.4 1 2\r\n",
                 QStringLiteral("GETGLOVALIP|END")),
        QStringLiteral("refused"));
}

namespace {
// A phone's listener on the connect-back port (0: any; then set to it); a
// negative backlog only binds, so that nobody else listens there.
int ListenOn(const char* address, std::uint16_t& port, int backlog)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in at = voxlet::test::SocketAddress(QString::fromLatin1(address), port);
    socklen_t length = sizeof at;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0
        || (backlog >= 0 && ::listen(fd, backlog) != 0)) {
        ::close(fd);
        return -1;
    }
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&at), &length);
    port = ntohs(at.sin_port);
    return fd;
}

// The connect-back port on three addresses of this process: a phone that
// answers, one whose full queue drops SYNs (as a router drops what no
// mapping lets in), and one where nothing listens.
struct Phones {
    Phones(const QByteArray& answering, const QByteArray& dropping, const QByteArray& none)
    {
        for (int attempt = 0; attempt < 20 && queued < 0; ++attempt) {
            for (int fd : { this->answering, full, this->none })
                ::close(fd);
            port = 0;
            this->answering = ListenOn(answering, port, 4);
            full = ListenOn(dropping, port, 0);
            this->none = ListenOn(none, port, -1);
            const sockaddr_in target = voxlet::test::SocketAddress(QString::fromLatin1(dropping), port);
            queued = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (full < 0 || this->none < 0
                || ::connect(queued, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0)
                ::close(std::exchange(queued, -1));
        }
    }
    ~Phones()
    {
        for (int fd : { answering, full, none, queued })
            ::close(fd);
    }
    std::uint16_t port = 0;
    int answering = -1, full = -1, none = -1, queued = -1;
};

// Where the probe waiting on the listener comes from and what it says
// before it closes ("" when none waits).
QString Probe(int listener)
{
    sockaddr_in from {};
    socklen_t length = sizeof from;
    voxlet::test::RawSocket probe(
        ::accept4(listener, reinterpret_cast<sockaddr*>(&from), &length, SOCK_CLOEXEC));
    if (!probe.valid())
        return {};
    const QString said = FromUtf16(probe.readExactly(1 << 16, 10000));
    return QString::fromLatin1(::inet_ntoa(from.sin_addr)) + (probe.closedByPeer() ? " said " : " kept on ")
        + said;
}

// The connect-back reply to `asker`.
QString Answer(const char* word, const QByteArray& asker)
{
    return QStringLiteral("CONNECTBACK|%1|%2|END").arg(QLatin1String(word), QLatin1String(asker));
}

bool Greet(Client& client)
{
    return client.connected() && client.send(kHello) && client.read(kHelloReply.size()) == kHelloReply;
}
} // namespace

void DirectoryServerLoopbackTest::connectBackDialsOnlyTheAskerAFewTimes()
{
    // Addresses of this process alone, and the port on each is held: another
    // program's listener or client there would answer or take the probes.
    const QByteArray phone = LoopbackAddress(6).toLatin1(), nobody = LoopbackAddress(7).toLatin1();
    const QByteArray dropping = LoopbackAddress(8).toLatin1();
    Phones phones(phone, dropping, nobody);
    QVERIFY(phones.queued >= 0);
    // The log holds the server's thread at a line: one turn then finds all the test did.
    std::atomic<int> holds { 0 };
    std::binary_semaphore atLine { 0 }, go { 0 };
    ServerOptions options;
    options.connectBack.port = phones.port;
    options.connectBack.perAddress = 3;
    options.connectBack.timeout = 1200ms;
    options.idleTimeout = 1s; // shorter than a probe: no client waiting for one is idle
    options.statsInterval = 0s;
    RunningServer server(options, [&](const std::string&) {
        if (holds > 0) {
            --holds;
            atLine.release();
            go.try_acquire_for(20s);
        }
    });
    QVERIFY2(server.started, qPrintable(server.error));
    const QString request = QStringLiteral("CONNECTBACK|END");

    // A probe closed after a poll leaves its number, and what the poll said
    // of it, to the next socket: nothing of it is taken for a new probe's.
    // Greeted one after the other, X has the lowest of the server's descriptors.
    std::deque<Client> clients;
    for (const QByteArray* from : { &nobody, &phone, &dropping, &nobody })
        QVERIFY(Greet(clients.emplace_back(from->constData(), server.port())));
    Client &x = clients[0], &a = clients[1], &b = clients[2], &z = clients[3];
    holds = 2;
    x.shutdownWrite(); // X goes; A's probe takes its number, in the turn that ends as Z goes
    QVERIFY(atLine.try_acquire_for(20s));
    QVERIFY(a.send(Utf16(request)));
    z.shutdownWrite();
    go.release();
    QVERIFY(atLine.try_acquire_for(20s));
    // A's probe connects; then A goes and B asks: in one turn A's probe
    // closes and B's opens on its number, and B's phone drops the SYN.
    pollfd connected { phones.answering, POLLIN, 0 };
    QCOMPARE(::poll(&connected, 1, 10000), 1);
    ::close(::accept4(phones.answering, nullptr, nullptr, SOCK_CLOEXEC));
    a.reset();
    QVERIFY(b.send(Utf16(request)));
    go.release();
    QCOMPARE(FromUtf16(b.readToClose()), Answer("TIMEOUT", dropping));

    // Dialled back from the address the phone asked, by which an older
    // phone knows its probe, which says nothing.
    QCOMPARE(Exchange(server.port(), phone.constData(), request), Answer("OK", phone));
    QCOMPARE(Probe(phones.answering), QStringLiteral("127.0.0.1 said "));
    QCOMPARE(Probe(phones.answering), QString()); // only one probe per request
    // Nothing listening answers with a reset.
    QCOMPARE(Exchange(server.port(), nobody.constData(), request), Answer("REFUSED", nobody));
    // A dropped SYN is not answered within the probe's time, longer than --idle.
    QCOMPARE(Exchange(server.port(), dropping.constData(), request), Answer("TIMEOUT", dropping));
    // A phone knows its probe by the token; other tokens than 32 lowercase hex
    // digits are refused. The third probe of an address is the last for a while.
    const QString token = QStringLiteral("|00112233445566778899aabbccddeeff|END");
    for (const QString& bad : { token.toUpper(), token.left(32) + "|END" })
        QCOMPARE(Exchange(server.port(), phone.constData(), "CONNECTBACK" + bad), kRefused);
    QCOMPARE(Exchange(server.port(), phone.constData(), "CONNECTBACK" + token), Answer("OK", phone));
    QCOMPARE(Probe(phones.answering), "127.0.0.1 said CONNECTBACK" + token);
    QCOMPARE(Exchange(server.port(), phone.constData(), "CONNECTBACK" + token), Answer("LIMIT", phone));
    QCOMPARE(Probe(phones.answering), QString());
}

void DirectoryServerLoopbackTest::processesShareOneDirectoryInRedis()
{
    RedisServer redis;
    QVERIFY2(redis.running(), "redis-server did not start");
    DirectoryProcess a(SharedStore(redis, { "--reuse-port" }));
    DirectoryProcess b(SharedStore(redis));
    QVERIFY2(a.port() && b.port(), qPrintable(a.log() + b.log()));

    QCOMPARE(Exchange(a.port(), "127.0.0.2", QStringLiteral("MYDATA|太郎|M|30|hi|pw||END")),
        QStringLiteral("ClientData|ZERO|127.0.0.2|END"));
    QCOMPARE(Register(b.port(), "127.0.0.3", QStringLiteral("Hanako")),
        QStringLiteral("ClientData|1|太郎|M|30|hi|127.0.0.2|1|127.0.0.3|END"));
    // The owner refreshes from a new address through the other process and keeps its place.
    QCOMPARE(Exchange(b.port(), "127.0.0.4", QStringLiteral("MYDATA|太郎|M|31|moved|pw||END")),
        QStringLiteral("ClientData|1|Hanako|M|30|hi|127.0.0.3|1|127.0.0.4|END"));
    QCOMPARE(Register(a.port(), "127.0.0.5", QStringLiteral("Look")),
        QStringLiteral("ClientData|1|太郎|M|31|moved|127.0.0.4|2|Hanako|M|30|hi|127.0.0.3|2|127.0.0.5|END"));

    // A second process on the same port, as with SO_REUSEPORT behind one address.
    DirectoryProcess sibling(
        { "--port", QString::number(a.port()), "--reuse-port", "--store", "unix:" + redis.socketPath() });
    QVERIFY2(sibling.port() == a.port(), qPrintable(sibling.log()));
    QVERIFY(a.stop() && b.stop() && sibling.stop());
}

void DirectoryServerLoopbackTest::sharedRegistrationsExpire()
{
    RedisServer redis;
    QVERIFY2(redis.running(), "redis-server did not start");
    DirectoryProcess a(SharedStore(redis, { "--keep", "1" }));
    DirectoryProcess b(SharedStore(redis, { "--keep", "1" }));
    QVERIFY2(a.port() && b.port(), qPrintable(a.log() + b.log()));

    QCOMPARE(Register(a.port(), "127.0.0.2", QStringLiteral("Fleeting")),
        QStringLiteral("ClientData|ZERO|127.0.0.2|END"));
    QCOMPARE(Register(b.port(), "127.0.0.3", QStringLiteral("Look")),
        QStringLiteral("ClientData|1|Fleeting|M|30|hi|127.0.0.2|1|127.0.0.3|END"));
    QThread::msleep(1100); // one keep time; nobody refreshes
    QCOMPARE(Register(b.port(), "127.0.0.4", QStringLiteral("Late")),
        QStringLiteral("ClientData|ZERO|127.0.0.4|END"));
    // Expired names are free again, under another PASS too.
    QCOMPARE(Exchange(a.port(), "127.0.0.5", QStringLiteral("MYDATA|Fleeting|M|30|hi|new||END")),
        QStringLiteral("ClientData|1|Late|M|30|hi|127.0.0.4|1|127.0.0.5|END"));
}

void DirectoryServerLoopbackTest::redisStoreAnswersAsTheMemoryStore()
{
    RedisServer redis;
    QVERIFY2(redis.running(), "redis-server did not start");
    ServerOptions options;
    options.session.maxListedUsers = 3; // small, so that changes reach the head of the list and pass it
    options.registry.maxUsers = 8;
    options.registry.maxUsersPerAddress = 3;
    options.registry.listShare = 2; // all four sources are in one network
    RunningServer memory(options);
    options.redis = RedisLocation { {}, 0, redis.socketPath().toStdString(), {}, {} };
    RunningServer shared(options);
    QVERIFY(memory.started && shared.started);

    // Random registrations from a few names, PASSes, profiles and addresses:
    // refusals, take-overs, moves and refreshes, all answered alike.
    const char* sources[] = { "127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5" };
    QRandomGenerator random(18);
    for (int step = 0; step < 300; ++step) {
        const QString request
            = QStringLiteral("MYDATA|%1|M|%2|c%3|%4||END")
                  .arg(QChar('A' + random.bounded(10)))
                  .arg(20 + random.bounded(2))
                  .arg(random.bounded(2))
                  .arg(random.bounded(3) ? QString() : QStringLiteral("p%1").arg(random.bounded(2)));
        const char* source = sources[random.bounded(4)];
        const QString expected = Exchange(memory.port(), source, request);
        QVERIFY(expected.startsWith("ClientData|") || expected == "DISCONNECT|END");
        QCOMPARE(Exchange(shared.port(), source, request), expected);
    }
}

void DirectoryServerLoopbackTest::racingPassesThroughTwoProcessesLeaveOneOwner()
{
    RedisServer redis;
    QVERIFY2(redis.running(), "redis-server did not start");
    const QStringList roomy { "--max-users-per-address", "1000" };
    DirectoryProcess a(SharedStore(redis, roomy));
    DirectoryProcess b(SharedStore(redis, roomy));
    QVERIFY2(a.port() && b.port(), qPrintable(a.log() + b.log()));

    for (int round = 0; round < 200; ++round) {
        const QString name = QStringLiteral("Race%1").arg(round);
        QString replies[2];
        std::latch ready(2);
        auto contender = [&](int who) {
            const std::uint16_t port = who == 0 ? a.port() : b.port();
            const char* source = who == 0 ? "127.0.0.2" : "127.0.0.3";
            ready.arrive_and_wait(); // start together
            replies[who]
                = Exchange(port, source, QStringLiteral("MYDATA|%1|M|30|hi|pass%2||END").arg(name).arg(who));
        };
        std::thread other(contender, 1);
        contender(0);
        other.join();
        int won = 0;
        for (int who = 0; who < 2; ++who) {
            if (replies[who].startsWith("ClientData|"))
                ++won;
            else
                QCOMPARE(replies[who], QStringLiteral("DISCONNECT|END"));
        }
        QVERIFY2(
            won == 1, qPrintable(QStringLiteral("round %1: %2 / %3").arg(round).arg(replies[0], replies[1])));
    }
}

void DirectoryServerLoopbackTest::redisPasswordIsSent()
{
    QTemporaryDir folder;
    RedisServer redis(folder.path(), { "--requirepass", "s3cret" });
    QVERIFY2(redis.running(), "redis-server did not start");
    QFile secret(folder.filePath("password"));
    QVERIFY(secret.open(QIODevice::WriteOnly) && secret.write("s3cret\n") > 0);
    secret.close();
    QVERIFY(secret.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    DirectoryProcess with(SharedStore(redis, { "--store-password-file", secret.fileName() }));
    DirectoryProcess without(SharedStore(redis));
    QVERIFY2(with.port() && without.port(), qPrintable(with.log() + without.log()));
    QCOMPARE(Register(with.port(), "127.0.0.2", QStringLiteral("Key")),
        QStringLiteral("ClientData|ZERO|127.0.0.2|END"));
    QCOMPARE(
        Register(without.port(), "127.0.0.3", QStringLiteral("NoKey")), QStringLiteral("DISCONNECT|END"));
    QVERIFY(without.stop());
    QVERIFY2(without.log().contains("NOAUTH"), qPrintable(without.log()));
    QVERIFY(!with.log().contains("s3cret"));
}

void DirectoryServerLoopbackTest::redisOutageIsSurvivedAndServiceResumes()
{
    RedisServer redis;
    QVERIFY2(redis.running(), "redis-server did not start");
    DirectoryProcess a(SharedStore(redis, { "--store-timeout", "500" }));
    DirectoryProcess b(SharedStore(redis, { "--store-timeout", "500" }));
    QVERIFY2(a.port() && b.port(), qPrintable(a.log() + b.log()));
    QCOMPARE(Register(a.port(), "127.0.0.2", QStringLiteral("Before")),
        QStringLiteral("ClientData|ZERO|127.0.0.2|END"));
    // Once Redis is back, a process reconnects after its back-off (at most 2 s).

    // All along, a steady stream of exchanges through both: each is answered
    // with a list or refused, never left hanging or answered with garbage.
    QStringList oddReplies;
    int steadyExchanges = 0;
    // A jthread: stopped and joined on the way out, also when a check fails.
    std::jthread steady([&](std::stop_token stop) {
        for (int i = 0; !stop.stop_requested(); ++i) {
            const QString reply
                = Register(i % 2 ? a.port() : b.port(), "127.0.0.9", QStringLiteral("Steady"));
            if (!reply.startsWith("ClientData|") && reply != "DISCONNECT|END")
                oddReplies << reply;
            ++steadyExchanges;
        }
    });

    // Too slow to answer: the exchange is refused after the store timeout, then served again.
    redis.pause(true);
    QCOMPARE(Register(b.port(), "127.0.0.3", QStringLiteral("Slow")), QStringLiteral("DISCONNECT|END"));
    redis.pause(false);
    QVERIFY(OnceListed(b.port(), "127.0.0.3", QStringLiteral("Slow")).contains("|Before|M|30|hi|127.0.0.2|"));

    redis.kill();
    for (int i = 0; i < 5; ++i) {
        // Refused at once, not left hanging; what needs no store is still answered.
        QCOMPARE(Register(i % 2 ? a.port() : b.port(), "127.0.0.3", QStringLiteral("During")),
            QStringLiteral("DISCONNECT|END"));
        QCOMPARE(Exchange(a.port(), "127.0.0.3", QStringLiteral("GETGLOVALIP|END")),
            QStringLiteral("YOURGLOVALIP|127.0.0.3|END"));
    }
    QVERIFY(a.running() && b.running());

    // Back with an empty memory: both processes reconnect and serve again.
    QVERIFY(redis.start());
    QVERIFY(OnceListed(b.port(), "127.0.0.4", QStringLiteral("After")).endsWith("|127.0.0.4|END"));
    const QString afterRestart = OnceListed(a.port(), "127.0.0.2", QStringLiteral("Before"));
    QVERIFY2(afterRestart.contains("|After|M|30|hi|127.0.0.4|") && !afterRestart.contains("Slow"),
        qPrintable(afterRestart)); // the restarted Redis kept nothing
    steady.request_stop();
    steady.join();
    QVERIFY2(oddReplies.isEmpty(), qPrintable(oddReplies.join('\n')));
    QVERIFY(steadyExchanges > 0);
    for (DirectoryProcess* p : { &a, &b }) {
        QVERIFY(p->stop());
        const QString log = p->log();
        // Once per outage (slow, then gone; a may not have met the first),
        // however many exchanges and reconnections failed in it.
        const auto outages = log.count(QRegularExpression("Redis at \\S+ unavailable"));
        QVERIFY2(outages >= 1 && outages <= 2, qPrintable(log));
        QCOMPARE(log.count(QRegularExpression("Redis at \\S+ is back")), outages);
    }
}

void DirectoryServerLoopbackTest::passGuessingAndProbesAreLimitedInBothStores()
{
    RedisServer redis;
    QVERIFY2(redis.running(), "redis-server did not start");
    // Probes go to a port of this process's where nothing listens.
    const QByteArray asker = LoopbackAddress(9).toLatin1();
    ServerOptions options;
    options.connectBack.port = 0; // any: then the one held
    const int held = ListenOn(asker.constData(), options.connectBack.port, -1);
    options.connectBack.perAddress = 2;
    RunningServer memory(options);
    RunningServer sharedA(InRedis(redis, options));
    RunningServer sharedB(InRedis(redis, options)); // as a second process on the same Redis
    QVERIFY(memory.started && sharedA.started && sharedB.started);
    auto as = [](const QString& pass) { return QStringLiteral("MYDATA|Owner|M|30|hi|%1||END").arg(pass); };
    for (const auto& [first, second] :
        { std::pair { memory.port(), memory.port() }, std::pair { sharedA.port(), sharedB.port() } }) {
        QCOMPARE(Exchange(first, "127.0.0.2", as("right")), QStringLiteral("ClientData|ZERO|127.0.0.2|END"));
        for (int guess = 0; guess < 5; ++guess)
            QCOMPARE(Exchange(guess % 2 ? second : first, "127.0.0.3", as(QStringLiteral("g%1").arg(guess))),
                kRefused);
        // Locked: now even the right PASS moves the name nowhere, from this address or another.
        QCOMPARE(Exchange(second, "127.0.0.3", as("right")), kRefused);
        QCOMPARE(Exchange(first, "127.0.0.4", as("right")), kRefused);
        // The owner refreshing from its own address is served all along.
        QCOMPARE(Exchange(second, "127.0.0.2", as("right")), QStringLiteral("ClientData|ZERO|127.0.0.2|END"));
        QCOMPARE(Register(first, "127.0.0.5", QStringLiteral("Viewer")),
            QStringLiteral("ClientData|1|Owner|M|30|hi|127.0.0.2|1|127.0.0.5|END"));
        // The probes of an address are counted for the whole directory.
        for (const auto& [port, word] :
            { std::pair { first, "REFUSED" }, { second, "REFUSED" }, { first, "LIMIT" } })
            QCOMPARE(
                Exchange(port, asker.constData(), QStringLiteral("CONNECTBACK|END")), Answer(word, asker));
    }
    // Redis forgets them by itself.
    QVERIFY(RedisCli(redis, "PTTL voxlet-directory:p:" + asker).toInt() > 0);
    ::close(held);
}

void DirectoryServerLoopbackTest::aFewNetworksCannotFillTheList()
{
    RedisServer redis;
    QVERIFY2(redis.running(), "redis-server did not start");
    RunningServer memory({});
    RunningServer shared(InRedis(redis));
    QVERIFY(memory.started && shared.started);
    for (std::uint16_t port : { memory.port(), shared.port() }) {
        // Thirteen addresses in thirteen networks, each with all the names it may have: 104.
        for (int a = 0; a < 13; ++a) {
            const QByteArray source = QStringLiteral("127.0.%1.9").arg(10 + a).toLatin1();
            for (int n = 0; n < 9; ++n)
                QCOMPARE(Register(port, source, QStringLiteral("Fake%1x%2").arg(a).arg(n))
                             .startsWith("ClientData|"),
                    n < 8);
        }
        QVERIFY(Register(port, "127.0.0.2", QStringLiteral("Real")).startsWith("ClientData|"));
        const QString list = Register(port, "127.0.0.3", QStringLiteral("Viewer"));
        QVERIFY2(list.contains("|Real|M|30|hi|127.0.0.2|"), qPrintable(list));
        QCOMPARE(list.count("|127.0.10.9|"), 4); // each network's share
        QCOMPARE(list.count("|Fake"), 13 * 4);
        // A character no code page 932 profile holds is listed to nobody.
        QCOMPARE(Register(port, "127.0.0.4", QStringLiteral("C1\u0085")), kRefused);
    }
}

void DirectoryServerLoopbackTest::administratorRemovesOneEntry()
{
    QTemporaryDir folder;
    RedisServer redis(folder.path());
    QVERIFY2(redis.running(), "redis-server did not start");

    // The executable's own --remove, against a process in memory.
    const QString control = folder.filePath("control");
    DirectoryProcess memory({ "--port", "0", "--control-socket", control });
    QVERIFY2(memory.port(), qPrintable(memory.log()));
    QCOMPARE(Exchange(memory.port(), "127.0.0.2", QStringLiteral("MYDATA|Squatter|M|30|hi|pw||END")),
        QStringLiteral("ClientData|ZERO|127.0.0.2|END"));
    QVERIFY(Register(memory.port(), "127.0.0.3", QStringLiteral("Keeper")).startsWith("ClientData|"));
    auto remove = [&control](const QString& name) {
        QProcess command;
        command.start(Executable(), { "--control-socket", control, "--remove", name });
        command.waitForFinished(10000);
        return QStringLiteral("%1 %2")
            .arg(command.exitCode())
            .arg(QString::fromUtf8(command.readAll()).trimmed());
    };
    QCOMPARE(remove(QStringLiteral("Squatter")), QStringLiteral("0 removed Squatter"));
    QCOMPARE(remove(QStringLiteral("Squatter")), QStringLiteral("1 not registered Squatter"));
    QCOMPARE(Register(memory.port(), "127.0.0.4", QStringLiteral("Viewer")),
        QStringLiteral("ClientData|1|Keeper|M|30|hi|127.0.0.3|1|127.0.0.4|END"));

    // A process on Redis takes the same command.
    ServerOptions options = InRedis(redis);
    options.controlSocket = folder.filePath("control2").toStdString();
    RunningServer shared(options);
    QVERIFY2(shared.started, qPrintable(shared.error));
    QCOMPARE(Exchange(shared.port(), "127.0.0.2", QStringLiteral("MYDATA|Squatter|M|30|hi|pw||END")),
        QStringLiteral("ClientData|ZERO|127.0.0.2|END"));
    std::string answer;
    QVERIFY(SendControlCommand(options.controlSocket, "remove Squatter", answer));
    QCOMPARE(answer, std::string("removed Squatter"));
    // The name is free again, under another PASS.
    QCOMPARE(Exchange(shared.port(), "127.0.0.5", QStringLiteral("MYDATA|Squatter|M|30|hi|other||END")),
        QStringLiteral("ClientData|ZERO|127.0.0.5|END"));
}

void DirectoryServerLoopbackTest::redisStoreSurvivesMissingKeys()
{
    RedisServer redis;
    QVERIFY2(redis.running(), "redis-server did not start");
    RunningServer shared(InRedis(redis));
    QVERIFY(shared.started);
    for (int i = 1; i <= 3; ++i)
        QVERIFY(Register(
            shared.port(), QStringLiteral("127.0.%1.2").arg(i).toLatin1(), QString(QChar('A' + i - 1)))
                    .startsWith("ClientData|"));
    // As an eviction or a hand would (the keys hold the names' UTF-16LE bytes):
    QCOMPARE(
        RedisCli(redis, R"(DEL "voxlet-directory:r:B\x00" "voxlet-directory:u:C\x00")"), QByteArray("2"));

    // A change at the top of the list rebuilds it; B is dropped, C still listed.
    QCOMPARE(Exchange(shared.port(), "127.0.1.2", QStringLiteral("MYDATA|A|M|30|new|||END")),
        QStringLiteral("ClientData|1|C|M|30|hi|127.0.3.2|1|127.0.1.2|END"));
    // Both come back whole with their next refresh, counted once per address.
    QCOMPARE(Register(shared.port(), "127.0.2.2", QStringLiteral("B")),
        QStringLiteral("ClientData|1|A|M|30|new|127.0.1.2|2|C|M|30|hi|127.0.3.2|2|127.0.2.2|END"));
    QCOMPARE(Register(shared.port(), "127.0.3.2", QStringLiteral("C")),
        QStringLiteral("ClientData|1|A|M|30|new|127.0.1.2|2|B|M|30|hi|127.0.2.2|2|127.0.3.2|END"));
    QCOMPARE(RedisCli(redis,
                 "HMGET voxlet-directory:addr 127.0.1.2 127.0.2.2 127.0.3.2\nZCARD voxlet-directory:order"),
        QByteArray("1\n1\n1\n3"));
}

void DirectoryServerLoopbackTest::redisExpiresABacklogInBatches()
{
    RedisServer redis;
    QVERIFY2(redis.running(), "redis-server did not start");
    ServerOptions options = InRedis(redis);
    options.registry.keepFor = 2s;
    options.registry.maxUsersPerAddress = 1000;
    RunningServer shared(options);
    QVERIFY(shared.started);
    for (int i = 0; i < 250; ++i)
        QVERIFY(
            Register(shared.port(), "127.0.0.2", QStringLiteral("Gone%1").arg(i)).startsWith("ClientData|"));
    QThread::msleep(2100);
    // More expired than one batch takes: none is listed, and only a batch goes at a time.
    QCOMPARE(Register(shared.port(), "127.0.0.3", QStringLiteral("Viewer")),
        QStringLiteral("ClientData|ZERO|127.0.0.3|END"));
    const int left = RedisCli(redis, "ZCARD voxlet-directory:order").toInt();
    QVERIFY2(left > 1 && left <= 251 - 50, qPrintable(QString::number(left)));
    for (int i = 0; i < 4; ++i)
        QCOMPARE(Register(shared.port(), "127.0.0.3", QStringLiteral("Viewer")),
            QStringLiteral("ClientData|ZERO|127.0.0.3|END"));
    QCOMPARE(RedisCli(redis, "ZCARD voxlet-directory:order"), QByteArray("1"));
}

void DirectoryServerLoopbackTest::redisHoldsTheDirectorysSettings()
{
    RedisServer redis;
    QVERIFY2(redis.running(), "redis-server did not start");
    DirectoryProcess first(SharedStore(redis));
    QVERIFY2(first.port(), qPrintable(first.log()));
    QCOMPARE(Register(first.port(), "127.0.0.2", QStringLiteral("Lasting")),
        QStringLiteral("ClientData|ZERO|127.0.0.2|END"));
    DirectoryProcess hasty(SharedStore(redis, { "--keep", "1", "--max-list", "5" }));
    QVERIFY2(hasty.port(), qPrintable(hasty.log()));
    QThread::msleep(1100);
    // The stored keep time holds, not the one this process was given.
    QCOMPARE(Register(hasty.port(), "127.0.0.3", QStringLiteral("Look")),
        QStringLiteral("ClientData|1|Lasting|M|30|hi|127.0.0.2|1|127.0.0.3|END"));
    QVERIFY(hasty.stop() && first.stop());
    QVERIFY2(hasty.log().count("has the settings --keep 900 --max-users 10000") == 1
            && hasty.log().contains("not this process's --keep 1, --max-list 5"),
        qPrintable(hasty.log()));
    QVERIFY2(!first.log().contains("has the settings"), qPrintable(first.log()));
}

void DirectoryServerLoopbackTest::lateRedisRequestsAreNotCarriedOut()
{
    RedisServer redis;
    QVERIFY2(redis.running(), "redis-server did not start");
    // Waiting for Redis, a client is not idle: it is answered at the store's time-out.
    DirectoryProcess directory(
        SharedStore(redis, { "--store-timeout", "2000", "--store-queue", "2", "--idle", "1" }));
    QVERIFY2(directory.port(), qPrintable(directory.log()));
    QCOMPARE(Register(directory.port(), "127.0.0.2", QStringLiteral("Early")),
        QStringLiteral("ClientData|ZERO|127.0.0.2|END"));

    redis.pause(true);
    QString replies[3];
    {
        // 0.4 s apart: the first one's time-out finds the connection stuck
        // while the second still has time.
        std::vector<std::jthread> clients;
        for (int i = 0; i < 3; ++i)
            clients.emplace_back([&, i] {
                QThread::msleep(400 * unsigned(i));
                replies[i] = Register(directory.port(), "127.0.0.3", QStringLiteral("Late%1").arg(i));
            });
    }
    redis.pause(false);
    for (const QString& reply : replies)
        QCOMPARE(reply, kRefused);
    // What Redis received before it stalled reached it only after the client
    // was refused, so past its deadline: left undone.
    const QString list = OnceListed(directory.port(), "127.0.0.4", QStringLiteral("Viewer"));
    QVERIFY2(list.startsWith("ClientData|1|Early|") && !list.contains("Late"), qPrintable(list));
    QVERIFY(directory.stop());
    QVERIFY2(directory.log().contains("2 requests wait for Redis"), qPrintable(directory.log()));
}

void DirectoryServerLoopbackTest::redisPasswordChangeAndAclUser()
{
    QTemporaryDir folder;
    // An ACL user that may run scripts but not load them.
    RedisServer redis(folder.path(),
        { "--requirepass", "old", "--user", "voxlet", "on", ">vpass", "~*", "&*", "+@all", "-script" });
    QVERIFY2(redis.running(), "redis-server did not start");
    auto secret = [&folder](const char* name, const QByteArray& text) {
        QFile file(folder.filePath(name));
        file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        file.write(text + "\n");
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        return file.fileName();
    };
    const QString password = secret("password", "old");
    DirectoryProcess main(
        SharedStore(redis, { "--store-password-file", password, "--store-timeout", "500" }));
    DirectoryProcess acl(
        SharedStore(redis, { "--store-user", "voxlet", "--store-password-file", secret("acl", "vpass") }));
    QVERIFY2(main.port() && acl.port(), qPrintable(main.log() + acl.log()));
    QCOMPARE(Register(main.port(), "127.0.0.2", QStringLiteral("Main")),
        QStringLiteral("ClientData|ZERO|127.0.0.2|END"));
    // Without its script loaded the ACL user is served all the same, and the log says so.
    QVERIFY(Register(acl.port(), "127.0.0.3", QStringLiteral("Acl")).startsWith("ClientData|1|Main|"));
    QVERIFY2(acl.log().contains("cannot load the directory's script") && !acl.log().contains("unavailable"),
        qPrintable(acl.log()));

    QCOMPARE(RedisCli(redis, "ACL SETUSER voxlet +script", "old"), QByteArray("OK"));
    for (int wait = 0; wait < 100 && !acl.log().contains("script is loaded"); ++wait)
        QThread::msleep(50); // the load is tried again after a second
    QVERIFY2(acl.log().contains("script is loaded"), qPrintable(acl.log()));

    // The password changes, in Redis and in the file; connections are dropped.
    secret("password", "new");
    RedisCli(redis, "CONFIG SET requirepass new\nCLIENT KILL TYPE normal SKIPME yes", "old");
    QVERIFY(OnceListed(main.port(), "127.0.0.2", QStringLiteral("Main")).startsWith("ClientData|"));
    QVERIFY(main.stop());
    const QString log = main.log();
    QVERIFY2(log.count("refused this process") == 1 && log.contains("WRONGPASS"), qPrintable(log));
    QVERIFY(!log.contains("old") && !log.contains("new\\n"));
}

void DirectoryServerLoopbackTest::executableAnswersEveryoneWhileItsLogIsStuck()
{
    const QString program = Executable();
    if (!QFileInfo(program).isExecutable())
        QSKIP("voxlet-directory not built");
    // The log goes to a pipe of one page that the test stops reading.
    QTemporaryDir folder;
    const QByteArray fifo = folder.filePath("log").toLocal8Bit();
    QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
    const int reader = ::open(fifo.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    QVERIFY(reader >= 0 && ::fcntl(reader, F_SETPIPE_SZ, 4096) > 0);
    QProcess process;
    process.start("bash",
        { "-c", "exec \"$0\" --listen 127.0.0.1 --port 0 --log-rate 0 2>\"$1\"", program,
            folder.filePath("log") });
    QString log;
    auto readLog = [&] {
        char buffer[4096];
        for (ssize_t got; (got = ::read(reader, buffer, sizeof buffer)) > 0;)
            log += QString::fromUtf8(buffer, got);
    };
    std::uint16_t port = 0;
    const QRegularExpression listening("listening on 127\\.0\\.0\\.1:(\\d+)");
    for (int wait = 0; wait < 100 && port == 0 && process.state() != QProcess::NotRunning; ++wait) {
        process.waitForFinished(50);
        readLog();
        if (const auto match = listening.match(log); match.hasMatch())
            port = static_cast<std::uint16_t>(match.captured(1).toUInt());
    }
    QVERIFY2(port != 0, qPrintable(log));

    for (int i = 0; i < 4000; ++i) { // some 280 KB of log lines, more than the server keeps
        QCOMPARE(Exchange(port, "127.0.0.2", QStringLiteral("GETGLOVALIP|END")),
            QStringLiteral("YOURGLOVALIP|127.0.0.2|END"));
    }
    // Read again: what was dropped is counted, and a name cannot forge a line.
    readLog();
    const QString forger = QStringLiteral("x' (Refreshed), listed 0; closed\u202E");
    // Refused (no code page holds U+202E), and logged as sent.
    QCOMPARE(Register(port, "127.0.0.3", forger), QStringLiteral("DISCONNECT|END"));
    QElapsedTimer waited;
    waited.start();
    while (!log.contains("127.0.0.3 refused") && waited.elapsed() < 20000) {
        pollfd ready { reader, POLLIN, 0 };
        ::poll(&ready, 1, 100);
        readLog();
    }
    QVERIFY2(QRegularExpression("log: dropped [1-9]\\d* lines that found the log full").match(log).hasMatch(),
        qPrintable(log.right(2000)));
    QVERIFY2(
        log.contains(
            "127.0.0.3 refused: registration of 'x\\' (Refreshed), listed 0; closed\\u202E': a character"),
        qPrintable(log.mid(log.indexOf("127.0.0.3"), 300)));
    process.terminate();
    QVERIFY(process.waitForFinished(20000));
    QCOMPARE(process.exitCode(), 0);
    ::close(reader);
}

void DirectoryServerLoopbackTest::proxiedClientsMustBeNamedAndAreCountedThemselves()
{
    ServerOptions options;
    Ipv4Network trusted;
    QVERIFY(Ipv4Network::Parse("127.0.0.16/30", trusted));
    options.trustedProxies = { trusted };
    options.maxConnectionsPerAddress = 2;
    RunningServer server(options);
    QVERIFY2(server.started, qPrintable(server.error));

    // No client connects from 0.0.0.0: such a header is refused, v1 or v2.
    QCOMPARE(ProxiedExchange(server.port(), "127.0.0.17", "PROXY TCP4 0.0.0.0 127.0.0.1 40000 8003\r\n",
                 QStringLiteral("GETGLOVALIP|END")),
        QStringLiteral("refused"));
    QByteArray v2("\r\n\r\n\0\r\nQUIT\n\x21\x11\x00\x0c", 16);
    v2 += QByteArray("\x00\x00\x00\x00\x7f\x00\x00\x01\x9c\x40\x1f\x43", 12);
    QCOMPARE(ProxiedExchange(server.port(), "127.0.0.17", v2, QStringLiteral("GETGLOVALIP|END")),
        QStringLiteral("refused"));

    // One client behind the proxy holds its two connections; a third is refused, others are served.
    const QByteArray header("PROXY TCP4 198.51.100.7 127.0.0.1 40000 8003\r\n");
    std::vector<std::unique_ptr<Client>> held;
    for (int i = 0; i < 2; ++i) {
        held.push_back(std::make_unique<Client>("127.0.0.17", server.port()));
        QVERIFY(held.back()->send(header + kHello));
        QCOMPARE(held.back()->read(kHelloReply.size()), kHelloReply);
    }
    QCOMPARE(ProxiedExchange(server.port(), "127.0.0.18", header, QStringLiteral("GETGLOVALIP|END")),
        QStringLiteral("refused"));
    QCOMPARE(ProxiedExchange(server.port(), "127.0.0.18", "PROXY TCP4 198.51.100.8 127.0.0.1 1 8003\r\n",
                 QStringLiteral("GETGLOVALIP|END")),
        QStringLiteral("YOURGLOVALIP|198.51.100.8|END"));
}

void DirectoryServerLoopbackTest::executableReopensItsLogAndFinishesExchangesWhenStopped()
{
    QTemporaryDir folder;
    RedisServer redis(folder.path());
    QVERIFY2(redis.running(), "redis-server did not start");
    const QString logFile = folder.filePath("directory.log");
    DirectoryProcess server(
        SharedStore(redis, { "--log-file", logFile, "--store-timeout", "5000" }), logFile);
    QVERIFY2(server.port(), qPrintable(server.log()));

    // Log rotation: the file moves away, SIGHUP, and the server goes on in a new one.
    QVERIFY(QFile::rename(logFile, logFile + ".1"));
    server.signal(SIGHUP);
    QCOMPARE(Exchange(server.port(), "127.0.0.2", QStringLiteral("GETGLOVALIP|END")),
        QStringLiteral("YOURGLOVALIP|127.0.0.2|END"));
    for (int wait = 0; wait < 100 && !server.log().contains("127.0.0.2 address request"); ++wait)
        QThread::msleep(20);
    QVERIFY2(server.log().contains("log reopened") && server.running(), qPrintable(server.log()));

    // SIGTERM with one exchange between hello and request and one waiting for a stalled Redis.
    Client between("127.0.0.3", server.port());
    Client waiting("127.0.0.4", server.port());
    for (Client* c : { &between, &waiting }) {
        QVERIFY(c->send(kHello));
        QCOMPARE(c->read(kHelloReply.size()), kHelloReply);
    }
    redis.pause(true);
    QVERIFY(waiting.send(Utf16(QStringLiteral("MYDATA|Late|M|30|hi|||END"))));
    server.signal(SIGTERM);
    bool refusing = false;
    for (int wait = 0; wait < 100 && !refusing; ++wait) {
        QThread::msleep(10);
        refusing = !Client("127.0.0.5", server.port()).connected();
    }
    QVERIFY2(refusing, "still taking connections after SIGTERM");
    QVERIFY(between.send(Utf16(QStringLiteral("GETGLOVALIP|END"))));
    QCOMPARE(FromUtf16(between.readToClose()), QStringLiteral("YOURGLOVALIP|127.0.0.3|END"));
    redis.pause(false);
    QCOMPARE(FromUtf16(waiting.readToClose()), QStringLiteral("ClientData|ZERO|127.0.0.4|END"));
    QVERIFY2(server.exitedCleanly(), qPrintable(server.log()));
}

void DirectoryServerLoopbackTest::executableReportsHealthAndCounters()
{
    QTemporaryDir folder;
    RedisServer redis(folder.path());
    QVERIFY2(redis.running(), "redis-server did not start");
    QFile config(folder.filePath("directory.conf"));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write("# the options without their dashes\nport 0\nstore = unix:" + redis.socketPath().toUtf8()
        + "\nstats-interval 1\nhealth 127.0.0.1:0\n");
    config.close();
    DirectoryProcess server({ "--config", config.fileName() });
    QVERIFY2(server.port(), qPrintable(server.log()));
    const auto match = QRegularExpression("health check on 127\\.0\\.0\\.1:(\\d+)").match(server.log());
    QVERIFY2(match.hasMatch(), qPrintable(server.log()));
    auto check = [port = static_cast<std::uint16_t>(match.captured(1).toUInt())] {
        Client client("127.0.0.1", port);
        client.send("GET /health HTTP/1.0\r\n\r\n");
        return QString::fromUtf8(client.readToClose());
    };
    for (int wait = 0; wait < 100 && !check().startsWith("HTTP/1.0 200 OK"); ++wait)
        QThread::msleep(20); // until Redis has answered once
    QVERIFY2(check().contains("status: ok"), qPrintable(check()));

    QCOMPARE(Register(server.port(), "127.0.0.2", QStringLiteral("Counted")),
        QStringLiteral("ClientData|ZERO|127.0.0.2|END"));
    QCOMPARE(Exchange(server.port(), "127.0.0.2", QStringLiteral("NONSENSE|END")),
        QStringLiteral("DISCONNECT|END"));
    for (int wait = 0; wait < 100 && !server.log().contains("added 1, malformed 1)"); ++wait)
        QThread::msleep(30);
    QVERIFY2(QRegularExpression("counters, last 1 s: 2 exchanges \\(address 0, added 1, malformed 1\\)")
                 .match(server.log())
                 .hasMatch(),
        qPrintable(server.log()));

    redis.kill();
    QString unhealthy;
    for (int wait = 0; wait < 100 && !unhealthy.startsWith("HTTP/1.0 503"); ++wait) {
        QThread::msleep(20);
        unhealthy = check();
    }
    QVERIFY2(unhealthy.contains("status: store unavailable: Redis at unix:"), qPrintable(unhealthy));
}

QTEST_GUILESS_MAIN(DirectoryServerLoopbackTest)
#include "loopback_test.moc"
