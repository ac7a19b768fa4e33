#pragma once
// The phone's sound devices on whichever sound server the desktop runs:
// native PipeWire streams where the server is PipeWire, libpulse's
// elsewhere (PulseAudio, or no server yet). One connection for the voice
// and the ring sounds, and the echo canceller between the phone's capture
// and playback.
//
// VOXLET_SOUND_BACKEND=pulse or =pipewire overrides the choice.

#include "audio/audio_devices.h"
#include "audio/echo_path.h"
#include "audio/jitter_buffer.h"
#include "audio/playback_path.h"

#include <QByteArray>

#include <cstdint>
#include <memory>

namespace voxlet {

enum class SoundBackendKind { Pulse, PipeWire };

// The override if VOXLET_SOUND_BACKEND names one; otherwise PipeWire when
// the server that answers libpulse says it is PipeWire (pipewire-pulse) or,
// with no such server, PipeWire's own socket answers; otherwise libpulse.
// Waits at most a few seconds for the servers' first answers.
SoundBackendKind ChooseSoundBackend();
const char* SoundBackendName(SoundBackendKind kind);

struct SoundOptions {
    // The devices' names; empty: PULSE_SOURCE / PULSE_SINK, or the server's default.
    QByteArray mic;
    QByteArray speaker;
    JitterBufferConfig jitter;
    bool cancelEcho = EchoCancellationWanted();
};

inline SoundOptions OnDevices(QByteArray mic, QByteArray speaker)
{
    SoundOptions o;
    o.mic = std::move(mic);
    o.speaker = std::move(speaker);
    return o;
}

class SoundBackend {
public:
    explicit SoundBackend(SoundOptions options = {});
    SoundBackend(SoundBackendKind kind, SoundOptions options);
    ~SoundBackend();
    SoundBackend(const SoundBackend&) = delete;
    SoundBackend& operator=(const SoundBackend&) = delete;

    SoundBackendKind kind() const { return kind_; }
    CaptureDevice& capture() { return parts_->capture(); }
    PlaybackDevice& playback() { return parts_->playback(); }
    SoundPlayerFactory& sounds() { return parts_->sounds(); }

    // What the tests and the benchmarks look at.
    bool ready() const { return parts_->ready(); }
    std::uint64_t connections() const { return parts_->connections(); }
    bool waitUntilReady(int timeoutMs) { return parts_->waitUntilReady(timeoutMs); }
    bool hasDevice(bool source, const char* name) { return parts_->hasDevice(source, name); }
    bool captureStreaming() const { return parts_->captureStreaming(); }
    std::uint64_t silentBytes() const { return parts_->silentBytes(); }
    PlaybackStats playbackStats() const { return parts_->playbackStats(); }
    EchoPathStats echoStats() const { return parts_->echoStats(); }

    // One backend's devices, behind the same calls.
    struct Parts {
        virtual ~Parts() = default;
        virtual CaptureDevice& capture() = 0;
        virtual PlaybackDevice& playback() = 0;
        virtual SoundPlayerFactory& sounds() = 0;
        virtual bool ready() const = 0;
        virtual std::uint64_t connections() const = 0;
        virtual bool waitUntilReady(int timeoutMs) = 0;
        virtual bool hasDevice(bool source, const char* name) = 0;
        virtual bool captureStreaming() const = 0;
        virtual std::uint64_t silentBytes() const = 0;
        virtual PlaybackStats playbackStats() const = 0;
        virtual EchoPathStats echoStats() const = 0;
    };

private:
    SoundBackendKind kind_;
    std::unique_ptr<Parts> parts_;
};

} // namespace voxlet
