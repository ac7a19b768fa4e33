#pragma once
// Audio device contracts: capture reports small pieces as they are recorded,
// playback takes received bytes as they arrive and smooths them itself.

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>

namespace voxlet {

// 16-bit mono PCM at 8000 samples/s, as both devices are opened at start-up.
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

// What a call's voice is on the wire and at the devices, chosen when it is
// answered: raw 16-bit PCM at 8000 samples/s (an old-style peer), or Opus
// at 16000 samples/s in frames between two Voxlets. Capture and playback
// run at its rate for that call; the devices stay open between calls.
enum class VoiceCodec { Pcm, Opus };

struct CallVoice {
    VoiceCodec codec = VoiceCodec::Pcm;
    int rate = 8000;

    bool hd() const { return codec == VoiceCodec::Opus; }
    // Capture hands pieces of 20 ms over; an Opus frame is as long.
    int pieceSamples() const { return rate / 50; }
    int pieceBytes() const { return 2 * pieceSamples(); }
    bool operator==(const CallVoice&) const = default;
};

inline constexpr CallVoice kPlainVoice {};
inline constexpr CallVoice kHdVoice { VoiceCodec::Opus, 16000 };

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
    // Records at the call's rate and reports pieces of 20 ms through onPiece
    // on the main thread, in recording order, until stop(). Silence is
    // reported while the device is away, so the stream keeps its pace.
    virtual void start(const CallVoice& voice, PieceCallback onPiece) = 0;
    // Stops recording and forgets onPiece: nothing is reported afterwards.
    // Safe to call from inside onPiece.
    virtual void stop() = 0;
};

class PlaybackDevice {
public:
    virtual ~PlaybackDevice() = default;
    virtual bool open(const VoiceFormat& format) = 0;
    // A call's voice begins / has ended (what is still queued is dropped).
    virtual void start(const CallVoice& voice) = 0;
    virtual void stop() = 0;
    // Received voice as it arrived; returns at once. PCM: bytes in pieces of
    // any size. Opus: one whole packet (20 ms) a call.
    virtual void write(const char* data, int length) = 0;
    // Opus: the received voice as decoded (samples at the call's rate), for
    // the waveform; up to max samples, the number given back.
    virtual int takeDecoded(std::int16_t* out, int max)
    {
        (void)out;
        (void)max;
        return 0;
    }
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
