#include "audio/wav_file.h"

#include <QFile>
#include <QFileInfo>
#include <QtEndian>

#include <cstring>

namespace voxlet {

namespace {

constexpr quint16 kFormatPcm = 1;
constexpr quint16 kFormatExtensible = 0xFFFE;
// The tail of KSDATAFORMAT_SUBTYPE_PCM after its leading format code.
constexpr unsigned char kPcmGuidTail[14]
    = { 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71 };

std::optional<WavSound> Fail(QString* error, const char* why)
{
    if (error)
        *error = QString::fromLatin1(why);
    return std::nullopt;
}

quint16 U16(const char* p)
{
    return qFromLittleEndian<quint16>(p);
}
quint32 U32(const char* p)
{
    return qFromLittleEndian<quint32>(p);
}

} // namespace

std::optional<WavSound> ParseWav(const QByteArray& bytes, QString* error)
{
    const qint64 total = bytes.size();
    if (total > kMaxWavFileBytes)
        return Fail(error, "file too large");
    if (total < 12)
        return Fail(error, "too short for a RIFF header");
    const char* base = bytes.constData();
    if (std::memcmp(base, "RIFF", 4) != 0 || std::memcmp(base + 8, "WAVE", 4) != 0)
        return Fail(error, "not a RIFF/WAVE file");

    const qint64 riffSize = U32(base + 4);
    if (riffSize < 4)
        return Fail(error, "RIFF size too small");
    if (riffSize + 8 > total)
        return Fail(error, "RIFF size beyond the end of the file (truncated?)");
    const qint64 end = riffSize + 8;

    bool haveFormat = false;
    WavSound sound;
    int blockAlign = 0;
    qint64 pos = 12;
    while (pos + 8 <= end) {
        const char* chunk = base + pos;
        const qint64 size = U32(chunk + 4);
        const qint64 body = pos + 8;
        if (size > end - body)
            return Fail(error, "chunk size beyond the end of the file");

        if (std::memcmp(chunk, "fmt ", 4) == 0) {
            if (haveFormat)
                return Fail(error, "more than one format chunk");
            if (size < 16)
                return Fail(error, "format chunk too small");
            const char* f = base + body;
            quint16 tag = U16(f);
            const int channels = U16(f + 2);
            const qint64 rate = U32(f + 4);
            const qint64 byteRate = U32(f + 8);
            const int align = U16(f + 12);
            const int bits = U16(f + 14);
            if (tag == kFormatExtensible) {
                if (size < 40 || U16(f + 16) < 22)
                    return Fail(error, "extensible format chunk too small");
                if (U16(f + 24) != kFormatPcm || std::memcmp(f + 26, kPcmGuidTail, sizeof kPcmGuidTail) != 0)
                    return Fail(error, "extensible format is not PCM");
                if (U16(f + 18) != bits)
                    return Fail(error, "extensible format with padded samples");
                tag = kFormatPcm;
            }
            if (tag != kFormatPcm)
                return Fail(error, "not PCM");
            if (channels < 1 || channels > 2)
                return Fail(error, "unsupported channel count");
            if (bits != 8 && bits != 16)
                return Fail(error, "unsupported sample size");
            if (rate < 1000 || rate > 192000)
                return Fail(error, "unsupported sample rate");
            if (align != channels * bits / 8)
                return Fail(error, "wrong block alignment");
            if (byteRate != align * rate)
                return Fail(error, "wrong byte rate");
            sound.Channels = channels;
            sound.SampleRate = int(rate);
            sound.BitsPerSample = bits;
            blockAlign = align;
            haveFormat = true;
        } else if (std::memcmp(chunk, "data", 4) == 0) {
            if (!haveFormat)
                return Fail(error, "data chunk before the format chunk");
            if (size % blockAlign != 0)
                return Fail(error, "data size is not a whole number of frames");
            sound.Samples = bytes.mid(body, size);
            return sound;
        }
        // Chunks are word-aligned; a missing pad byte after the last one is tolerated.
        pos = body + size + (size & 1);
    }
    return Fail(error, haveFormat ? "no data chunk" : "no format chunk");
}

std::optional<WavSound> ReadWavFile(const QString& path, QString* error)
{
    // Only plain files: reading a pipe or a device could block for ever.
    if (!QFileInfo(path).isFile())
        return Fail(error, "not a file");
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return Fail(error, "cannot open the file");
    if (file.size() > kMaxWavFileBytes)
        return Fail(error, "file too large");
    // read() with a bound also protects against files that grow meanwhile.
    const QByteArray bytes = file.read(kMaxWavFileBytes + 1);
    return ParseWav(bytes, error);
}

} // namespace voxlet
