// The real-time voice pieces that need no sound server: the ring between
// threads, the jitter buffer on a simulated clock, and the sender's queue.
#include "audio/jitter_buffer.h"
#include "audio/opus_voice.h"
#include "audio/playback_path.h"
#include "audio/spsc_ring.h"
#include "net/voice_sender.h"
#include "net/voice_socket_options.h"

#include <QtTest>

#include <cmath>
#include <deque>
#include <functional>
#include <random>
#include <thread>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace voxlet;

namespace {

constexpr int kRate = 8000;
constexpr std::int64_t kMs = 1000;

// Loud everywhere (never quiet), so nothing may be dropped or repeated
// unnoticed; each sample is known from its index.
std::int16_t Pattern(std::int64_t i)
{
    const std::uint64_t h = std::uint64_t(i) * 0x9E3779B97F4A7C15u;
    return std::int16_t((3000 + int(h >> 40) % 20000) * (i % 2 ? 1 : -1));
}

// Speech-like: 400 ms of tone, 200 ms of silence.
std::int16_t Gated(std::int64_t i)
{
    return i % 4800 < 3200 ? std::int16_t(9000 * std::sin(2 * M_PI * 440 * double(i) / kRate)) : 0;
}

// Loud everywhere too; each sample tells the index it was sent at (modulo 29000).
std::int16_t Stamped(std::int64_t i)
{
    return std::int16_t(3000 + i % 29000);
}

// Skipped audio is never sent; of held audio, the newest 100 ms goes later (as VoiceSender keeps).
enum class Sender { Sends, Skips, Holds };

// A sender producing pieces on its own clock (drift), a network delaying
// them in order, and a sound card pulling 20 ms every 20 ms.
struct Call {
    JitterBuffer jb;
    std::function<std::int16_t(std::int64_t)> signal = Pattern;
    int pieceSamples = 160;
    double drift = 0; // sender clock against ours: 0.001 is 0.1 % fast
    std::function<std::int64_t(std::int64_t sentUs)> network = [](std::int64_t) { return 5 * kMs; };
    std::function<int(int)> pieceBytes; // how the bytes are cut into reads (default: one per piece)
    std::function<Sender(std::int64_t sentUs)> sender = [](std::int64_t) { return Sender::Sends; };
    std::int64_t spacingUs = 0; // arrivals at least this far apart (a backlog catching up)

    std::int64_t now = 0;
    std::int64_t produced = 0; // samples
    std::int64_t lastArrival = 0;
    std::deque<std::pair<std::int64_t, QByteArray>> wire;
    std::vector<std::int16_t> played;
    std::vector<std::uint64_t> underruns; // after each pull
    QByteArray held;
    std::int64_t worstOffTarget = 0; // after the mark
    Concealer* concealer = nullptr; // decoded voice (an HD call): pushed as samples

    void run(std::int64_t untilUs, bool watch = false)
    {
        std::int64_t nextPiece = pieceTime(produced), nextPull = nextPullAt();
        while (now < untilUs) {
            const std::int64_t nextArrival = wire.empty() ? INT64_MAX : wire.front().first;
            now = std::min({ nextPiece, nextPull, nextArrival });
            if (now == nextArrival) {
                QByteArray bytes = wire.front().second;
                wire.pop_front();
                if (concealer)
                    jb.pushSamples(
                        reinterpret_cast<const std::int16_t*>(bytes.constData()), int(bytes.size() / 2), now);
                else
                    jb.push(bytes.constData(), int(bytes.size()), now);
            } else if (now == nextPiece) {
                send();
                nextPiece = pieceTime(produced);
            } else {
                std::int16_t out[160];
                jb.pull(out, 160, now, concealer);
                played.insert(played.end(), out, out + 160);
                underruns.push_back(jb.stats().underruns);
                if (watch)
                    worstOffTarget
                        = std::max(worstOffTarget, std::abs(jb.stats().delayUs - jb.stats().targetUs));
                nextPull = nextPullAt();
            }
        }
    }
    std::int64_t pieceTime(std::int64_t samples) const
    {
        return std::int64_t(double(samples + pieceSamples) * 1e6 / kRate / (1 + drift));
    }
    std::int64_t nextPullAt() const { return std::int64_t(played.size() + 160) * 1000000 / kRate; }
    void send()
    {
        QByteArray piece(2 * pieceSamples, 0);
        for (int i = 0; i < pieceSamples; ++i)
            qToLittleEndian<qint16>(signal(produced + i), piece.data() + 2 * i);
        produced += pieceSamples;
        const Sender mode = sender(now);
        if (mode != Sender::Sends) {
            held += mode == Sender::Holds ? piece : QByteArray();
            return;
        }
        piece = held.right(1600) + piece;
        held.clear();
        const std::int64_t at = std::max(now + network(now), lastArrival + spacingUs);
        lastArrival = at;
        for (int pos = 0; pos < piece.size();) {
            const int n = pieceBytes ? std::min(pieceBytes(pos), int(piece.size()) - pos) : int(piece.size());
            wire.emplace_back(at, piece.mid(pos, n));
            pos += n;
        }
    }
    // The delay of the 10 ms played from atUs on (Stamped), -1 if silent.
    std::int64_t delayAt(std::int64_t atUs) const
    {
        std::vector<std::int64_t> d;
        for (std::int64_t p = atUs / 125; p < atUs / 125 + 80; ++p)
            if (played.at(std::size_t(p)) >= 3000)
                d.push_back((p - (played[std::size_t(p)] - 3000)) % 29000 * 125);
        std::nth_element(d.begin(), d.begin() + std::ptrdiff_t(d.size() / 2), d.end());
        return d.size() < 40 ? -1 : d[d.size() / 2];
    }
    // The delay is back within the band around the target.
    bool settled() const
    {
        const auto& s = jb.stats();
        return std::abs(s.delayUs - s.targetUs) <= jb.config().bandMs * kMs + 20 * kMs;
    }
};

} // namespace

class JitterBufferTest : public QObject {
    Q_OBJECT
private slots:
    void ringMovesAStreamBetweenThreadsIntact()
    {
        SpscRing ring(1000);
        QCOMPARE(ring.capacity(), std::size_t(1024));
        constexpr std::uint32_t kBytes = 8'000'000;
        std::thread producer([&] {
            std::mt19937 sizes(1);
            unsigned char piece[700];
            for (std::uint32_t pos = 0; pos < kBytes;) {
                const std::uint32_t n = std::min<std::uint32_t>(1 + sizes() % 700, kBytes - pos);
                for (std::uint32_t i = 0; i < n; ++i)
                    piece[i] = (unsigned char)((pos + i) * 31 + ((pos + i) >> 11));
                std::uint32_t done = 0;
                while (done < n) {
                    done += std::uint32_t(ring.write(piece + done, n - done));
                    if (done < n)
                        std::this_thread::yield();
                }
                pos += n;
            }
        });
        std::mt19937 sizes(2);
        unsigned char piece[900];
        std::uint32_t pos = 0, wrong = 0;
        while (pos < kBytes) {
            const std::size_t got = ring.read(piece, 1 + sizes() % 900);
            for (std::size_t i = 0; i < got; ++i, ++pos)
                wrong += piece[i] != (unsigned char)(pos * 31 + (pos >> 11));
            if (got == 0)
                std::this_thread::yield();
        }
        producer.join();
        QCOMPARE(wrong, 0u);
        QCOMPARE(ring.readable(), std::size_t(0));
        // A record is written whole or not at all.
        const QByteArray payload(1020, 'p');
        QVERIFY(ring.writeAll("abcd", 4, payload.constData(), 1020));
        QVERIFY(!ring.writeAll("x", 1));
        QCOMPARE(ring.discard(5), std::size_t(5));
        QCOMPARE(ring.writable(), std::size_t(5));
    }

    void steadyPiecesPlayIntact_data()
    {
        QTest::addColumn<int>("cut");
        QTest::newRow("20 ms pieces") << 0;
        QTest::newRow("odd reads split samples") << 1;
    }
    void steadyPiecesPlayIntact()
    {
        QFETCH(int, cut);
        Call c;
        if (cut)
            c.pieceBytes = [](int pos) { return pos == 0 ? 77 : 121; };
        c.run(30'000 * kMs, true);
        const auto& s = c.jb.stats();
        QCOMPARE(s.underruns, 0u);
        QCOMPARE(s.insertedSamples, 0u);
        QVERIFY(s.targetUs <= 40 * kMs);
        QVERIFY(c.settled());
        // Everything after the first refill (and its fade-in) is exactly what
        // was sent, in order: find the last sample in the stream, walk back.
        const std::size_t end = c.played.size();
        std::int64_t last = -1;
        for (std::int64_t m = 8; m < c.produced && last < 0; ++m) {
            bool same = true;
            for (int j = 0; j < 8 && same; ++j)
                same = c.played[end - 1 - j] == Pattern(m - j);
            if (same)
                last = m;
        }
        QVERIFY(last > 0);
        std::size_t first = 0;
        while (first < end && c.played[first] == 0)
            ++first;
        first += 40;
        int wrong = 0;
        for (std::size_t i = first; i < end; ++i)
            wrong += c.played[i] != Pattern(last - std::int64_t(end - 1 - i));
        QCOMPARE(wrong, 0);
        QVERIFY(c.played.size() - first > 29 * kRate);
    }

    void blockBurstsPlayWithoutUnderrun()
    {
        Call c;
        c.pieceSamples = 4000; // 8000-byte blocks every half second, read in parts
        c.pieceBytes = [](int) { return 4096; };
        c.run(5'000 * kMs);
        QCOMPARE(c.jb.stats().underruns, 0u);
        c.run(60'000 * kMs, true);
        const auto& s = c.jb.stats();
        QCOMPARE(s.underruns, 0u);
        QVERIFY2(s.targetUs >= 500 * kMs && s.targetUs <= 600 * kMs, qPrintable(QString::number(s.targetUs)));
        QCOMPARE(s.insertedSamples, 0u);
        QVERIFY(c.worstOffTarget <= c.jb.config().bandMs * kMs);
        // Now and then a block later than any before it (a busy machine
        // hands it over late): the few blocks to learn from must not leave
        // the buffer so short that it runs dry.
        c.network = [](std::int64_t sent) { return sent / (500 * kMs) % 14 ? 5 * kMs : 25 * kMs; };
        c.run(120'000 * kMs);
        QCOMPARE(c.jb.stats().underruns, 0u);
        QVERIFY2(c.jb.stats().targetUs <= 560 * kMs, qPrintable(QString::number(c.jb.stats().targetUs)));
    }

    void jitterRaisesTheTargetAndTheDelayFollows()
    {
        Call c;
        c.signal = Gated;
        c.run(10'000 * kMs); // steady first: the target sits at the floor
        const std::int64_t calm = c.jb.stats().targetUs;
        std::mt19937 rng(7);
        c.network = [&](std::int64_t) { return std::int64_t(20 + rng() % 41) * kMs; }; // 40 ± 20 ms
        c.run(20'000 * kMs);
        const std::uint64_t underruns = c.jb.stats().underruns;
        c.run(80'000 * kMs, true);
        const auto& s = c.jb.stats();
        QVERIFY2(
            s.targetUs > calm + 20 * kMs && s.targetUs < 120 * kMs, qPrintable(QString::number(s.targetUs)));
        QVERIFY2(s.underruns - underruns <= 2, qPrintable(QString::number(s.underruns - underruns)));
        QVERIFY(c.settled());
        // Back to a calm network: the target comes down again, in quiet stretches.
        c.network = [](std::int64_t) { return 5 * kMs; };
        c.run(100'000 * kMs);
        QVERIFY(c.jb.stats().targetUs <= calm + 5 * kMs);
        QVERIFY(c.settled());
    }

    void aStallsBurstIsDroppedAndTheDelayReturns()
    {
        Call c;
        c.signal = Gated;
        c.network = [](std::int64_t sent) {
            // 300 ms stalls at 10 s and 20 s: what is sent meanwhile arrives at their end.
            for (std::int64_t at : { 10'000 * kMs, 20'000 * kMs })
                if (sent >= at && sent < at + 300 * kMs)
                    return at + 300 * kMs - sent;
            return 5 * kMs;
        };
        c.run(9'000 * kMs);
        const auto before = c.jb.stats();
        QVERIFY(c.settled());
        c.run(13'000 * kMs);
        QCOMPARE(c.jb.stats().underruns, before.underruns + 1);
        QVERIFY(c.settled());
        QVERIFY(c.jb.stats().targetUs <= before.targetUs + 5 * kMs); // no ratchet
        c.run(30'000 * kMs);
        const auto& s = c.jb.stats();
        QCOMPARE(s.underruns, before.underruns + 2);
        QVERIFY(s.targetUs <= before.targetUs + 5 * kMs);
        QVERIFY(c.settled());
        // The late bursts went, not more.
        QVERIFY(s.droppedSamples - before.droppedSamples >= 2 * 1900);
        QVERIFY(s.droppedSamples - before.droppedSamples <= 2 * 2800);
    }

    // A stall, or a sender that skips audio (it drops what a stall held
    // back, or its microphone paused and it goes on from where it is): the
    // voice plays again within 1.5 s and stays, with one underrun a stall
    // and no delay left over after 3 s.
    void voiceRecoversFromStallsAndSenderGaps_data()
    {
        QTest::addColumn<int>("piece");
        QTest::addColumn<int>("sender"); // what it does during a stall
        QTest::addColumn<int>("jitterMs");
        QTest::addColumn<QList<int>>("stallsMs"); // at 10 s, 20 s ...
        QTest::newRow("8000-byte blocks, pauses of 0.5 s then 1.5 s")
            << 4000 << int(Sender::Skips) << 0 << QList<int> { 500, 1500 };
        QTest::newRow("20 ms pieces, a 1 s stall's audio dropped")
            << 160 << int(Sender::Holds) << 15 << QList<int> { 1000 };
        QTest::newRow("20 ms pieces, a 1 s stall's backlog catching up")
            << 160 << int(Sender::Sends) << 0 << QList<int> { 1000 };
        QTest::newRow("0-30 ms of jitter, a 1 s stall's audio dropped")
            << 160 << int(Sender::Holds) << 30 << QList<int> { 1000 };
    }
    void voiceRecoversFromStallsAndSenderGaps()
    {
        QFETCH(int, piece);
        QFETCH(int, sender);
        QFETCH(int, jitterMs);
        QFETCH(QList<int>, stallsMs);
        auto stallEnd = [&](std::int64_t t) { // 0 outside the stalls, at 10 s, 20 s ...
            const qsizetype k = qsizetype(t / (10'000 * kMs));
            const std::int64_t end = k * 10'000 * kMs + stallsMs.value(k - 1) * kMs;
            return k >= 1 && t < end ? end : 0;
        };
        Call c;
        c.signal = Stamped;
        c.pieceSamples = piece;
        c.pieceBytes = [](int) { return 4096; };
        std::mt19937 rng(3);
        c.network = [&](std::int64_t sent) {
            const std::int64_t held
                = sender == int(Sender::Sends) && stallEnd(sent) ? stallEnd(sent) - sent : 0;
            return held + std::int64_t(5 + rng() % (jitterMs + 1)) * kMs;
        };
        c.spacingUs = 5 * kMs; // a backlog comes a piece every 5 ms
        c.sender = [&](std::int64_t t) { return stallEnd(t) ? Sender(sender) : Sender::Sends; };
        const std::int64_t end = (stallsMs.size() + 1) * 10'000 * kMs;
        c.run(end + 200 * kMs);

        int heard = 0, windows = 0;
        for (std::int64_t t = 3'000 * kMs; t < end; t += 10 * kMs) {
            const qsizetype k = qsizetype(t / (10'000 * kMs));
            if (k == 0 || t % (10'000 * kMs) >= (stallsMs[k - 1] + 1'500) * kMs) {
                ++windows;
                heard
                    += std::count(&c.played.at(std::size_t(t / 125)), &c.played[std::size_t(t / 125) + 80], 0)
                    <= 8;
            }
        }
        QVERIFY2(heard >= windows * 95 / 100, qPrintable(QStringLiteral("%1 of %2").arg(heard).arg(windows)));
        for (qsizetype i = 0; i < stallsMs.size(); ++i) {
            const std::int64_t at = (i + 1) * 10'000 * kMs, over = at + stallsMs[i] * kMs;
            QVERIFY(c.underruns.at(std::size_t((at + 9'900 * kMs) / (20 * kMs)))
                    - c.underruns.at(std::size_t(at / (20 * kMs)))
                <= 1);
            const std::int64_t before = c.delayAt(at - 500 * kMs), after = c.delayAt(over + 3'000 * kMs);
            QVERIFY2(before > 0 && after > 0 && after <= before + 20 * kMs,
                qPrintable(QStringLiteral("stall %1: %2 us, then %3 us").arg(i).arg(before).arg(after)));
        }
    }

    // Decoded voice: a piece later than the buffer allows for is guessed by
    // the codec instead of falling silent, and dropped when it comes.
    void theCodecFillsInForWhatComesLate()
    {
        struct Guess : Concealer {
            int conceal(std::int16_t* out, int max) override
            {
                std::fill(out, out + std::min(max, 160), std::int16_t(1234));
                return std::min(max, 160);
            }
        } guess;
        Call c;
        c.concealer = &guess;
        c.network = [](std::int64_t sent) { return sent / (20 * kMs) == 250 ? 70 * kMs : 5 * kMs; };
        c.run(10'000 * kMs);
        const auto& s = c.jb.stats();
        QCOMPARE(s.underruns, 1u);
        QVERIFY(s.concealedSamples >= 160 && s.concealedSamples == s.lateSamples);
        QVERIFY(std::count(c.played.begin() + 3 * kRate, c.played.end(), std::int16_t(0)) == 0);
        QVERIFY(std::count(c.played.begin(), c.played.end(), std::int16_t(1234))
            == std::ptrdiff_t(s.concealedSamples));
        QVERIFY(c.settled());
        // A sender that skips 300 ms of audio: the codec fills in for a
        // while, then the buffer refills; nothing sent after is taken for late.
        const std::uint64_t late = s.lateSamples;
        c.sender = [](std::int64_t t) {
            return t >= 15'000 * kMs && t < 15'300 * kMs ? Sender::Skips : Sender::Sends;
        };
        c.run(25'000 * kMs);
        QCOMPARE(c.jb.stats().lateSamples, late);
        QVERIFY2(c.jb.stats().targetUs <= 40 * kMs, qPrintable(QString::number(c.jb.stats().targetUs)));
    }

    // An HD call's playback on its own: packets decoded in order, a damaged
    // one concealed, never heard as noise.
    void hdPlaybackDecodesAndConcealsDamage()
    {
        VoiceEncoder encoder;
        PlaybackPath path;
        path.begin(kHdVoice);
        path.streamUp();
        std::vector<std::int16_t> tone(320), out(320);
        std::vector<unsigned char> packet;
        int loudest = 0, loud = 0;
        for (int k = 0; k < 50; ++k) {
            for (int i = 0; i < 320; ++i)
                tone[std::size_t(i)]
                    = std::int16_t(8000 * std::sin(2 * M_PI * 1000 * (k * 320 + i) / 16000.0));
            QVERIFY(encoder.encode(tone.data(), packet));
            if (k == 20)
                std::fill(packet.begin(), packet.end(), 0xff); // damaged on the way
            path.write(reinterpret_cast<const char*>(packet.data()), int(packet.size()), k * 20 * kMs);
            path.render(out.data(), 320, k * 20 * kMs + 10 * kMs, -1);
            for (std::int16_t v : out)
                loudest = std::max(loudest, std::abs(int(v)));
            loud += *std::max_element(out.begin(), out.end()) > 4000;
        }
        const PlaybackStats st = path.stats();
        QCOMPARE(st.damagedPackets, 1u);
        // (the frames after a concealed one overshoot a little while the decoder recovers)
        QVERIFY2(loud >= 45 && loudest < 16000, qPrintable(QStringLiteral("%1 %2").arg(loud).arg(loudest)));
        std::int16_t drawn[2000];
        QCOMPARE(path.takeDecoded(drawn, 2000), 2000); // for the waveform
    }

    // A block-sending peer pauses for about a second, then sends blocks of
    // silence with a click in each: every click is played.

    void everyClickAfterAPauseIsPlayed()
    {
        Call c;
        c.pieceSamples = 4000;
        c.pieceBytes = [](int) { return 4096; };
        const std::int64_t resume = 11'000 * 8; // samples: sending again at 11 s
        c.signal = [&](std::int64_t i) {
            return i < resume ? Gated(i) : std::int16_t(i % 4000 >= 1200 && i % 4000 < 1216 ? 20000 : 0);
        };
        c.sender = [](std::int64_t t) {
            return (t >= 10'000 * kMs && t < 11'000 * kMs - 1) || t > 19'000 * kMs ? Sender::Skips
                                                                                   : Sender::Sends;
        };
        c.run(21'000 * kMs);
        int clicks = 0;
        for (std::size_t p = std::size_t(resume) + 1; p < c.played.size(); ++p)
            clicks += c.played[p] > 10000 && c.played[p - 1] <= 10000;
        QCOMPARE(clicks, 16); // the blocks sent from 11.5 s to 19 s
    }

    void clockDriftKeepsTheDelayBounded_data()
    {
        QTest::addColumn<double>("drift");
        QTest::newRow("far card 0.1 % fast") << 0.001;
        QTest::newRow("far card 0.1 % slow") << -0.001;
    }
    void clockDriftKeepsTheDelayBounded()
    {
        QFETCH(double, drift);
        Call c;
        c.signal = Gated;
        c.drift = drift;
        c.run(10'000 * kMs);
        const auto start = c.jb.stats();
        c.run(600'000 * kMs, true); // ten minutes
        const auto& s = c.jb.stats();
        QCOMPARE(s.underruns, start.underruns);
        QVERIFY2(c.worstOffTarget <= c.jb.config().bandMs * kMs + 10 * kMs,
            qPrintable(QString::number(c.worstOffTarget)));
        // 0.1 % of ten minutes is 4800 samples, taken out or put in.
        const std::uint64_t fixed
            = drift > 0 ? s.droppedSamples - start.droppedSamples : s.insertedSamples - start.insertedSamples;
        QVERIFY2(fixed >= 4000 && fixed <= 6000, qPrintable(QString::number(fixed)));
    }

    void senderBoundsWhatWaitsAndDropsWholeSamples()
    {
        VoiceSender tx(1600);
        QByteArray stream;
        for (int i = 0; i < 3200; ++i)
            stream.append(char(i % 251));
        tx.capture(stream.constData(), 320);
        tx.sent(101); // the socket took half a sample at the end
        tx.capture(stream.constData() + 320, 2880); // then stalled: 3099 bytes wait
        QVERIFY(tx.unsentBytes() <= 1601);
        QCOMPARE(tx.drops(), 1u);
        QCOMPARE(tx.droppedBytes() % 2, 0u);
        QCOMPARE(tx.droppedBytes(), std::uint64_t(3200 - 101 - tx.unsentBytes()));
        // The half-sent sample is finished, then the newest audio follows.
        QCOMPARE(tx.unsent()[0], stream[101]);
        QCOMPARE(QByteArray(tx.unsent() + 1, tx.unsentBytes() - 1), stream.right(tx.unsentBytes() - 1));
    }

    void senderOfFramesDropsWholeOnesAndAddsNothingAtHangUp()
    {
        VoiceSender tx = VoiceSender::Framed(5);
        QByteArray all;
        for (int k = 0; k < 3; ++k) {
            const QByteArray frame(80 + k, char('a' + k));
            tx.capture(frame.constData(), int(frame.size()));
            all += frame;
        }
        tx.sent(100); // the first frame and part of the second are out
        QByteArray late;
        for (int k = 3; k < 12; ++k) {
            const QByteArray frame(80 + k, char('a' + k));
            tx.capture(frame.constData(), int(frame.size()));
            late = k >= 7 ? late + frame : late;
        }
        // The rest of the frame begun, then the newest five, whole.
        QCOMPARE(QByteArray(tx.unsent(), tx.unsentBytes()), all.mid(100, 61) + late);
        QCOMPARE(tx.droppedBytes(), std::uint64_t(82 + 83 + 84 + 85 + 86));
        tx.finish();
        QCOMPARE(tx.unsentBytes(), int(61 + late.size()));
    }

    void senderCompletesTheBlockAtHangUp()
    {
        VoiceSender tx;
        const QByteArray piece(321, '\x7f'); // odd reads too: only whole samples join
        std::uint64_t wire = 0;
        for (int i = 0; i < 30; ++i) {
            tx.capture(piece.constData(), piece.size());
            const int n = std::min(tx.unsentBytes(), 500);
            wire += std::uint64_t(n);
            tx.sent(n);
        }
        tx.finish();
        tx.capture(piece.constData(), piece.size()); // after hang-up: ignored
        QVERIFY(!tx.done());
        const QByteArray rest(tx.unsent(), tx.unsentBytes());
        tx.sent(tx.unsentBytes());
        QVERIFY(tx.done());
        QCOMPARE((wire + std::uint64_t(rest.size())) % 8000, 0u);
        QCOMPARE(tx.sentBytes() + tx.droppedBytes(), std::uint64_t(30 * 321 + rest.count('\0')));
        QVERIFY(rest.endsWith(QByteArray(rest.count('\0'), '\0')));

        const int s = ::socket(AF_INET, SOCK_STREAM, 0);
        QVERIFY(SetVoiceSocketOptions(s, 1600));
        int value = 0;
        socklen_t len = sizeof value;
        ::getsockopt(s, IPPROTO_TCP, TCP_NOTSENT_LOWAT, &value, &len);
        QCOMPARE(value, 1600);
        ::close(s);
    }
};

QTEST_APPLESS_MAIN(JitterBufferTest)
#include "jitter_buffer_test.moc"
