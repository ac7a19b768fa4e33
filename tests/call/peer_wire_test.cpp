// The call protocol byte for byte against a raw peer, and the phone's
// behaviour when a peer misbehaves: resets, floods, stalls.

#include "support/raw_peer.h"
#include "support/test_phone.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTest>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace voxlet;
using namespace voxlet::test;

namespace {

double CpuSeconds()
{
    timespec ts {};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// A voice block that says which block it is in every byte.
QByteArray NumberedBlock(int n)
{
    return QByteArray(kVoiceBlockBytes, char(n));
}

// Samples numbered from `first` on (never 0, which is the padding's).
QByteArray Samples(int first, int count)
{
    QByteArray out(2 * count, 0);
    for (int k = 0; k < count; ++k) {
        out[2 * k] = char((first + k) & 0xFF);
        out[2 * k + 1] = char(((first + k) >> 8) | 0x80);
    }
    return out;
}

// Produces numbered voice until the stalled peer makes the phone drop some,
// then leaves the socket no room at all, so that what waits stays with the
// phone until the peer reads. Returns the number of the next sample.
int FillUntilDropping(TestPhone& t, int first = 1)
{
    const int s = t.phone->st.CallSocket ? t.phone->st.CallSocket : t.phone->st.ExternalSocket;
    int size = 4096;
    ::setsockopt(s, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    const std::uint64_t drops = t.phone->net.voiceDrops();
    for (int i = 0; i < 400 && t.phone->net.voiceDrops() == drops; ++i, first += 800) {
        t.capture.produce(Samples(first, 800));
        Pump(1);
    }
    size = 1;
    ::setsockopt(s, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    return first;
}

// Everything until the peer's close: (bytes, true for a FIN, false for a reset or time-out).
std::pair<QByteArray, bool> ReadToClose(RawSocket& s, int timeoutMs)
{
    QByteArray got;
    char buf[65536];
    for (;;) {
        pollfd p { s.fd(), POLLIN, 0 };
        if (::poll(&p, 1, timeoutMs) <= 0)
            return { got, false };
        const ssize_t n = ::recv(s.fd(), buf, sizeof buf, 0);
        if (n <= 0)
            return { got, n == 0 };
        got.append(buf, n);
    }
}

// True when the far end closed the connection within the time (whatever it
// sent before is read and dropped).
bool ClosedWithin(const RawSocket& s, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    char buf[4096];
    while (clock.elapsed() < timeoutMs) {
        pollfd p { s.fd(), POLLIN, 0 };
        if (::poll(&p, 1, 50) <= 0)
            continue;
        const ssize_t got = ::recv(s.fd(), buf, sizeof buf, 0);
        if (got == 0 || (got < 0 && errno == ECONNRESET))
            return true;
    }
    return false;
}

// Uses up every file descriptor the process may open, until released.
class NoDescriptorsLeft {
public:
    NoDescriptorsLeft()
    {
        getrlimit(RLIMIT_NOFILE, &old_);
        int open = 0;
        for (const QString& e :
            QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries))
            open = std::max(open, e.toInt() + 1);
        rlimit tight = old_;
        tight.rlim_cur = rlim_t(open);
        taken_ = setrlimit(RLIMIT_NOFILE, &tight) == 0;
        for (int fd; taken_ && (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
            fillers_.push_back(fd);
    }
    ~NoDescriptorsLeft() { release(); }
    bool taken() const { return taken_; }
    void release()
    {
        for (int fd : fillers_)
            ::close(fd);
        fillers_.clear();
        if (taken_)
            setrlimit(RLIMIT_NOFILE, &old_);
        taken_ = false;
    }

private:
    rlimit old_ {};
    std::vector<int> fillers_;
    bool taken_ = false;
};

// Brings `caller` into a talking call with a raw server on `rawAddress`:
// the raw side reads the request, greets, and answers. Each reply goes in
// one send; a later one only once the caller plays the ring-back, so that
// the two never arrive in one read.
struct RawCallee {
    RawSocket listener;
    RawSocket conn;
    QByteArray request;
    std::thread thread;
    std::atomic<bool> answered { false }, ringBack { false };
    QTimer watch;
    std::vector<QByteArray> replies { Utf16(QStringLiteral("VOICEMSG:OK")),
        Utf16(QStringLiteral("CallAnswer|END")) };

    void start(TestPhone& caller, const QString& rawAddress, int receiveBuffer = 0)
    {
        listener.listenOn(rawAddress, 8002);
        if (receiveBuffer > 0)
            listener.setReceiveBuffer(receiveBuffer);
        watch.setInterval(1);
        QObject::connect(&watch, &QTimer::timeout, [this, &caller] {
            if (!ringBack && caller.phone)
                ringBack = caller.phone->ringingFile() == QLatin1String("Ans.wav");
        });
        watch.start();
        thread = std::thread([this] {
            conn = listener.accept(10000);
            request = conn.readFor(300);
            for (std::size_t i = 0; i < replies.size(); ++i) {
                while (i > 0 && !ringBack)
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                conn.sendAll(replies[i]);
            }
            answered = true;
        });
    }
    void join()
    {
        if (thread.joinable())
            thread.join();
    }
    ~RawCallee() { join(); }
};

} // namespace

class PeerWireTest : public QObject {
    Q_OBJECT
private slots:
    void greetingAndAnswerAreExactBytes();
    void callerNameGoesOutAsUtf16();
    void resetEndsTheCallAtTheCalledSide();
    void resetEndsTheCallAtTheCaller();
    void textFloodKeepsThePhoneResponsive();
    void stalledReaderGetsWholeSamplesAndWholeBlocks();
    void ringingDoesNotSpin();
    void failedAcceptClosesTheListenerForGood();
    void shortOfDescriptorsDuringACallBacksOff();
    void overlongTextIsCut();
    void textsSplitAnywhereDecodeWhole();
    void everyCallStartsOnABlockBoundary();
    void messagesInOneReadAreHandledInOrder();
    void hangUpAndExitHandOverWholeBlocks();
    void oldStylePeerMeetsAnHdVoxletAsBefore();
};

void PeerWireTest::greetingAndAnswerAreExactBytes()
{
    TestPhone b(LoopbackAddress(20), QStringLiteral("Bob"), Start::Listening);
    QByteArray greeting, answer;
    std::atomic<bool> done { false };
    std::thread raw([&] {
        RawSocket s;
        s.connectTo(LoopbackAddress(21), b.address, 8002);
        greeting = s.readExactly(22, 5000);
        s.sendAll(Utf16(QStringLiteral("VOICEMSG:OK|Raw|END")));
        answer = s.readExactly(28, 10000);
        done = true;
        s.readFor(200);
    });
    Script script;
    script.when([&] { return !b.phone->ringingFile().isEmpty(); },
        [&] {
            QCOMPARE(b.main.text1(), QStringLiteral("Rawさんからの電話です。"));
            b.phone->Command3_Click();
        });
    QVERIFY(WaitFor([&] { return done.load() && script.done(); }));
    raw.join();
    QCOMPARE(
        greeting, QByteArray::fromHex("56 00 4F 00 49 00 43 00 45 00 4D 00 53 00 47 00 3A 00 4F 00 4B 00"));
    QCOMPARE(answer,
        QByteArray::fromHex(
            "43 00 61 00 6C 00 6C 00 41 00 6E 00 73 00 77 00 65 00 72 00 7C 00 45 00 4E 00 44 00"));
    QCOMPARE(b.phone->st.PeerAddress, LoopbackAddress(21));
    QVERIFY(b.main.texts.contains(LoopbackAddress(21) + QStringLiteral("が接続してきました。")));
}

void PeerWireTest::callerNameGoesOutAsUtf16()
{
    TestPhone a(LoopbackAddress(22), QStringLiteral("電話"), Start::Listening);
    RawSocket listener;
    QVERIFY(listener.listenOn(LoopbackAddress(23), 8002));
    QByteArray request;
    std::atomic<bool> done { false };
    std::thread raw([&] {
        RawSocket conn = listener.accept(10000);
        request = conn.readExactly(36, 5000);
        conn.close();
        done = true;
    });
    a.main.setComboText(LoopbackAddress(23));
    a.phone->CLIBTN_Click();
    QVERIFY(WaitFor([&] { return done.load(); }));
    raw.join();
    QCOMPARE(request,
        Utf16(QStringLiteral("VOICEMSG:OK|")) + QByteArray::fromHex("FB 96 71 8A")
            + Utf16(QStringLiteral("|END")));
    QVERIFY(WaitFor([&] { return a.main.text1() == QStringLiteral("話し中等で接続できません。"); }));
}

void PeerWireTest::resetEndsTheCallAtTheCalledSide()
{
    TestPhone b(LoopbackAddress(24), QStringLiteral("Bob"), Start::Listening);
    RawSocket s;
    std::atomic<bool> talking { false }, resetDone { false };
    std::thread raw([&] {
        s.ring(LoopbackAddress(25), b.address);
        s.awaitAnswer();
        talking = true;
        s.sendAll(QByteArray(3000, 'v')); // part of a block, then gone
        resetDone = true;
    });
    Script script;
    script.when([&] { return !b.phone->ringingFile().isEmpty(); }, [&] { b.phone->Command3_Click(); });
    QVERIFY(WaitFor([&] { return resetDone.load() && script.done(); }));
    raw.join();
    QVERIFY(WaitFor([&] { return b.phone->st.VoiceRecvCount == 3000; }));
    s.reset();
    QVERIFY(WaitFor([&] { return b.main.text1() == QStringLiteral("次の接続を待機します。"); }));
    QVERIFY(!b.phone->st.VoiceMode && !b.phone->st.Connected && !b.phone->st.CallerAccepted);
    QCOMPARE(b.phone->st.CallSocket, 0);
    QVERIFY(b.main.isEnabled(Control::CLIBTN) && b.main.isEnabled(Control::mnu_Searh));
}

void PeerWireTest::resetEndsTheCallAtTheCaller()
{
    TestPhone a(LoopbackAddress(26), QStringLiteral("Alice"), Start::Listening);
    RawCallee callee;
    callee.start(a, LoopbackAddress(27));
    a.main.setComboText(LoopbackAddress(27));
    a.phone->CLIBTN_Click();
    QVERIFY(WaitFor([&] { return a.phone->st.VoiceMode && a.phone->ringingFile().isEmpty(); }));
    QCOMPARE(a.main.text1(), QStringLiteral("つながりました。お話ください。"));
    callee.join();
    callee.conn.reset();
    QVERIFY(WaitFor([&] { return a.main.text1() == QStringLiteral("話し中等で接続できません。"); }));
    QVERIFY(!a.phone->st.VoiceMode && !a.phone->st.Connected);
    QCOMPARE(a.phone->st.CallSocket, 0);
    QVERIFY(a.main.isEnabled(Control::CLIBTN));
}

void PeerWireTest::textFloodKeepsThePhoneResponsive()
{
    TestPhone b(LoopbackAddress(28), QStringLiteral("Bob"), Start::Listening);
    const qint64 rssBefore = StatusKb("VmHWM:");
    constexpr int kFloodBytes = 10 * 1024 * 1024;
    std::atomic<bool> sent { false };
    std::thread raw([&] {
        RawSocket s;
        s.connectTo(LoopbackAddress(29), b.address, 8002);
        s.readExactly(22, 5000);
        const QByteArray chunk = Utf16(QString(32 * 1024, QLatin1Char('x')));
        for (int total = 0; total < kFloodBytes; total += int(chunk.size()))
            if (!s.sendAll(chunk))
                break;
        sent = true;
        s.readFor(300);
    });
    int ticks = 0; // passes of the event loop: the flood takes only milliseconds
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(0);
    QVERIFY(WaitFor([&] { return sent.load(); }, 60000));
    const int ticksDuringFlood = ticks;
    ticker.stop();
    raw.join();
    // Other events kept being served while the flood was read.
    QVERIFY2(ticksDuringFlood >= 3, qPrintable(QString::number(ticksDuringFlood)));
    const qint64 grownKb = StatusKb("VmHWM:") - rssBefore;
    qInfo("text flood: %d bytes read, peak memory grew by %lld KiB", kFloodBytes, grownKb);
    QVERIFY2(grownKb < 64 * 1024, qPrintable(QString::number(grownKb)));
    QCOMPARE(b.main.text1(), LoopbackAddress(29) + QStringLiteral("が接続してきました。"));
}

void PeerWireTest::stalledReaderGetsWholeSamplesAndWholeBlocks()
{
    TestPhone a(LoopbackAddress(30), QStringLiteral("Alice"), Start::Listening);
    RawCallee callee;
    callee.start(a, LoopbackAddress(31), 4096);
    a.main.setComboText(LoopbackAddress(31));
    a.phone->CLIBTN_Click();
    QVERIFY(WaitFor([&] { return a.phone->st.VoiceMode && a.phone->ringingFile().isEmpty(); }));
    callee.join();
    const int small = 4096;
    ::setsockopt(a.phone->st.CallSocket, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);

    // Each sample is its own index: a lost, split or reordered sample shows.
    constexpr int kSamples = 15 * kVoiceBlockBytes / 2;
    QByteArray stream(2 * kSamples, 0);
    for (int k = 0; k < kSamples; ++k) {
        stream[2 * k] = char(k & 0xFF);
        stream[2 * k + 1] = char(k >> 8);
    }
    for (int at = 0; at < stream.size(); at += 1600) {
        QVERIFY(a.capture.produce(stream.mid(at, 1600)));
        Pump(1);
    }
    // The reader stalled: what waits stayed bounded, the rest was dropped.
    QVERIFY(a.phone->net.voiceDrops() > 0);
    // The reader wakes up and takes everything; then the call is hung up.
    QByteArray got;
    std::thread reader([&] { got = callee.conn.readFor(1500); });
    QVERIFY(WaitFor([&] { return false; }, 1700) || true);
    reader.join();
    QVERIFY(got.size() > 0);
    QCOMPARE(got.size() % 2, 0);
    int last = -1;
    for (qsizetype at = 0; at < got.size(); at += 2) {
        const int k
            = static_cast<unsigned char>(got.at(at)) | static_cast<unsigned char>(got.at(at + 1)) << 8;
        QVERIFY2(k > last, "samples split, repeated or out of order");
        last = k;
    }
    const std::uint64_t sent = a.phone->net.sentVoiceBytes(a.phone->st.CallSocket);
    // Hung up: the last block is completed with silence before the close.
    a.phone->Command1_Click();
    std::thread rest([&] { got += callee.conn.readFor(1500); });
    QVERIFY(WaitFor([&] { return false; }, 1700) || true);
    rest.join();
    QCOMPARE(got.size() % kVoiceBlockBytes, 0);
    QVERIFY(std::uint64_t(got.size()) >= sent);
    qInfo("stalled reader: %lld bytes arrived, %llu dropped in %llu spans", qlonglong(got.size()),
        qulonglong(a.phone->net.droppedVoiceBytes()), qulonglong(a.phone->net.voiceDrops()));
}

void PeerWireTest::ringingDoesNotSpin()
{
    TestPhone b(LoopbackAddress(32), QStringLiteral("Bob"), Start::Listening);
    std::atomic<bool> stop { false };
    std::thread raw([&] {
        RawSocket s;
        s.ring(LoopbackAddress(33), b.address);
        while (!stop)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    });
    double cpu0 = 0, wall0 = 0, cpu = 0, wall = 0;
    QElapsedTimer clock;
    Script script;
    script
        .when([&] { return !b.phone->ringingFile().isEmpty(); },
            [&] {
                cpu0 = CpuSeconds();
                clock.start();
                wall0 = 0;
            })
        .when([&] { return clock.isValid() && clock.elapsed() > 1500; },
            [&] {
                cpu = CpuSeconds() - cpu0;
                wall = double(clock.elapsed()) / 1000.0 - wall0;
                b.phone->Command3_Click();
            });
    QVERIFY(WaitFor([&] { return script.done(); }));
    stop = true;
    raw.join();
    qInfo("ringing: %.3f s of CPU in %.3f s", cpu, wall);
    QVERIFY2(cpu < 0.5 * wall, "the ring loop spins");
}

void PeerWireTest::failedAcceptClosesTheListenerForGood()
{
    TestPhone b(LoopbackAddress(34), QStringLiteral("Bob"), Start::Listening);
    QVERIFY(b.phone->st.ListenSocket > 0);
    RawSocket first, second;
    first.prepare();
    second.prepare();
    // No descriptor left for the accepted call.
    NoDescriptorsLeft shortage;
    QVERIFY(shortage.taken());
    QVERIFY(first.connectTo(LoopbackAddress(35), b.address, 8002));
    const bool boxShown = WaitFor([&] { return !b.boxes.boxes.isEmpty(); }, 5000);
    shortage.release();
    QVERIFY(boxShown);
    QCOMPARE(b.boxes.texts(), QStringList { QStringLiteral("利用可能なファイル番号が存在しない。") });
    QCOMPARE(b.phone->st.ListenSocket, 0); // not a stale descriptor that exit would close again
    QVERIFY(!second.connectTo(LoopbackAddress(36), b.address, 8002)); // nobody listens any more
}

void PeerWireTest::overlongTextIsCut()
{
    TestPhone a(LoopbackAddress(37), QStringLiteral("Al"), Start::Listening);
    RawSocket listener;
    QVERIFY(listener.listenOn(LoopbackAddress(38), 8002));
    QByteArray afterRequest;
    std::atomic<bool> accepted { false }, done { false };
    RawSocket conn;
    std::thread raw([&] {
        conn = listener.accept(10000);
        conn.readExactly(2 * int(QStringLiteral("VOICEMSG:OK|Al|END").size()), 5000);
        accepted = true;
        afterRequest = conn.readFor(500);
        done = true;
    });
    a.main.setComboText(LoopbackAddress(38));
    a.phone->CLIBTN_Click();
    QVERIFY(WaitFor([&] { return accepted.load(); }));
    a.phone->st.SendText = QString(3000, QLatin1Char('z'));
    a.phone->net.SendTextMessage(a.phone->st.CallSocket);
    QVERIFY(WaitFor([&] { return done.load(); }));
    raw.join();
    QCOMPARE(afterRequest, Utf16(QString(2500, QLatin1Char('z'))));
}

void PeerWireTest::shortOfDescriptorsDuringACallBacksOff()
{
    TestPhone b(LoopbackAddress(39), QStringLiteral("Bob"), Start::Listening);
    RawSocket first, second;
    std::atomic<bool> talking { false };
    std::thread raw([&] {
        first.ring(LoopbackAddress(40), b.address);
        first.awaitAnswer();
        talking = true;
    });
    Script script;
    script.when([&] { return !b.phone->ringingFile().isEmpty(); }, [&] { b.phone->Command3_Click(); });
    QVERIFY(WaitFor([&] { return talking.load() && script.done() && b.phone->ringingFile().isEmpty(); }));
    raw.join();
    const int callSocket = b.phone->st.CallSocket;
    int events = 0;
    QObject::connect(b.phone.get(), &Phone::eventHandled, [&] { ++events; });

    // A second caller while no descriptor is left to take it with.
    second.prepare();
    NoDescriptorsLeft shortage;
    QVERIFY(shortage.taken());
    const bool connected = second.connectTo(LoopbackAddress(41), b.address, 8002);
    Pump(300);
    const int eventsWhileShort = events;
    shortage.release();
    QVERIFY(connected);
    qInfo("%d notifications in 300 ms without a descriptor to spare", eventsWhileShort);
    QVERIFY2(eventsWhileShort <= 3, qPrintable(QString::number(eventsWhileShort)));
    // Once there are descriptors again, the caller is taken and dropped.
    std::atomic<bool> dropped { false };
    std::thread waitDrop([&] { dropped = ClosedWithin(second, 5000); });
    QVERIFY(WaitFor([&] { return dropped.load(); }, 8000));
    waitDrop.join();
    QVERIFY(b.phone->st.VoiceMode);
    QCOMPARE(b.phone->st.CallSocket, callSocket);
    QVERIFY(b.phone->st.Listening && b.phone->st.ListenSocket > 0);
    QVERIFY(b.boxes.boxes.isEmpty());
}

void PeerWireTest::textsSplitAnywhereDecodeWhole()
{
    TestPhone b(LoopbackAddress(42), QStringLiteral("Bob"), Start::Listening);
    // More than one read's worth of characters, in one piece.
    const QString longName(3000, QChar(0x592A));
    RawSocket s, again;
    std::atomic<int> stage { 0 };
    auto waitStage = [&](int n) {
        while (stage.load() < n)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    };
    std::thread raw([&] {
        s.connectTo(LoopbackAddress(43), b.address, 8002);
        s.readExactly(22, 5000);
        // A character cut between two reads: the half read first waits for its other half.
        const QByteArray request = Utf16(QStringLiteral("xyzVOICEMSG:OK|Bob|END"));
        s.sendAll(request.left(5));
        waitStage(1);
        s.sendAll(request.mid(5));
        waitStage(2);
        s.reset();
        waitStage(3);
        again.connectTo(LoopbackAddress(43), b.address, 8002);
        again.readExactly(22, 5000);
        again.sendAll(Utf16(QStringLiteral("VOICEMSG:OK|") + longName + QStringLiteral("|END")));
        waitStage(4);
        again.reset();
    });
    QString first, second;
    Script script;
    script.when([&] { return b.phone->st.RecvText == QLatin1String("xy"); }, [&] { stage = 1; })
        .when([&] { return !b.phone->ringingFile().isEmpty(); },
            [&] {
                first = b.main.text1();
                stage = 2;
            })
        .when([&] { return b.phone->ringingFile().isEmpty() && b.phone->st.CallSocket == 0; },
            [&] { stage = 3; })
        .when([&] { return !b.phone->ringingFile().isEmpty(); },
            [&] {
                second = b.main.text1();
                stage = 4;
            });
    const bool done = WaitFor([&] { return script.done(); }, 15000);
    stage = 4;
    raw.join();
    QVERIFY(done);
    QCOMPARE(first, QStringLiteral("Bobさんからの電話です。"));
    QCOMPARE(second, longName + QStringLiteral("さんからの電話です。"));
}

void PeerWireTest::everyCallStartsOnABlockBoundary()
{
    TestPhone b(LoopbackAddress(44), QStringLiteral("Bob"), Start::Listening);
    for (int call = 0; call < 2; ++call) {
        RawSocket s;
        std::atomic<bool> sent { false };
        std::thread raw([&] {
            s.ring(LoopbackAddress(45), b.address);
            s.awaitAnswer();
            // The first call ends in the middle of a block, on an odd byte.
            if (call == 0)
                s.sendAll(QByteArray(3001, 'v'));
            else
                s.sendAll(NumberedBlock(1) + NumberedBlock(2));
            sent = true;
        });
        Script script;
        script.when([&] { return !b.phone->ringingFile().isEmpty(); }, [&] { b.phone->Command3_Click(); });
        QVERIFY(WaitFor([&] { return sent.load() && script.done(); }));
        raw.join();
        if (call == 0) {
            QVERIFY(WaitFor([&] { return b.phone->st.VoiceRecvCount == 3001; }));
            s.reset();
            QVERIFY(WaitFor([&] { return b.main.text1() == QStringLiteral("次の接続を待機します。"); }));
        } else {
            QVERIFY(WaitFor([&] { return b.playback.written.size() == 2; }));
            QCOMPARE(b.playback.written[0], NumberedBlock(1));
            QCOMPARE(b.playback.written[1], NumberedBlock(2));
            s.reset();
        }
    }
}

void PeerWireTest::messagesInOneReadAreHandledInOrder()
{
    TestPhone a(LoopbackAddress(49), QStringLiteral("Alice"), Start::Listening);
    const QByteArray greeting = Utf16(QStringLiteral("VOICEMSG:OK")),
                     blocks = NumberedBlock(1) + NumberedBlock(2);
    // A slow caller reads the greeting with the answer (direct and search
    // call), or the answer with the first voice (a piece, or one byte).
    for (int k = 0; k < 4; ++k) {
        const int withAnswer = k < 2 ? 0 : k == 2 ? 3001 : 1;
        RawCallee callee;
        const QByteArray answer = Utf16(QStringLiteral("CallAnswer|END"));
        callee.replies = k < 2 ? std::vector { greeting + answer }
                               : std::vector { greeting, answer + blocks.left(withAnswer) };
        callee.start(a, LoopbackAddress(50 + k));
        QObject guard; // a ring-back that never ends fails the test instead of hanging it
        QTimer::singleShot(8000, &guard, [&] { a.phone->st.RingStop = true; });
        a.main.setComboText(LoopbackAddress(50 + k));
        if (k == 1)
            a.phone->net.ConnectToPeer(a.phone->st.ExternalSocket, LoopbackAddress(50 + k));
        else
            a.phone->CLIBTN_Click();
        const bool talking
            = WaitFor([&] { return a.phone->st.VoiceMode && a.phone->ringingFile().isEmpty(); });
        callee.join();
        QVERIFY2(talking, qPrintable(QString::number(k)));
        a.playback.written.clear();
        QVERIFY(callee.conn.sendAll(blocks.mid(withAnswer)));
        QVERIFY2(WaitFor([&] { return a.playback.written.size() == 2; }), qPrintable(QString::number(k)));
        QCOMPARE(a.playback.written[0] + a.playback.written[1], blocks);
        callee.conn.close();
        QVERIFY(WaitFor([&] { return !a.phone->st.Connected; }));
    }
    // The called side: text that came before its answer is never voice,
    // even when its read event had not come yet.
    TestPhone b(LoopbackAddress(54), QStringLiteral("Bob"), Start::Listening);
    RawSocket s;
    QVERIFY(s.connectTo(LoopbackAddress(55), b.address, 8002));
    s.sendAll(Utf16(QStringLiteral("ANYBODYMSG:OK|Raw|END")));
    Script script;
    script.when([&] { return !b.phone->ringingFile().isEmpty(); },
        [&] {
            s.sendAll(Utf16(QStringLiteral("AnybadyConnect|Raw|M|30|hi|END")));
            b.phone->Command3_Click();
            s.sendAll(blocks);
        });
    QVERIFY(WaitFor([&] { return script.done() && b.playback.written.size() == 2; }));
    QCOMPARE(b.playback.written[0], NumberedBlock(1));
}

void PeerWireTest::hangUpAndExitHandOverWholeBlocks()
{
    TestPhone a(LoopbackAddress(56), QStringLiteral("Alice"), Start::Listening);
    QElapsedTimer sinceFirst;
    int firstSocket = 0;
    // Two search calls we hang up, the second on the first one's socket
    // number while the first one's drain time-out is pending; a direct call
    // whose peer ends its side but still reads; exit during a direct call.
    for (int call = 0; call < 4; ++call) {
        RawCallee callee;
        callee.start(a, LoopbackAddress(57 + call), 4096);
        AppState& st = a.phone->st;
        a.main.setComboText(LoopbackAddress(57 + call));
        if (call < 2)
            a.phone->net.ConnectToPeer(st.ExternalSocket, LoopbackAddress(57 + call));
        else
            a.phone->CLIBTN_Click();
        QVERIFY(WaitFor([&] { return st.VoiceMode && a.phone->ringingFile().isEmpty(); }));
        callee.join();
        firstSocket = call == 0 ? st.ExternalSocket : firstSocket;
        if (call == 1) // the precondition: the same number
            QCOMPARE(st.ExternalSocket, firstSocket);
        const int next = FillUntilDropping(a);
        a.capture.produce(Samples(next, 160)); // the last piece
        std::atomic<bool> go { call == 3 };
        std::pair<QByteArray, bool> got;
        std::thread peer([&] {
            while (!go)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            if (call == 3) { // it goes on talking and reads a little later
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                callee.conn.sendAll(QByteArray(4000, 'v'));
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
            }
            got = ReadToClose(callee.conn, 3000);
            callee.conn.close();
        });
        bool drained = true;
        if (call < 2) {
            a.phone->search.CallPlaced = true;
            a.phone->search.mnu_CLOSE_Click();
        } else if (call == 2) {
            ::shutdown(callee.conn.fd(), SHUT_WR);
        } else {
            a.phone->Command1_Click();
            a.phone.reset(); // and the program ends
        }
        if (call < 3) {
            // The rest of the block waits in the phone for the stalled peer
            // (the drain of a peer that closed may have ended if the kernel took it all).
            drained = WaitFor(
                [&] { return !st.Connected && (call == 2 || a.phone->net.drainingSockets() == 1); });
            if (call == 0)
                sinceFirst.start();
            if (call == 1) // the first drain's time-out passes meanwhile
                Pump(int(std::max<qint64>(0, kVoiceDrainMs + 200 - sinceFirst.elapsed())));
            go = true;
            drained = drained && WaitFor([&] { return a.phone->net.drainingSockets() == 0; });
        }
        go = true;
        peer.join();
        QVERIFY2(
            drained && got.second, qPrintable(QStringLiteral("call %1: no FIN after the voice").arg(call)));
        if (call < 2) // the profile a search call sends first
            got.first.remove(0, got.first.indexOf(Utf16(QStringLiteral("|END"))) + 8);
        QVERIFY2(got.first.size() % kVoiceBlockBytes == 0,
            qPrintable(QStringLiteral("call %1: %2 bytes").arg(call).arg(got.first.size())));
        while (got.first.endsWith(QByteArray(2, 0)))
            got.first.chop(2);
        QVERIFY2(got.first.endsWith(Samples(next, 160)), qPrintable(QString::number(call)));
        if (call == 0) // the next drain starts well after this one
            Pump(int(std::max<qint64>(0, 1500 - sinceFirst.elapsed())));
    }
}

// A Voxlet that offers HD, with a peer of the old protocol: called by it,
// the bytes are today's; calling it, so are they but for the offer in the
// request. Either way raw PCM goes both ways, and whole blocks at the end.
void PeerWireTest::oldStylePeerMeetsAnHdVoxletAsBefore()
{
    const QByteArray blocks = NumberedBlock(1) + NumberedBlock(2), voice = Samples(1, kVoiceBlockBytes);
    // Called by the old-style peer.
    TestPhone b(LoopbackAddress(62), QStringLiteral("Bob"), Start::Listening, Offers::Hd);
    QByteArray greeting, answer;
    std::pair<QByteArray, bool> heard;
    std::atomic<bool> answered { false };
    std::thread raw([&] {
        RawSocket s;
        s.connectTo(LoopbackAddress(63), b.address, 8002);
        greeting = s.readExactly(22, 5000);
        s.sendAll(Utf16(QStringLiteral("VOICEMSG:OK|Raw|END")));
        answer = s.readExactly(28, 10000);
        answered = true;
        s.sendAll(blocks);
        heard = ReadToClose(s, 10000);
    });
    Script script;
    script.when([&] { return !b.phone->ringingFile().isEmpty(); }, [&] { b.phone->Command3_Click(); });
    QVERIFY(WaitFor([&] { return answered && b.playback.written.size() == 2; }));
    QCOMPARE(b.main.protection(), QStringLiteral("暗号化なし"));
    QVERIFY(b.capture.produce(voice));
    Pump(100);
    b.phone->Command1_Click();
    raw.join();
    QCOMPARE(greeting, Utf16(QStringLiteral("VOICEMSG:OK")));
    QCOMPARE(answer, Utf16(QStringLiteral("CallAnswer|END")));
    QCOMPARE(b.playback.written[0] + b.playback.written[1], blocks);
    QVERIFY(heard.second);
    QCOMPARE(heard.first, voice);

    // Calling it.
    TestPhone a(LoopbackAddress(64), QStringLiteral("Alice"), Start::Listening, Offers::Hd);
    RawCallee callee;
    callee.start(a, LoopbackAddress(65));
    a.main.setComboText(LoopbackAddress(65));
    a.phone->CLIBTN_Click();
    QVERIFY(WaitFor([&] { return a.phone->st.VoiceMode && a.phone->ringingFile().isEmpty(); }));
    callee.join();
    // Today's request, but for the commitment to a key in its offer.
    QCOMPARE(FromUtf16(callee.request).remove(QRegularExpression(QStringLiteral(";c=[0-9a-f]{64}"))),
        QStringLiteral("VOICEMSG:OK|Alice|vx1;codec=opus16|END"));
    QVERIFY(a.capture.voice == kPlainVoice);
    QVERIFY(WaitFor([&] { return a.main.protection() == QStringLiteral("暗号化なし"); }));
    QVERIFY(callee.conn.sendAll(blocks));
    QVERIFY(WaitFor([&] { return a.playback.written.size() == 2; }));
    QCOMPARE(a.playback.written[0] + a.playback.written[1], blocks);
    QVERIFY(a.capture.produce(voice.left(3000)));
    a.phone->Command1_Click();
    heard = ReadToClose(callee.conn, 5000);
    QVERIFY(heard.second);
    QCOMPARE(heard.first, voice.left(3000) + QByteArray(kVoiceBlockBytes - 3000, 0));
}

QTEST_GUILESS_MAIN(PeerWireTest)
#include "peer_wire_test.moc"
