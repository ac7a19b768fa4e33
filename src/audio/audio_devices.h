#pragma once
// Audio device contracts. The call logic owns the buffers; a device only
// fills the capture halves it is given and plays what is written to it.

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

// One capture half: the device records into Data until BufferLength bytes
// are there, then reports the header as full.
struct CaptureHeader {
    char* Data = nullptr;
    int BufferLength = 0;
    int BytesRecorded = 0;
};

class CaptureDevice {
public:
    using FullCallback = std::function<void(CaptureHeader*)>;
    virtual ~CaptureDevice() = default;
    // False when the device cannot be opened. Full headers are reported
    // through onFull on the main thread, one at a time, in recording order.
    virtual bool open(const VoiceFormat& format, FullCallback onFull) = 0;
    // Queues a header for recording (the device keeps the order given).
    virtual void addBuffer(CaptureHeader* header) = 0;
    virtual void start() = 0;
    // The owner of the headers and of onFull is going: forget both and stop
    // recording, so that nothing is written or reported afterwards.
    virtual void close() = 0;
};

class PlaybackDevice {
public:
    virtual ~PlaybackDevice() = default;
    virtual bool open(const VoiceFormat& format) = 0;
    // Plays the bytes after everything written before; returns at once.
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
