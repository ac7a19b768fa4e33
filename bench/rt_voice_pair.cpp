// The real-time voice path on its own, one way: A's microphone, captured in
// 20 ms pieces and sent as they come over TCP, to B, which plays them through
// the jitter buffer on its speaker. No call logic and no windows: it times
// the new components before they carry a real call.
//
//   rt_voice_pair --mic-a ID --speaker-b ID [--seconds N] [--via HOST:PORT]
//                 [--listen HOST:PORT] [--blocks]
//
// B listens on --listen (default 127.253.0.3:0); A dials --via when given (a
// relay that forwards to B) or B itself. --blocks makes A send 8000-byte
// blocks every half second, as the old voice path does. Prints "LISTENING
// host:port", "CONNECTED", then a line per second with the jitter buffer's
// delay, target and counters, "RECOVERED <ms>" after each underrun once the
// delay is back at its target, and "DONE ..." at the end.

#include "audio/pulse/pulse_context.h"
#include "audio/pulse/pulse_voice.h"
#include "net/voice_sender.h"
#include "net/voice_socket_options.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace voxlet;
using namespace voxlet::pulse;

namespace {

sockaddr_in Address(const QString& text)
{
    sockaddr_in a {};
    a.sin_family = AF_INET;
    const int colon = int(text.lastIndexOf(QLatin1Char(':')));
    inet_pton(AF_INET, text.left(colon).toLatin1().constData(), &a.sin_addr);
    a.sin_port = htons(quint16(text.mid(colon + 1).toUInt()));
    return a;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser args;
    args.addOptions({ { "mic-a", "A's microphone", "id" }, { "speaker-b", "B's speaker", "id" },
        { "seconds", "how long to talk", "n", "30" }, { "via", "dial this instead of B", "host:port" },
        { "listen", "B's address", "host:port", "127.253.0.3:0" },
        { "blocks", "A sends 8000-byte blocks every half second" } });
    args.process(app);
    const bool blocks = args.isSet("blocks");

    PulseContext context;
    if (!context.waitUntilReady(5000)) {
        std::fprintf(stderr, "no sound server\n");
        return 1;
    }

    // B: listens, plays what arrives.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in at = Address(args.value("listen"));
    socklen_t len = sizeof at;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at) < 0 || ::listen(listener, 1) < 0) {
        std::perror("listen");
        return 1;
    }
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&at), &len);
    char host[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &at.sin_addr, host, sizeof host);
    std::printf("LISTENING %s:%d\n", host, ntohs(at.sin_port));
    std::fflush(stdout);

    PulsePlayback playback(context, args.value("speaker-b").toLatin1());
    playback.start(kPlainVoice);
    int b = -1;
    std::unique_ptr<QSocketNotifier> bRead;
    QSocketNotifier accepting(listener, QSocketNotifier::Read);
    QObject::connect(&accepting, &QSocketNotifier::activated, [&] {
        b = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK);
        if (b < 0)
            return;
        accepting.setEnabled(false);
        bRead = std::make_unique<QSocketNotifier>(b, QSocketNotifier::Read);
        QObject::connect(bRead.get(), &QSocketNotifier::activated, [&] {
            char buffer[16384];
            const ssize_t got = ::recv(b, buffer, sizeof buffer, 0);
            if (got > 0)
                playback.write(buffer, int(got));
            else if (got == 0 || (errno != EAGAIN && errno != EINTR))
                bRead->setEnabled(false);
        });
    });

    // A: captures and sends as it comes (or in blocks, like the old path).
    const int a = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    SetVoiceSocketOptions(a);
    const sockaddr_in to = args.isSet("via") ? Address(args.value("via")) : at;
    ::connect(a, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    VoiceSender sender(blocks ? 16000 : 1600);
    QSocketNotifier aWrite(a, QSocketNotifier::Write);
    bool connected = false;
    auto flush = [&] {
        while (connected && sender.unsentBytes() > 0) {
            const ssize_t n = ::send(a, sender.unsent(), size_t(sender.unsentBytes()), MSG_NOSIGNAL);
            if (n <= 0)
                break;
            sender.sent(int(n));
        }
        aWrite.setEnabled(!connected || sender.unsentBytes() > 0);
    };
    QObject::connect(&aWrite, &QSocketNotifier::activated, [&] {
        if (!connected) {
            connected = true;
            std::printf("CONNECTED\n");
            std::fflush(stdout);
        }
        flush();
    });
    QByteArray block;
    PulseCapture capture(context, args.value("mic-a").toLatin1());
    capture.start(kPlainVoice, [&](const char* data, int bytes) {
        if (!connected)
            return;
        if (blocks) {
            block.append(data, bytes);
            if (block.size() < 8000)
                return;
            sender.capture(block.constData(), 8000);
            block.remove(0, 8000);
        } else {
            sender.capture(data, bytes);
        }
        flush();
    });

    // Once a second the counters; after each underrun, how long until the
    // delay is back at its target (within 20 ms), to 50 ms.
    QElapsedTimer clock;
    clock.start();
    std::uint64_t underruns = 0;
    qint64 ranDryAt = -1;
    QTimer watch;
    int ticks = 0;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        const PlaybackStats s = playback.stats();
        if (s.underruns > underruns) {
            underruns = s.underruns;
            ranDryAt = clock.elapsed();
        } else if (ranDryAt >= 0 && s.playing && std::llabs(s.delayUs - s.targetUs) <= 20000) {
            std::printf("RECOVERED %lld\n", clock.elapsed() - ranDryAt);
            ranDryAt = -1;
        }
        if (++ticks % 20 == 0) {
            std::printf("t=%llds delay=%lldms target=%lldms underruns=%llu dropped=%llu inserted=%llu "
                        "sender-drops=%llu\n",
                (long long)clock.elapsed() / 1000, (long long)s.delayUs / 1000, (long long)s.targetUs / 1000,
                (unsigned long long)s.underruns, (unsigned long long)s.droppedSamples,
                (unsigned long long)s.insertedSamples, (unsigned long long)sender.drops());
            std::fflush(stdout);
        }
    });
    watch.start(50);

    QTimer::singleShot(args.value("seconds").toInt() * 1000, &app, [&] {
        const PlaybackStats s = playback.stats();
        rusage use {};
        getrusage(RUSAGE_SELF, &use);
        const double cpu = double(use.ru_utime.tv_sec + use.ru_stime.tv_sec)
            + double(use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
        std::printf(
            "DONE seconds=%lld cpu=%.2f%% sent=%llu underruns=%llu dropped=%llu inserted=%llu target=%lldms "
            "sender-dropped=%llu\n",
            (long long)clock.elapsed() / 1000, 100.0 * cpu / (double(clock.elapsed()) / 1000.0),
            (unsigned long long)sender.sentBytes(), (unsigned long long)s.underruns,
            (unsigned long long)s.droppedSamples, (unsigned long long)s.insertedSamples,
            (long long)s.targetUs / 1000, (unsigned long long)sender.droppedBytes());
        std::fflush(stdout);
        app.quit();
    });
    const int rc = app.exec();
    capture.stop();
    playback.stop();
    ::close(a);
    if (b >= 0)
        ::close(b);
    ::close(listener);
    return rc;
}
