#pragma once
// Audio device contracts: capture reports small pieces as they are recorded,
// playback takes received bytes as they arrive and smooths them itself.

#include <QString>

#include <functional>
#include <memory>

namespace voxlet {

// 16-bit mono PCM at 8000 samples/s, as both devices are opened.
struct VoiceFormat {
    int FormatTag = 0;
    int Channels = 0;
    int SamplesPerSec = 0;
    int BitsPerSample = 0;
    int BlockAlign = 0;
    int AvgBytesPerSec = 0;
    int ExtraSize = 0;
};

// The format both devices are opened with.
inline VoiceFormat MakeVoiceFormat()
{
    VoiceFormat f;
    f.FormatTag = 1; // PCM
    f.Channels = 1;
    f.SamplesPerSec = 8000;
    f.BitsPerSample = 16;
    f.BlockAlign = f.Channels * f.BitsPerSample / 8;
    f.AvgBytesPerSec = f.BlockAlign * f.SamplesPerSec;
    f.ExtraSize = 0;
    return f;
}

// A captured piece as the hub receives it: the bytes (Data, BytesRecorded)
// of about 20 ms of voice, valid only while the notification is handled.
struct CaptureHeader {
    char* Data = nullptr;
    int BufferLength = 0;
    int BytesRecorded = 0;
};

class CaptureDevice {
public:
    using PieceCallback = std::function<void(const char* data, int bytes)>;
    virtual ~CaptureDevice() = default;
    // False when there is no microphone to record from (asked once, at start-up).
    virtual bool open(const VoiceFormat& format) = 0;
    // Records and reports pieces of about 20 ms through onPiece on the main
    // thread, in recording order, until stop(). Silence is reported while
    // the device is away, so the stream keeps its pace.
    virtual void start(PieceCallback onPiece) = 0;
    // Stops recording and forgets onPiece: nothing is reported afterwards.
    // Safe to call from inside onPiece.
    virtual void stop() = 0;
};

class PlaybackDevice {
public:
    virtual ~PlaybackDevice() = default;
    virtual bool open(const VoiceFormat& format) = 0;
    // A call's voice begins / has ended (what is still queued is dropped).
    virtual void start() = 0;
    virtual void stop() = 0;
    // Received voice bytes as they arrived, in pieces of any size; returns at once.
    virtual void write(const char* data, int length) = 0;
};

// A player for one sound file, driven by the media-control commands.
class SoundPlayer {
public:
    virtual ~SoundPlayer() = default;
    virtual bool open(const QString& path) = 0;
    virtual void playFromStart() = 0;
    // True only once a sound that really played has come to its end.
    virtual bool hasStopped() const = 0;
    virtual void close() = 0;
};

class SoundPlayerFactory {
public:
    virtual ~SoundPlayerFactory() = default;
    virtual std::unique_ptr<SoundPlayer> create() = 0;
};

} // namespace voxlet
