#pragma once
// The voice streams on the sound server: 16-bit mono PCM at the call's
// rate, asked for in fragments of about 20 ms. What they record and play
// goes through the backend-neutral halves of the voice path
// (audio/capture_path.h, audio/playback_path.h); this is only the libpulse
// side of them.

#include "audio/audio_devices.h"
#include "audio/capture_path.h"
#include "audio/playback_path.h"
#include "audio/pulse/pulse_context.h"

#include <QByteArray>
#include <QObject>

#include <cstdint>
#include <vector>

struct pa_proplist;
struct pa_stream;

namespace voxlet::pulse {

class PulseEchoCanceller;

// Properties that mark a stream as a call's voice: desktops route it as a
// phone call and put their echo canceller in front of it where they have one.
void SetVoiceStreamProperties(pa_proplist* props);

// How long start-up waits for the sound server before it reports a missing device.
constexpr int kStartupWaitMs = 3000;

class PulseCapture : public QObject, public CaptureDevice, private StreamClient {
public:
    PulseCapture(PulseContext& context, QByteArray source = {}, QObject* parent = nullptr);
    ~PulseCapture() override;

    // Whether the server is there and has the source (the default one when
    // none was named); the stream itself opens only with start().
    bool open(const VoiceFormat& format) override;
    // Records at the call's rate and delivers pieces of 20 ms on this (the
    // main) thread. While the server or the stream is away, silence is
    // delivered at the same rate instead.
    void start(const CallVoice& voice, PieceCallback onPiece) override;
    void stop() override;

    bool streaming() const { return path_.streaming(); }
    std::uint64_t silentBytes() const { return path_.silentBytes(); }
    std::uint64_t overflowBytes() const { return path_.overflowBytes(); }
    // The phone's echo canceller cleans what is recorded (null: none).
    void setEchoCanceller(PulseEchoCanceller* echo);

private:
    void openStream(pa_context* context) override;
    void closeStream() override;
    static void onRead(pa_stream* s, size_t bytes, void* self);
    static void onMoved(pa_stream* s, void* self);
    static void onStreamState(pa_stream* s, void* self);

    CapturePath path_;
    // Sound server's side, under the loop lock.
    PulseEchoCanceller* echo_ = nullptr;
};

class PulsePlayback : public PlaybackDevice, private StreamClient {
public:
    PulsePlayback(PulseContext& context, QByteArray sink = {}, JitterBufferConfig config = {});
    ~PulsePlayback() override;

    // Whether the server is there and has the sink (the default one when
    // none was named).
    bool open(const VoiceFormat& format) override;
    void start(const CallVoice& voice) override;
    void stop() override;
    // Received voice, as it arrived (main thread). It passes through the
    // jitter buffer, which the sound server's thread plays from.
    void write(const char* data, int bytes) override;

    PlaybackStats stats() const { return path_.stats(); }
    // What is written to the speaker is the echo canceller's reference (null: none).
    void setEchoCanceller(PulseEchoCanceller* echo);

private:
    void openStream(pa_context* context) override;
    void closeStream() override;
    static void onWrite(pa_stream* s, size_t bytes, void* self);
    static void onStreamState(pa_stream* s, void* self);
    static void onUnderflow(pa_stream* s, void* self);

    PlaybackPath path_;
    // Sound server's side, under the loop lock.
    std::vector<std::int16_t> out_;
};

// How long a stream takes to reach the speaker or to come from the
// microphone, as the server reports it (-1: not known yet).
int StreamLatencyMs(pa_stream* s);

} // namespace voxlet::pulse
