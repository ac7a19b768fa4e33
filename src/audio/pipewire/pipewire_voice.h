#pragma once
// The voice streams as native PipeWire streams: 16-bit mono at the call's
// rate, asking the graph for a cycle of one 20 ms piece, with the Communication
// role. Their process callbacks run on the data thread inside the graph's
// cycle and hand over through the backend-neutral halves of the voice path
// (audio/capture_path.h, audio/playback_path.h): no lock, no allocation of
// ours there. What changes under those callbacks changes on the data thread
// between two cycles (PipeWireContext::onDataThread).

#include "audio/audio_devices.h"
#include "audio/capture_path.h"
#include "audio/pipewire/pipewire_stream.h"
#include "audio/playback_path.h"

#include <QByteArray>
#include <QObject>

#include <cstdint>

namespace voxlet::pipewire {

class PipeWireEchoCanceller;

// How long start-up waits for the sound server before it reports a missing device.
constexpr int kStartupWaitMs = 3000;

class PipeWireCapture : public QObject, public CaptureDevice, private StreamClient {
public:
    // source: a node's name ("X.monitor": sink X's monitor); empty:
    // PULSE_SOURCE's, or the server's default.
    PipeWireCapture(PipeWireContext& context, QByteArray source = {}, QObject* parent = nullptr);
    ~PipeWireCapture() override;

    // Whether the server is there and has the source; the stream itself
    // opens only with start().
    bool open(const VoiceFormat& format) override;
    // Records at the call's rate and delivers pieces of 20 ms on this (the
    // main) thread. While the server or the source is away, silence is
    // delivered at the same rate instead.
    void start(const CallVoice& voice, PieceCallback onPiece) override;
    void stop() override;

    bool streaming() const { return path_.streaming(); }
    std::uint64_t silentBytes() const { return path_.silentBytes(); }
    std::uint64_t overflowBytes() const { return path_.overflowBytes(); }
    // The phone's echo canceller cleans what is recorded (null: none).
    void setEchoCanceller(PipeWireEchoCanceller* echo);
    // The stream's node on the server (loop locked), or SPA_ID_INVALID.
    std::uint32_t nodeId() const;

private:
    void openStream(pw_core* core) override;
    void closeStream() override;
    void process() override;
    void stateChanged(pw_stream_state state) override;

    CapturePath path_;
    PipeWireEchoCanceller* echo_ = nullptr; // loop locked
};

class PipeWirePlayback : public PlaybackDevice, private StreamClient {
public:
    // sink: a node's name; empty: PULSE_SINK's, or the server's default.
    PipeWirePlayback(PipeWireContext& context, QByteArray sink = {}, JitterBufferConfig config = {});
    ~PipeWirePlayback() override;

    bool open(const VoiceFormat& format) override;
    void start(const CallVoice& voice) override;
    void stop() override;
    // Received voice, as it arrived (main thread). It passes through the
    // jitter buffer, which the data thread plays from.
    void write(const char* data, int bytes) override;
    int takeDecoded(std::int16_t* out, int max) override { return path_.takeDecoded(out, max); }

    PlaybackStats stats() const { return path_.stats(); }
    // What is written to the speaker is the echo canceller's reference (null: none).
    void setEchoCanceller(PipeWireEchoCanceller* echo);

private:
    void openStream(pw_core* core) override;
    void closeStream() override;
    void process() override;
    void stateChanged(pw_stream_state state) override;

    PlaybackPath path_;
};

} // namespace voxlet::pipewire
