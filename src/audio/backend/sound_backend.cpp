#include "audio/backend/sound_backend.h"

#include "audio/pipewire/pipewire_context.h"
#include "audio/pipewire/pipewire_echo.h"
#include "audio/pipewire/pipewire_sound_player.h"
#include "audio/pipewire/pipewire_voice.h"
#include "audio/pulse/pulse_context.h"
#include "audio/pulse/pulse_echo.h"
#include "audio/pulse/pulse_sound_player.h"
#include "audio/pulse/pulse_voice.h"

#include <QtGlobal>

namespace voxlet {

namespace {

// How long the choice waits for each server's first answer: a server that
// is there answers in milliseconds, one that is not fails at once.
constexpr int kChoiceWaitMs = 3000;

// One backend's objects; both have the same shape.
template <class Context, class Capture, class Playback, class Echo, class Players>
struct BackendParts final : SoundBackend::Parts {
    explicit BackendParts(const SoundOptions& o)
        : capture_(context_, o.mic)
        , playback_(context_, o.speaker, o.jitter)
        , echo_(context_, capture_, playback_, o.cancelEcho)
        , sounds_(context_, o.speaker)
    {
    }
    CaptureDevice& capture() override { return capture_; }
    PlaybackDevice& playback() override { return playback_; }
    SoundPlayerFactory& sounds() override { return sounds_; }
    bool ready() const override { return context_.ready(); }
    std::uint64_t connections() const override { return context_.connections(); }
    bool waitUntilReady(int timeoutMs) override { return context_.waitUntilReady(timeoutMs); }
    bool hasDevice(bool source, const char* name) override { return context_.hasDevice(source, name); }
    bool captureStreaming() const override { return capture_.streaming(); }
    std::uint64_t silentBytes() const override { return capture_.silentBytes(); }
    PlaybackStats playbackStats() const override { return playback_.stats(); }
    EchoPathStats echoStats() const override { return echo_.stats(); }

    Context context_;
    Capture capture_;
    Playback playback_;
    Echo echo_;
    Players sounds_;
};

using PulseParts = BackendParts<pulse::PulseContext, pulse::PulseCapture, pulse::PulsePlayback,
    pulse::PulseEchoCanceller, pulse::PulseSoundPlayerFactory>;
using PipeWireParts = BackendParts<pipewire::PipeWireContext, pipewire::PipeWireCapture,
    pipewire::PipeWirePlayback, pipewire::PipeWireEchoCanceller, pipewire::PipeWireSoundPlayerFactory>;

} // namespace

SoundBackendKind ChooseSoundBackend()
{
    const QByteArray forced = qgetenv("VOXLET_SOUND_BACKEND");
    if (forced == "pulse")
        return SoundBackendKind::Pulse;
    if (forced == "pipewire")
        return SoundBackendKind::PipeWire;
    {
        pulse::PulseContext pulse;
        if (pulse.waitForFirstAttempt(kChoiceWaitMs))
            return pulse.serverName().contains("PipeWire") ? SoundBackendKind::PipeWire
                                                           : SoundBackendKind::Pulse;
    }
    // No server answers libpulse: a PipeWire without its PulseAudio server
    // still has the native one; with neither, libpulse says what is missing
    // and waits for a server to come.
    pipewire::PipeWireContext native;
    return native.waitForFirstAttempt(kChoiceWaitMs) ? SoundBackendKind::PipeWire : SoundBackendKind::Pulse;
}

const char* SoundBackendName(SoundBackendKind kind)
{
    return kind == SoundBackendKind::PipeWire ? "pipewire" : "pulse";
}

SoundBackend::SoundBackend(SoundOptions options)
    : SoundBackend(ChooseSoundBackend(), std::move(options))
{
}

SoundBackend::SoundBackend(SoundBackendKind kind, SoundOptions options)
    : kind_(kind)
{
    if (kind == SoundBackendKind::PipeWire)
        parts_ = std::make_unique<PipeWireParts>(options);
    else
        parts_ = std::make_unique<PulseParts>(options);
}

SoundBackend::~SoundBackend() = default;

} // namespace voxlet
