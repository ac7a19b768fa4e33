#pragma once
// Reading RIFF/WAVE PCM sound files (8 or 16 bits, mono or stereo).

#include <QByteArray>
#include <QString>

#include <optional>

namespace voxlet {

constexpr qint64 kMaxWavFileBytes = 16 * 1024 * 1024;

struct WavSound {
    int Channels = 0;
    int SampleRate = 0;
    int BitsPerSample = 0;
    // Interleaved frames, as stored in the file (8-bit unsigned, 16-bit signed
    // little-endian); always a whole number of frames.
    QByteArray Samples;

    int bytesPerFrame() const { return Channels * BitsPerSample / 8; }
    qint64 frames() const { return bytesPerFrame() > 0 ? Samples.size() / bytesPerFrame() : 0; }
};

// Parses the bytes of a whole file; nullopt (with a reason in *error) when the
// file is not a well-formed PCM WAV of a supported shape.
std::optional<WavSound> ParseWav(const QByteArray& bytes, QString* error = nullptr);

// Reads and parses a file, refusing files larger than kMaxWavFileBytes.
std::optional<WavSound> ReadWavFile(const QString& path, QString* error = nullptr);

} // namespace voxlet
