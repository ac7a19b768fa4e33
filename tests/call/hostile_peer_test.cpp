// A phone against peers and servers that do not play by the rules, on real
// loopback sockets: floods of connections, endless text, voice faster than
// real time, damaged messages, resets in every call state, a peer that stops
// reading, connection servers that answer badly or never. The phone must
// stay responsive, keep its memory bounded and come back to idle.

#include "call/call_state.h"
#include "call/voice_frames.h"
#include "net/socket_layer.h"
#include "support/raw_peer.h"
#include "support/test_phone.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QRandomGenerator>
#include <QTest>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace voxlet;
using namespace voxlet::test;

namespace {

const QString kWaiting = QStringLiteral("次の接続を待機します。");
const QString kBusy = QStringLiteral("話し中等で接続できません。");

int OpenDescriptors()
{
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d))
            ++n;
        ::closedir(d);
    }
    return n;
}

bool IsIdle(const TestPhone& t)
{
    const AppState& st = t.phone->st;
    return CurrentCallState(st, !t.phone->ringingFile().isEmpty()).phase == CallPhase::Listening
        && !st.VoiceMode && !st.Connected && !st.CallerAccepted && t.main.isEnabled(Control::CLIBTN);
}

bool Ringing(const TestPhone& t)
{
    return !t.phone->ringingFile().isEmpty();
}

// A raw caller rings `b`: connects, takes the greeting, sends a request.
int RingAsCaller(const TestPhone& b, const QString& from, const QString& name = QStringLiteral("Evil"))
{
    const int fd = RawConnect(from, b.address);
    if (fd < 0 || !Receive(fd, QStringLiteral("VOICEMSG:OK")))
        return -1;
    SendAll(fd, Utf16(QStringLiteral("VOICEMSG:OK|") + name + QStringLiteral("|END")));
    return fd;
}

} // namespace

class HostilePeerTest : public QObject {
    Q_OBJECT
private slots:
    void connectionFloodDuringCall();
    void endlessTextWhileRinging();
    void voiceFasterThanRealTime();
    void resetWhileTheRingBackPlays();
    void peerThatStopsReading();
    void silentConnectionServer();
    void requestsWhileRingingNeverNest();
    void exitEndsTheProgramInEveryState();
    void offersThatMakeNoSenseGetAPlainCall_data();
    void offersThatMakeNoSenseGetAPlainCall();
    void answersAndFramesThatMakeNoSenseEndTheCall_data();
    void answersAndFramesThatMakeNoSenseEndTheCall();
    void cleanupTestCase();
};

void HostilePeerTest::connectionFloodDuringCall()
{
    TestPhone a(LoopbackAddress(2), QStringLiteral("Alice"), Start::Listening);
    TestPhone b(LoopbackAddress(3), QStringLiteral("Bob"), Start::Listening);
    QVERIFY(EstablishCall(*a.phone, a.main, *b.phone, b.address));
    const int callSocket = b.phone->st.CallSocket;

    // Ten thousand callers knock while Alice talks; every tenth batch she sends a block.
    const QString flooder = LoopbackAddress(4);
    const sockaddr_in target = SocketAddress(b.address, 8002);
    int attempts = 0, established = 0, blocks = 0;
    for (int batch = 0; attempts < 10000; ++batch) {
        std::vector<int> fds;
        for (int i = 0; i < 100; ++i, ++attempts) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            const sockaddr_in own = SocketAddress(flooder, 0);
            ::bind(fd, reinterpret_cast<const sockaddr*>(&own), sizeof own);
            ::connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target);
            fds.push_back(fd);
        }
        QCoreApplication::processEvents();
        for (int fd : fds) {
            pollfd p { fd, POLLOUT, 0 };
            if (::poll(&p, 1, 0) == 1 && (p.revents & POLLOUT) && !(p.revents & (POLLERR | POLLHUP)))
                ++established;
            ::close(fd);
        }
        if (batch % 10 == 0 && a.capture.produce(TestVoiceBlock(blocks)))
            ++blocks;
        QCoreApplication::processEvents();
    }
    QVERIFY(blocks >= 9);
    QVERIFY(WaitFor([&] { return int(b.playback.written.size()) == blocks; }, 30000));
    for (int i = 0; i < blocks; ++i)
        QCOMPARE(b.playback.written[size_t(i)], TestVoiceBlock(i));
    QVERIFY(b.phone->st.VoiceMode && a.phone->st.VoiceMode);
    QCOMPARE(b.phone->st.CallSocket, callSocket);
    QCOMPARE(b.phone->st.PeerAddress, a.address);
    std::printf("survived %d connection attempts (%d established) during a call; %d blocks arrived whole and "
                "in order; VmHWM %ld kB\n",
        attempts, established, blocks, StatusKb("VmHWM:"));
}

void HostilePeerTest::endlessTextWhileRinging()
{
    TestPhone b(LoopbackAddress(5), QStringLiteral("Bob"), Start::Listening);
    int fd = RingAsCaller(b, LoopbackAddress(6));
    QVERIFY(fd >= 0);

    qsizetype longestText = 0;
    QObject::connect(b.phone.get(), &Phone::eventHandled,
        [&] { longestText = std::max(longestText, b.phone->st.RecvText.size()); });

    const qint64 total = 10 * 1024 * 1024;
    qint64 sent = 0;
    int probe = -1;
    bool probeRefused = false;
    const long hwmBefore = StatusKb("VmHWM:");
    const QByteArray chunk = Utf16(QString(32768, QLatin1Char('x')));
    // Runs inside the ring loop: the flood goes on while the phone rings.
    QTimer flood;
    flood.setInterval(1);
    QObject::connect(&flood, &QTimer::timeout, [&] {
        while (sent < total) {
            const ssize_t n = ::send(
                fd, chunk.constData(), size_t(std::min<qint64>(chunk.size(), total - sent)), MSG_NOSIGNAL);
            if (n <= 0)
                break;
            sent += n;
        }
        // Halfway, another caller: the phone must still take and drop it.
        if (probe < 0 && sent > total / 2)
            probe = RawConnect(LoopbackAddress(7), b.address);
        if (probe >= 0 && !probeRefused) {
            QByteArray ignored;
            probeRefused = !ReadAvailable(probe, ignored);
        }
        if (sent >= total && probeRefused) {
            flood.stop();
            Reset(fd);
        }
    });
    Script s;
    s.when([&] { return Ringing(b); }, [&] { flood.start(); });
    QVERIFY(WaitFor([&] { return s.done() && fd < 0 && IsIdle(b); }, 120000));
    QCOMPARE(b.main.text1(), kWaiting);
    QCOMPARE(sent, total);
    QVERIFY(probeRefused);
    ::close(probe);
    // Each read event takes a bounded slice (the bound, plus at most one
    // read of the 4999-byte receive buffer); nothing of it is kept.
    QVERIFY(longestText <= (kTextReadBytesPerEvent + 4999) / 2);
    QVERIFY(longestText > 0);
    std::printf("survived %lld bytes of endless text while ringing; longest read %lld characters; "
                "VmHWM %ld kB -> %ld kB\n",
        sent, qlonglong(longestText), hwmBefore, StatusKb("VmHWM:"));
}

void HostilePeerTest::voiceFasterThanRealTime()
{
    TestPhone b(LoopbackAddress(8), QStringLiteral("Bob"), Start::Listening);
    // A caller with a tiny receive window that will not read our voice for a while.
    int fd = RawConnect(LoopbackAddress(9), b.address, 8002, 4096);
    QVERIFY(fd >= 0);
    QVERIFY(Receive(fd, QStringLiteral("VOICEMSG:OK")));
    SendAll(fd, Utf16(QStringLiteral("VOICEMSG:OK|Evil|END")));
    Script s;
    s.when([&] { return Ringing(b); }, [&] { b.phone->Command3_Click(); });
    QVERIFY(WaitFor([&] { return s.done() && b.phone->st.VoiceMode && !Ringing(b); }));
    QVERIFY(Receive(fd, QStringLiteral("CallAnswer|END")));

    // 300 blocks (2.5 minutes of voice) at once, in odd-sized pieces.
    const int incoming = 300;
    QByteArray stream;
    for (int i = 0; i < incoming; ++i)
        stream += TestVoiceBlock(i);
    // Meanwhile our microphone keeps producing for a peer that does not read.
    int produced = 0;
    for (qsizetype at = 0; at < stream.size(); at += 3001) {
        SendAll(fd, stream.mid(at, 3001));
        if (at % (3001 * 8) == 0 && b.capture.produce(TestVoiceBlock(1000 + produced)))
            ++produced;
    }
    QVERIFY(WaitFor([&] { return int(b.playback.written.size()) == incoming; }, 60000));
    for (int i = 0; i < incoming; ++i)
        QCOMPARE(b.playback.written[size_t(i)], TestVoiceBlock(i));

    // What waited for the peer stayed bounded: stale voice was dropped (the
    // order and wholeness of what is kept is the peer-wire test's concern).
    QVERIFY(b.phone->net.droppedVoiceBytes() > 0);
    QByteArray got;
    WaitFor(
        [&] {
            ReadAvailable(fd, got);
            return false;
        },
        1000);
    QVERIFY(got.size() > 0);
    QVERIFY(std::uint64_t(got.size()) + b.phone->net.droppedVoiceBytes()
        <= std::uint64_t(produced) * kVoiceBlockBytes);
    QVERIFY(b.phone->st.VoiceMode);
    Reset(fd);
    QVERIFY(WaitFor([&] { return IsIdle(b); }));
    QCOMPARE(b.main.text1(), kWaiting);
    std::printf("survived %d voice blocks at once; captured %d, the peer read %lld bytes, %llu dropped; "
                "VmHWM %ld kB\n",
        incoming, produced, qlonglong(got.size()), qulonglong(b.phone->net.droppedVoiceBytes()),
        StatusKb("VmHWM:"));
}

void HostilePeerTest::resetWhileTheRingBackPlays()
{
    // The loop that plays the ring-back ends on a reset, and the dial is over.
    TestPhone a(LoopbackAddress(14), QStringLiteral("Alice"), Start::Listening);
    const QString peer = LoopbackAddress(15);
    const int listener = RawListen(peer, 8002);
    QVERIFY(listener >= 0);
    a.main.setComboText(QStringLiteral("1 Peer ") + peer);
    a.phone->CLIBTN_Click();
    int fd = RawAccept(listener);
    QVERIFY(Receive(fd, QStringLiteral("VOICEMSG:OK|Alice|END")));
    SendAll(fd, Utf16(QStringLiteral("VOICEMSG:OK")));
    Script s;
    s.when([&] { return a.phone->ringingFile() == QLatin1String("Ans.wav"); }, [&] { Reset(fd); });
    QVERIFY(WaitFor([&] { return s.done() && IsIdle(a); }));
    QCOMPARE(a.main.text1(), kBusy);
    QVERIFY(!a.phone->st.OutgoingCall);
    QVERIFY(a.main.isEnabled(Control::mnu_Searh));
    ::close(listener);
}

void HostilePeerTest::peerThatStopsReading()
{
    // A caller that is answered and then neither reads nor closes (a machine
    // that froze or left the network): the phone must not talk into it forever.
    TestPhone b(LoopbackAddress(16), QStringLiteral("Bob"), Start::Listening);
    int fd = RawConnect(LoopbackAddress(17), b.address, 8002, 4096);
    QVERIFY(Receive(fd, QStringLiteral("VOICEMSG:OK")));
    SendAll(fd, Utf16(QStringLiteral("VOICEMSG:OK|Frozen|END")));
    Script s;
    s.when([&] { return Ringing(b); }, [&] { b.phone->Command3_Click(); });
    QVERIFY(WaitFor([&] { return s.done() && b.phone->st.VoiceMode; }));
    // Our microphone goes on at its pace; the blocks pile up in the kernel
    // until the peer's window and our send buffer are full.
    int produced = 0;
    QTimer microphone;
    microphone.setInterval(20);
    QObject::connect(&microphone, &QTimer::timeout, [&] {
        if (b.capture.produce(TestVoiceBlock(produced)))
            ++produced;
    });
    microphone.start();
    const long hwmBefore = StatusKb("VmHWM:");
    QVERIFY2(
        WaitFor([&] { return IsIdle(b); }, 180000), "the call to a peer that stopped reading never ended");
    microphone.stop();
    QCOMPARE(b.main.text1(), kWaiting);
    std::printf(
        "a peer that stopped reading was dropped after %d blocks (%llu bytes dropped); VmHWM %ld kB -> "
        "%ld kB\n",
        produced, qulonglong(b.phone->net.droppedVoiceBytes()), hwmBefore, StatusKb("VmHWM:"));
    ::close(fd);
}

void HostilePeerTest::silentConnectionServer()
{
    TestPhone b(LoopbackAddress(18), QStringLiteral("Bob"));
    const QString serverAddress = LoopbackAddress(19);
    b.writeProfile(QStringLiteral("Bob"), serverAddress);
    b.startAndListen();
    const int listener = RawListen(serverAddress, 8003);
    QVERIFY(listener >= 0);
    b.phone->search.Form_Load();
    b.phone->search.Form_Activate();
    // A server that accepts and never answers, asked again and again (as the
    // re-registration timer does): the phone must not pile up connections.
    const int descriptorsBefore = OpenDescriptors();
    std::vector<int> held;
    for (int i = 0; i < 50; ++i) {
        b.phone->search.mnu_Connect_Click();
        held.push_back(RawAccept(listener));
    }
    QCoreApplication::processEvents();
    const int descriptorsAfter = OpenDescriptors();
    // Our 50 held server ends, plus at most the one exchange still open.
    QVERIFY2(descriptorsAfter - descriptorsBefore <= 50 + 2,
        qPrintable(QStringLiteral("%1 -> %2 descriptors").arg(descriptorsBefore).arg(descriptorsAfter)));
    for (int h : held)
        ::close(h);
    QVERIFY(WaitFor([&] { return b.phone->st.ServerSocket == 0; }));
    QVERIFY(b.phone->st.Listening);
    ::close(listener);
    std::printf("survived 50 silent exchanges (descriptors %d -> %d with 50 held by the server); %d boxes\n",
        descriptorsBefore, descriptorsAfter, int(b.boxes.boxes.size()));
}

void HostilePeerTest::requestsWhileRingingNeverNest()
{
    TestPhone b(LoopbackAddress(22), QStringLiteral("Bob"), Start::Listening);
    int fd = RingAsCaller(b, LoopbackAddress(23));
    QVERIFY(fd >= 0);
    constexpr int kRequests = 10000;
    int handled = 0, handledAtSend = 0, sent = 0;
    const char* base = nullptr;
    std::ptrdiff_t deepest = 0;
    QObject::connect(b.phone.get(), &Phone::eventHandled, [&] {
        const char here = 0;
        if (base)
            deepest = std::max(deepest, base - &here);
        ++handled;
    });
    long rssBefore = 0;
    // Each request in a read of its own: the next goes once the last was read.
    QTimer pump;
    pump.setInterval(0);
    QObject::connect(&pump, &QTimer::timeout, [&] {
        if (sent < kRequests && handled > handledAtSend) {
            handledAtSend = handled;
            ++sent;
            SendAll(fd, Utf16(QStringLiteral("VOICEMSG:OK|Evil%1|END").arg(sent)));
        }
    });
    bool heard = false;
    Script s;
    s.when([&] { return Ringing(b); },
         [&] {
             const char here = 0;
             base = &here;
             rssBefore = StatusKb("VmRSS:");
             handledAtSend = handled - 1;
             pump.start();
         })
        .when([&] { return sent == kRequests && handled > handledAtSend; },
            [&] {
                pump.stop();
                // Still one ring, for the latest name; and the user can answer.
                QCOMPARE(b.main.text1(), QStringLiteral("Evil%1さんからの電話です。").arg(kRequests));
                b.phone->Command3_Click();
            })
        .when([&] { return !Ringing(b) && b.phone->st.VoiceMode; },
            [&] { heard = Receive(fd, QStringLiteral("CallAnswer|END")); });
    QVERIFY(WaitFor([&] { return s.done(); }, 240000));
    QVERIFY(heard);
    const long rssAfter = StatusKb("VmRSS:");
    std::printf("%d requests while ringing, each in its own read: deepest stack %td bytes, VmRSS %ld kB -> "
                "%ld kB\n",
        sent, deepest, rssBefore, rssAfter);
    QVERIFY2(deepest < 256 * 1024, qPrintable(QString::number(deepest)));
    QVERIFY2(rssAfter - rssBefore < 64 * 1024, qPrintable(QString::number(rssAfter - rssBefore)));
    Reset(fd);
    QVERIFY(WaitFor([&] { return IsIdle(b); }));
}

void HostilePeerTest::exitEndsTheProgramInEveryState()
{
    // The program's loop stands in for QApplication::exec: "終了" queues its
    // end, and whatever runs nested inside it must give way within a second.
    struct State {
        const char* name;
        std::function<void(TestPhone&, std::vector<int>&)> setUp;
        std::function<bool(TestPhone&, std::vector<int>&)> reached;
    };
    const QString peer = LoopbackAddress(24);
    const int listener = RawListen(peer, 8002);
    QVERIFY(listener >= 0);
    auto dialPeer = [&](TestPhone& t, std::vector<int>&) {
        t.main.setComboText(QStringLiteral("1 Peer ") + peer);
        t.phone->CLIBTN_Click();
    };
    auto ring
        = [&](TestPhone& t, std::vector<int>& fds) { fds.push_back(RingAsCaller(t, LoopbackAddress(25))); };
    const std::vector<State> states = {
        { "idle", [](TestPhone& t, std::vector<int>&) { t.phone->Form_Load(); },
            [](TestPhone&, std::vector<int>&) { return true; } },
        { "listening", [](TestPhone& t, std::vector<int>&) { t.startAndListen(); },
            [](TestPhone& t, std::vector<int>&) { return t.phone->st.Listening; } },
        { "dialling",
            [&](TestPhone& t, std::vector<int>& fds) {
                t.startAndListen();
                dialPeer(t, fds);
            },
            [](TestPhone& t, std::vector<int>&) { return t.phone->st.CallSocket != 0; } },
        { "ringing",
            [&](TestPhone& t, std::vector<int>& fds) {
                t.startAndListen();
                ring(t, fds);
            },
            [](TestPhone& t, std::vector<int>&) { return Ringing(t); } },
        { "ringing, asked twice",
            [&](TestPhone& t, std::vector<int>& fds) {
                t.startAndListen();
                ring(t, fds);
            },
            [asked = false](TestPhone& t, std::vector<int>& fds) mutable {
                if (Ringing(t) && !asked) {
                    asked = true;
                    SendAll(fds.back(), Utf16(QStringLiteral("VOICEMSG:OK|Again|END")));
                }
                return Ringing(t) && t.main.text1() == QStringLiteral("Againさんからの電話です。");
            } },
        { "ring-back",
            [&](TestPhone& t, std::vector<int>& fds) {
                t.startAndListen();
                dialPeer(t, fds);
                const int fd = RawAccept(listener);
                fds.push_back(fd);
                SendAll(fd, Utf16(QStringLiteral("VOICEMSG:OK")));
            },
            [](TestPhone& t, std::vector<int>&) {
                return t.phone->ringingFile() == QLatin1String("Ans.wav");
            } },
        { "talking",
            [&](TestPhone& t, std::vector<int>& fds) {
                t.startAndListen();
                ring(t, fds);
            },
            [](TestPhone& t, std::vector<int>&) {
                if (Ringing(t) && !t.phone->st.VoiceMode)
                    t.phone->Command3_Click();
                return t.phone->st.VoiceMode && !Ringing(t);
            } },
        { "search window open",
            [](TestPhone& t, std::vector<int>&) {
                t.startAndListen();
                t.phone->search.Form_Load();
                t.phone->search.Form_Activate();
            },
            [](TestPhone& t, std::vector<int>&) { return t.phone->st.SearchOpen; } },
    };
    for (std::size_t i = 0; i < states.size(); ++i) {
        const State& state = states[i];
        TestPhone t(LoopbackAddress(int(26 + i)), QStringLiteral("Bob"));
        std::vector<int> fds;
        QEventLoop program;
        QElapsedTimer sinceExit;
        bool stuck = false;
        QTimer watchdog;
        watchdog.setInterval(5);
        QObject::connect(&watchdog, &QTimer::timeout, [&] {
            if (sinceExit.elapsed() < 1000)
                return;
            // Unwind whatever still runs, so that the test can report it.
            stuck = true;
            t.phone->st.RingStop = true;
        });
        Script s;
        s.then([&] { state.setUp(t, fds); })
            .when([&] { return state.reached(t, fds); },
                [&] {
                    sinceExit.start();
                    watchdog.start();
                    t.phone->Command1_Click();
                    QMetaObject::invokeMethod(&program, &QEventLoop::quit, Qt::QueuedConnection);
                });
        QTimer::singleShot(30000, &program, [&] {
            stuck = true;
            program.quit();
        });
        program.exec();
        const qint64 took = sinceExit.isValid() ? sinceExit.elapsed() : -1;
        watchdog.stop();
        std::printf("exit while %s: the program's loop ended after %lld ms\n", state.name, took);
        QVERIFY2(s.done() && t.main.unloaded, state.name);
        QVERIFY2(!stuck, state.name);
        QVERIFY2(t.phone->ringingFile().isEmpty(), state.name);
        for (int fd : fds)
            ::close(fd);
        for (int fd; (fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;)
            ::close(fd);
    }
    ::close(listener);
}

void HostilePeerTest::offersThatMakeNoSenseGetAPlainCall_data()
{
    QTest::addColumn<QString>("offer");
    QTest::newRow("a key without a value") << QStringLiteral("vx1;codec");
    QTest::newRow("a version to come") << QStringLiteral("vx2;codec=opus16");
    QTest::newRow("a key twice") << QStringLiteral("vx1;codec=opus16;codec=opus16");
    QTest::newRow("no codec this phone speaks") << QStringLiteral("vx1;codec=g722");
    QTest::newRow("not an offer's characters") << QStringLiteral("vx1;codec=OPUS16");
}

void HostilePeerTest::offersThatMakeNoSenseGetAPlainCall()
{
    QFETCH(QString, offer);
    TestPhone b(LoopbackAddress(70), QStringLiteral("Bob"), Start::Listening, Offers::Hd);
    const int fd = RingAsCaller(b, LoopbackAddress(71), QStringLiteral("Evil|") + offer);
    QVERIFY(fd >= 0);
    Script s;
    s.when([&] { return Ringing(b); }, [&] { b.phone->Command3_Click(); });
    QByteArray got;
    QVERIFY(WaitFor([&] { return s.done(); }));
    QVERIFY(Receive(fd, QStringLiteral("CallAnswer|END"), &got));
    QCOMPARE(got, Utf16(QStringLiteral("CallAnswer|END")));
    QCOMPARE(b.main.texts.last(), QStringLiteral("Evilさんからの電話です。"));
    QVERIFY(b.capture.voice == kPlainVoice && b.phone->st.VoiceMode);
    ::close(fd);
}

void HostilePeerTest::answersAndFramesThatMakeNoSenseEndTheCall_data()
{
    const auto frame = [](int type, int payload) {
        QByteArray f;
        frames::AppendFrame(f, std::uint8_t(type), QByteArray(payload, '\x55'));
        return f;
    };
    const QByteArray hd = Utf16(QStringLiteral("CallAnswer|vx1;codec=opus16|END"));
    const QString answer = QStringLiteral("相手の応答を理解できないため切断しました。");
    const QString tooLong = QStringLiteral("相手の音声フレームが長すぎるため切断しました。");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("why");
    QTest::newRow("answer of a version to come")
        << Utf16(QStringLiteral("CallAnswer|vx2;codec=opus16|END")) << answer;
    QTest::newRow("answer naming no codec offered")
        << Utf16(QStringLiteral("CallAnswer|vx1;codec=pcm8|END")) << answer;
    QTest::newRow("answer of garbage") << Utf16(QStringLiteral("CallAnswer|vx1;;|END")) << answer;
    QTest::newRow("packet beyond Opus's largest") << hd + frame(frames::kOpusPacket, 1280) << tooLong;
    QTest::newRow("frame beyond any") << hd + frame(frames::kOpusPacket, 1400) << tooLong;
    QTest::newRow("unknown frame type")
        << hd + frame(0x05, 60) << QStringLiteral("相手の音声フレームの種類が不明なため切断しました。");
    QTest::newRow("empty frame") << hd + QByteArray(2, '\0')
                                 << QStringLiteral("相手の音声データが壊れているため切断しました。");
}

void HostilePeerTest::answersAndFramesThatMakeNoSenseEndTheCall()
{
    QFETCH(QByteArray, reply);
    QFETCH(QString, why);
    TestPhone a(LoopbackAddress(72), QStringLiteral("Alice"), Start::Listening, Offers::Hd);
    const int listener = RawListen(LoopbackAddress(73), 8002);
    QVERIFY(listener >= 0);
    int fd = -1;
    Script s;
    s.then([&] {
         a.main.setComboText(LoopbackAddress(73));
         a.phone->CLIBTN_Click();
     })
        .when([&] { return (fd = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK)) >= 0; },
            [&] { SendAll(fd, Utf16(QStringLiteral("VOICEMSG:OK"))); })
        .when(
            [&] { return a.phone->ringingFile() == QLatin1String("Ans.wav"); }, [&] { SendAll(fd, reply); });
    QVERIFY(WaitFor([&] { return s.done() && a.main.text1() == why; }));
    QVERIFY(!a.phone->st.VoiceMode && a.phone->st.CallSocket == 0 && IsIdle(a));
    QCOMPARE(a.playback.writes, 0); // nothing of it played
    QByteArray rest;
    QVERIFY(WaitFor([&] { return !ReadAvailable(fd, rest); })); // and the connection ends
    ::close(fd);
    ::close(listener);
}

void HostilePeerTest::cleanupTestCase()
{
    std::printf("peak memory of the whole run: VmHWM %ld kB\n", StatusKb("VmHWM:"));
}

QTEST_GUILESS_MAIN(HostilePeerTest)
#include "hostile_peer_test.moc"
