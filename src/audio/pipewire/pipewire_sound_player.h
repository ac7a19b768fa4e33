#pragma once
// Ring sounds as native PipeWire streams on the voice's connection: one WAV
// file played from its start on request, reporting when it has played out.
// Their callbacks run on the loop's thread, at the server's own latency.

#include "audio/audio_devices.h"
#include "audio/pipewire/pipewire_stream.h"
#include "audio/wav_file.h"

#include <QByteArray>

#include <atomic>

namespace voxlet::pipewire {

class PipeWireSoundPlayer : public SoundPlayer, private StreamClient {
public:
    explicit PipeWireSoundPlayer(PipeWireContext& context, QByteArray sink = {});
    ~PipeWireSoundPlayer() override;

    // False for a missing, unreadable, malformed or empty file.
    bool open(const QString& path) override;
    void playFromStart() override;
    // Only once the sound has played to its end on the server. Without a
    // server a sound never ends; if the server goes away meanwhile, the
    // sound starts again from its beginning when it is back.
    bool hasStopped() const override { return stopped_.load(); }
    void close() override;

private:
    void openStream(pw_core* core) override;
    void closeStream() override { dropStream(); }
    void process() override;
    void drained() override;

    std::atomic<bool> stopped_ { false };
    // Loop locked.
    WavSound sound_;
    int position_ = 0;
    bool draining_ = false;
};

class PipeWireSoundPlayerFactory : public SoundPlayerFactory {
public:
    explicit PipeWireSoundPlayerFactory(PipeWireContext& context, QByteArray sink = {})
        : context_(context)
        , sink_(std::move(sink))
    {
    }
    std::unique_ptr<SoundPlayer> create() override;

private:
    PipeWireContext& context_;
    QByteArray sink_;
};

} // namespace voxlet::pipewire
