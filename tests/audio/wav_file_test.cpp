#include "audio/wav_file.h"
#include "support/test_support.h"

#include <QDir>
#include <QRandomGenerator>
#include <QtEndian>
#include <QtTest>

using namespace voxlet;
using namespace voxlet::test;

namespace {

QByteArray U16(quint16 v)
{
    QByteArray b(2, 0);
    qToLittleEndian(v, b.data());
    return b;
}
QByteArray U32(quint32 v)
{
    QByteArray b(4, 0);
    qToLittleEndian(v, b.data());
    return b;
}

QByteArray Chunk(const char* id, const QByteArray& body)
{
    QByteArray c = QByteArray(id, 4) + U32(quint32(body.size())) + body;
    if (body.size() % 2)
        c += '\0';
    return c;
}

QByteArray Fmt(int channels, int rate, int bits, int tag = 1)
{
    const int align = channels * bits / 8;
    return U16(quint16(tag)) + U16(quint16(channels)) + U32(quint32(rate)) + U32(quint32(align * rate))
        + U16(quint16(align)) + U16(quint16(bits));
}

QByteArray Riff(const QByteArray& chunks)
{
    return "RIFF" + U32(quint32(4 + chunks.size())) + "WAVE" + chunks;
}

QByteArray Wav(int channels, int rate, int bits, const QByteArray& data)
{
    return Riff(Chunk("fmt ", Fmt(channels, rate, bits)) + Chunk("data", data));
}

} // namespace

class WavFileTest : public QObject {
    Q_OBJECT
private slots:
    void acceptsSupportedShapes_data()
    {
        QTest::addColumn<int>("channels");
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("bits");
        QTest::newRow("8k mono 16") << 1 << 8000 << 16;
        QTest::newRow("16k mono 16") << 1 << 16000 << 16;
        QTest::newRow("44.1k stereo 16") << 2 << 44100 << 16;
        QTest::newRow("11k mono 8") << 1 << 11025 << 8;
        QTest::newRow("22k stereo 8") << 2 << 22050 << 8;
    }
    void acceptsSupportedShapes()
    {
        QFETCH(int, channels);
        QFETCH(int, rate);
        QFETCH(int, bits);
        const int frame = channels * bits / 8;
        QByteArray data;
        for (int i = 0; i < 10 * frame; ++i)
            data += char(i * 13);
        QString error;
        auto wav = ParseWav(Wav(channels, rate, bits, data), &error);
        QVERIFY2(wav, qPrintable(error));
        QCOMPARE(wav->Channels, channels);
        QCOMPARE(wav->SampleRate, rate);
        QCOMPARE(wav->BitsPerSample, bits);
        QCOMPARE(wav->Samples, data);
        QCOMPARE(wav->frames(), qint64(10));
    }

    void skipsOtherChunksAndPadding()
    {
        // An odd-sized LIST chunk (padded), a fact chunk, an 18-byte fmt, then data.
        const QByteArray data("\x01\x02\x03\x04", 4);
        const QByteArray bytes
            = Riff(Chunk("LIST", QByteArray("INFOabc", 7)) + Chunk("fmt ", Fmt(1, 8000, 16) + U16(0))
                + Chunk("fact", U32(2)) + Chunk("data", data) + Chunk("junk", "zz"));
        auto wav = ParseWav(bytes);
        QVERIFY(wav);
        QCOMPARE(wav->Samples, data);
    }

    void acceptsExtensiblePcm()
    {
        QByteArray fmt = Fmt(1, 16000, 16, 0xFFFE) + U16(22) + U16(16) + U32(4)
            + QByteArray("\x01\x00\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 16);
        auto wav = ParseWav(Riff(Chunk("fmt ", fmt) + Chunk("data", QByteArray(4, 'x'))));
        QVERIFY(wav);
        QCOMPARE(wav->SampleRate, 16000);
        fmt[24] = 3; // IEEE float subformat
        QVERIFY(!ParseWav(Riff(Chunk("fmt ", fmt) + Chunk("data", QByteArray(4, 'x')))));
    }

    void shippedRingSounds_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<double>("seconds");
        QTest::newRow("Ring") << "Ring.wav" << 2.0;
        QTest::newRow("Anybody") << "Anybody.wav" << 2.0;
        QTest::newRow("Ans") << "Ans.wav" << 1.5;
    }
    void shippedRingSounds()
    {
        QFETCH(QString, name);
        QFETCH(double, seconds);
        QString error;
        auto wav = ReadWavFile(SourceDir() + QStringLiteral("/resources/sounds/") + name, &error);
        QVERIFY2(wav, qPrintable(error));
        QCOMPARE(wav->Channels, 1);
        QCOMPARE(wav->BitsPerSample, 16);
        QVERIFY(wav->SampleRate == 8000 || wav->SampleRate == 16000);
        QVERIFY(qAbs(double(wav->frames()) / wav->SampleRate - seconds) < 0.2);
        // Audible, not clipped, and it starts and ends softly (no click).
        const auto* s = reinterpret_cast<const uchar*>(wav->Samples.constData());
        int peak = 0;
        for (qint64 i = 0; i < wav->frames(); ++i)
            peak = qMax(peak, qAbs(int(qFromLittleEndian<qint16>(s + 2 * i))));
        QVERIFY(peak > 3000);
        QVERIFY(peak < 32767);
        QVERIFY(qAbs(int(qFromLittleEndian<qint16>(s))) < 200);
        QVERIFY(qAbs(int(qFromLittleEndian<qint16>(s + 2 * (wav->frames() - 1)))) < 200);
    }

    void rejectsMalformed_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        const QByteArray good = Wav(1, 8000, 16, QByteArray(16, 'a'));
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("garbage") << QByteArray("this is not a sound file at all, really");
        QTest::newRow("header only") << good.left(12);
        QTest::newRow("truncated in fmt") << good.left(30);
        QTest::newRow("truncated in data") << good.left(good.size() - 3);
        QByteArray b = good;
        b.replace(8, 4, "AVI ");
        QTest::newRow("not WAVE") << b;
        b = good;
        b.replace(4, 4, U32(0xFFFFFFF0u));
        QTest::newRow("huge RIFF size") << b;
        b = good;
        b.replace(16, 4, U32(0x7FFFFFFFu));
        QTest::newRow("huge fmt size") << b;
        b = good;
        b.replace(40, 4, U32(0xFFFFFFFFu));
        QTest::newRow("huge data size") << b;
        b = good;
        b.replace(40, 4, U32(17));
        QTest::newRow("data size past the end") << b;
        QTest::newRow("odd data size") << Wav(1, 8000, 16, QByteArray(15, 'a'));
        QTest::newRow("zero channels") << Wav(0, 8000, 16, QByteArray(16, 'a'));
        QTest::newRow("three channels") << Wav(3, 8000, 16, QByteArray(18, 'a'));
        QTest::newRow("24 bits") << Wav(1, 8000, 24, QByteArray(15, 'a'));
        QTest::newRow("zero rate") << Wav(1, 0, 16, QByteArray(16, 'a'));
        QTest::newRow("absurd rate") << Wav(1, 100000000, 16, QByteArray(16, 'a'));
        QTest::newRow("not PCM") << Riff(
            Chunk("fmt ", Fmt(1, 8000, 16, 3)) + Chunk("data", QByteArray(16, 'a')));
        QByteArray fmt = Fmt(1, 8000, 16);
        fmt.replace(12, 2, U16(4));
        QTest::newRow("wrong block align") << Riff(Chunk("fmt ", fmt) + Chunk("data", QByteArray(16, 'a')));
        fmt = Fmt(1, 8000, 16);
        fmt.replace(8, 4, U32(1));
        QTest::newRow("wrong byte rate") << Riff(Chunk("fmt ", fmt) + Chunk("data", QByteArray(16, 'a')));
        QTest::newRow("short fmt") << Riff(Chunk("fmt ", Fmt(1, 8000, 16).left(14)) + Chunk("data", "ab"));
        QTest::newRow("data before fmt")
            << Riff(Chunk("data", QByteArray(16, 'a')) + Chunk("fmt ", Fmt(1, 8000, 16)));
        QTest::newRow("no data") << Riff(Chunk("fmt ", Fmt(1, 8000, 16)));
        QTest::newRow("no fmt") << Riff(Chunk("data", QByteArray(16, 'a')));
        QTest::newRow("two fmt") << Riff(
            Chunk("fmt ", Fmt(1, 8000, 16)) + Chunk("fmt ", Fmt(1, 8000, 16)) + Chunk("data", "ab"));
    }
    void rejectsMalformed()
    {
        QFETCH(QByteArray, bytes);
        QString error;
        QVERIFY(!ParseWav(bytes, &error));
        QVERIFY(!error.isEmpty());
    }

    void refusesOversizedFilesAndNonFiles()
    {
        QTemporaryDir dir;
        const QString big = dir.filePath(QStringLiteral("big.wav"));
        {
            QFile f(big);
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(Wav(1, 8000, 16, QByteArray(16, 'a')));
            QVERIFY(f.resize(kMaxWavFileBytes + 2)); // sparse, so cheap
        }
        QVERIFY(!ReadWavFile(big));
        QVERIFY(!ParseWav(QByteArray(int(kMaxWavFileBytes + 1), '\0')));
        QVERIFY(!ReadWavFile(dir.path()));
        QVERIFY(!ReadWavFile(dir.filePath(QStringLiteral("missing.wav"))));
        WriteBytes(dir.filePath(QStringLiteral("ok.wav")), Wav(1, 8000, 8, "abc"));
        QVERIFY(ReadWavFile(dir.filePath(QStringLiteral("ok.wav"))));
    }

    void survivesMutatedHeaders()
    {
        // Random corruption of a valid file must never read out of bounds
        // (the sanitizer build checks that); results must stay consistent.
        const QByteArray good = Riff(
            Chunk("LIST", "INFOab") + Chunk("fmt ", Fmt(2, 8000, 16)) + Chunk("data", QByteArray(40, 'q')));
        QRandomGenerator rng(12345);
        int accepted = 0;
        for (int round = 0; round < 20000; ++round) {
            QByteArray b = good;
            const int edits = 1 + int(rng.bounded(4));
            for (int e = 0; e < edits; ++e)
                b[int(rng.bounded(qMin<int>(b.size(), 64)))] = char(rng.bounded(256));
            if (rng.bounded(4) == 0)
                b.truncate(int(rng.bounded(b.size())));
            // A detached copy, so any over-read leaves the allocation.
            const QByteArray exact(b.constData(), b.size());
            if (auto w = ParseWav(exact)) {
                ++accepted;
                QVERIFY(w->Channels == 1 || w->Channels == 2);
                QVERIFY(w->Samples.size() % w->bytesPerFrame() == 0);
                QVERIFY(w->Samples.size() <= exact.size());
            }
        }
        QVERIFY(accepted > 0); // some edits hit only harmless bytes
    }
};

QTEST_GUILESS_MAIN(WavFileTest)
#include "wav_file_test.moc"
