// The real server on loopback, facing clients that misbehave, while a
// well-behaved client keeps being served.

#include "directory/server/directory_server.h"

#include <QByteArray>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QString>
#include <QtTest>

#include <arpa/inet.h>
#include <cerrno>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace voxlet::directory_server;
using namespace std::chrono_literals;

namespace {

QByteArray Wire(const QString& text)
{
    QByteArray bytes;
    for (QChar c : text) {
        bytes.append(static_cast<char>(c.unicode() & 0xFF));
        bytes.append(static_cast<char>(c.unicode() >> 8));
    }
    return bytes;
}

QString Text(const QByteArray& bytes)
{
    QString text;
    for (qsizetype i = 0; i + 1 < bytes.size(); i += 2)
        text.append(QChar(static_cast<char16_t>(
            static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8))));
    return text;
}

class RunningServer {
public:
    explicit RunningServer(ServerOptions options)
        : m_server([&] {
            options.listenAddress = "127.0.0.1";
            options.port = 0;
            options.quiet = true;
            return options;
        }())
    {
        std::string error;
        m_started = m_server.start(error);
        m_error = QString::fromStdString(error);
        if (m_started)
            m_thread = std::thread([this] { m_server.run(); });
    }
    ~RunningServer()
    {
        m_server.stop();
        if (m_thread.joinable())
            m_thread.join();
    }
    bool started() const { return m_started; }
    QString error() const { return m_error; }
    std::uint16_t port() const { return m_server.port(); }

private:
    DirectoryServer m_server;
    std::thread m_thread;
    bool m_started = false;
    QString m_error;
};

// A blocking client with generous time-outs, so a lost reply fails the test
// instead of hanging it.
class Client {
public:
    Client(const char* source, std::uint16_t port)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const timeval timeout { 20, 0 };
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        ::setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        sockaddr_in local {};
        local.sin_family = AF_INET;
        ::inet_pton(AF_INET, source, &local.sin_addr);
        ::bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
        sockaddr_in server {};
        server.sin_family = AF_INET;
        server.sin_port = htons(port);
        ::inet_pton(AF_INET, "127.0.0.1", &server.sin_addr);
        m_connected = ::connect(m_fd, reinterpret_cast<sockaddr*>(&server), sizeof server) == 0;
    }
    ~Client() { ::close(m_fd); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool connected() const { return m_connected; }

    // False when the server has already gone (refused or closed).
    bool send(const QByteArray& bytes)
    {
        qsizetype done = 0;
        while (done < bytes.size()) {
            const ssize_t put = ::send(m_fd, bytes.constData() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (put <= 0)
                return false;
            done += put;
        }
        return true;
    }

    void shutdownWrite() { ::shutdown(m_fd, SHUT_WR); }

    // Reads until `count` bytes have come, or the server closed, or time-out.
    QByteArray read(qsizetype count)
    {
        QByteArray got;
        char buffer[4096];
        while (got.size() < count) {
            const ssize_t n = ::recv(m_fd, buffer, std::min<qsizetype>(sizeof buffer, count - got.size()), 0);
            if (n <= 0) {
                if (n == 0 || errno == ECONNRESET)
                    m_closedByServer = true;
                break;
            }
            got.append(buffer, n);
        }
        return got;
    }

    // Everything until the server closes (or time-out: then closedByServer() stays false).
    QByteArray readToClose() { return read(1 << 20); }
    bool closedByServer() const { return m_closedByServer; }

private:
    int m_fd = -1;
    bool m_connected = false;
    bool m_closedByServer = false;
};

const QByteArray kHello = Wire(QStringLiteral("SERVEROK|END"));

// A whole exchange as the phone makes it; returns the final reply.
QString Exchange(std::uint16_t port, const char* source, const QString& request)
{
    Client client(source, port);
    if (!client.connected())
        return QStringLiteral("no connection");
    if (!client.send(kHello))
        return QStringLiteral("refused");
    const QByteArray hello = client.read(kHello.size());
    if (hello.isEmpty() && client.closedByServer())
        return QStringLiteral("refused");
    if (hello != kHello)
        return QStringLiteral("bad hello reply: ") + Text(hello);
    if (!client.send(Wire(request)))
        return QStringLiteral("send failed");
    const QString reply = Text(client.readToClose());
    if (!client.closedByServer())
        return QStringLiteral("server did not close after: ") + reply;
    return reply;
}

QString Register(std::uint16_t port, const char* source, const QString& name)
{
    return Exchange(port, source, QStringLiteral("MYDATA|") + name + QStringLiteral("|M|30|hi|||END"));
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
    void totalConnectionsAreCapped();
    void executableSurvivesRunningOutOfDescriptors();
};

void DirectoryServerLoopbackTest::servesRegistrationsAndAddressRequests()
{
    RunningServer server({});
    QVERIFY2(server.started(), qPrintable(server.error()));
    QCOMPARE(Register(server.port(), "127.0.0.2", QStringLiteral("太郎")),
        QStringLiteral("ClientData|ZERO|127.0.0.2|END"));
    QCOMPARE(Register(server.port(), "127.0.0.3", QStringLiteral("Hanako")),
        QStringLiteral("ClientData|1|太郎|M|30|hi|127.0.0.2|1|127.0.0.3|END"));
    QCOMPARE(Exchange(server.port(), "127.0.0.3", QStringLiteral("GETGLOVALIP|END")),
        QStringLiteral("YOURGLOVALIP|127.0.0.3|END"));

    // A client that half-closes after its request still gets the reply.
    Client halfClosed("127.0.0.4", server.port());
    QVERIFY(halfClosed.send(kHello + Wire(QStringLiteral("GETGLOVALIP|END"))));
    halfClosed.shutdownWrite();
    QCOMPARE(Text(halfClosed.readToClose()), QStringLiteral("SERVEROK|ENDYOURGLOVALIP|127.0.0.4|END"));
    QVERIFY(halfClosed.closedByServer());
}

void DirectoryServerLoopbackTest::garbageIsRefusedAndOthersServed()
{
    RunningServer server({});
    QVERIFY2(server.started(), qPrintable(server.error()));
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
    QVERIFY2(server.started(), qPrintable(server.error()));

    Client silent("127.0.0.6", server.port());
    Client halfHello("127.0.0.6", server.port());
    QVERIFY(halfHello.send(kHello.left(7)));
    Client noRequest("127.0.0.6", server.port());
    QVERIFY(noRequest.send(kHello));
    QCOMPARE(noRequest.read(kHello.size()), kHello);

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
    QVERIFY2(server.started(), qPrintable(server.error()));
    Client big("127.0.0.7", server.port());
    QVERIFY(big.send(kHello));
    QCOMPARE(big.read(kHello.size()), kHello);
    big.send(Wire(QStringLiteral("MYDATA|") + QString(5000, 'A')));
    QCOMPARE(Text(big.readToClose()), QStringLiteral("DISCONNECT|END"));
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
    QVERIFY2(server.started(), qPrintable(server.error()));

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
            const QByteArray reply = c->read(kHello.size());
            if (reply == kHello)
                ++served;
            else
                QVERIFY2(reply.isEmpty() && c->closedByServer(), qPrintable(Text(reply)));
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

void DirectoryServerLoopbackTest::totalConnectionsAreCapped()
{
    ServerOptions options;
    options.maxConnections = 20;
    options.maxConnectionsPerAddress = 16;
    options.idleTimeout = 60s;
    RunningServer server(options);
    QVERIFY2(server.started(), qPrintable(server.error()));

    {
        std::vector<std::unique_ptr<Client>> held;
        for (const char* source : { "127.0.0.9", "127.0.0.10" }) {
            for (int i = 0; i < 16; ++i) {
                held.push_back(std::make_unique<Client>(source, server.port()));
                held.back()->send(kHello);
            }
        }
        int served = 0;
        for (auto& c : held)
            served += c->read(kHello.size()) == kHello ? 1 : 0;
        QCOMPARE(served, 20);
        QCOMPARE(Exchange(server.port(), "127.0.0.2", QStringLiteral("GETGLOVALIP|END")),
            QStringLiteral("refused"));
    }
    // Once they are gone there is room again; the server may need a moment to see the closes.
    QString reply;
    for (int attempt = 0; attempt < 100 && reply != "YOURGLOVALIP|127.0.0.2|END"; ++attempt) {
        if (attempt)
            QThread::msleep(20);
        reply = Exchange(server.port(), "127.0.0.2", QStringLiteral("GETGLOVALIP|END"));
    }
    QCOMPARE(reply, QStringLiteral("YOURGLOVALIP|127.0.0.2|END"));
}

void DirectoryServerLoopbackTest::executableSurvivesRunningOutOfDescriptors()
{
    const QString program
        = qEnvironmentVariable("VOXLET_BINARY_DIR") + "/src/directory/server/voxlet-directory";
    if (!QFileInfo(program).isExecutable())
        QSKIP("voxlet-directory not built");

    // Twelve descriptors leave room for about five clients.
    QProcess process;
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(
        "bash", { "-c", "ulimit -n 12 && exec \"$0\" --listen 127.0.0.1 --port 0 --idle 60", program });
    QVERIFY(process.waitForStarted());
    QString log;
    std::uint16_t port = 0;
    const QRegularExpression listening("listening on 127\\.0\\.0\\.1:(\\d+)");
    for (int wait = 0; wait < 100 && port == 0 && process.state() == QProcess::Running; ++wait) {
        process.waitForReadyRead(200);
        log += QString::fromUtf8(process.readAllStandardError());
        if (const auto match = listening.match(log); match.hasMatch())
            port = static_cast<std::uint16_t>(match.captured(1).toUInt());
    }
    QVERIFY2(port != 0, qPrintable(log));

    {
        std::vector<std::unique_ptr<Client>> held;
        for (int i = 0; i < 10; ++i) {
            held.push_back(std::make_unique<Client>("127.0.0.11", port));
            held.back()->send(kHello);
        }
        int served = 0;
        for (auto& c : held) {
            const QByteArray reply = c->read(kHello.size());
            served += reply == kHello ? 1 : 0;
            QVERIFY(reply == kHello || (reply.isEmpty() && c->closedByServer()));
        }
        QVERIFY2(served > 0 && served < 10, qPrintable(QString::number(served)));
    }
    QString reply;
    for (int attempt = 0; attempt < 100 && reply != "YOURGLOVALIP|127.0.0.2|END"; ++attempt) {
        if (attempt)
            QThread::msleep(20);
        reply = Exchange(port, "127.0.0.2", QStringLiteral("GETGLOVALIP|END"));
    }
    QCOMPARE(reply, QStringLiteral("YOURGLOVALIP|127.0.0.2|END"));

    process.terminate();
    QVERIFY(process.waitForFinished(20000));
    log += QString::fromUtf8(process.readAllStandardError());
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    QVERIFY2(log.contains("out of file descriptors"), qPrintable(log));
}

QTEST_GUILESS_MAIN(DirectoryServerLoopbackTest)
#include "directory_server_loopback_test.moc"
