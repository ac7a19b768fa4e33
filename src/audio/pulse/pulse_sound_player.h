#pragma once
// Ring sounds on the same sound server connection as the voice: one WAV
// file played from its start on request, reporting when it has played out.

#include "audio/audio_devices.h"
#include "audio/pulse/pulse_context.h"
#include "audio/wav_file.h"

#include <QByteArray>

#include <atomic>

struct pa_stream;

namespace voxlet::pulse {

class PulseSoundPlayer : public SoundPlayer, private StreamClient {
public:
    explicit PulseSoundPlayer(PulseContext& context, QByteArray sink = {});
    ~PulseSoundPlayer() override;

    // False for a missing, unreadable, malformed or empty file.
    bool open(const QString& path) override;
    void playFromStart() override;
    // Only once the sound has played to its end on the server. Without a
    // server a sound never ends; if the server goes away meanwhile, the
    // sound starts again from its beginning when it is back.
    bool hasStopped() const override { return stopped_.load(); }
    void close() override;

private:
    // No retry: a stream lost with the server comes back with the connection.
    void openStream(pa_context* context) override;
    void closeStream() override { dropStream(); }
    static void onWrite(pa_stream* s, size_t bytes, void* self);
    static void onDrained(pa_stream* s, int success, void* self);

    std::atomic<bool> stopped_ { false };
    // Under the loop lock.
    WavSound sound_;
    int position_ = 0;
    bool draining_ = false;
};

class PulseSoundPlayerFactory : public SoundPlayerFactory {
public:
    explicit PulseSoundPlayerFactory(PulseContext& context, QByteArray sink = {})
        : context_(context)
        , sink_(std::move(sink))
    {
    }
    std::unique_ptr<SoundPlayer> create() override;

private:
    PulseContext& context_;
    QByteArray sink_;
};

} // namespace voxlet::pulse
