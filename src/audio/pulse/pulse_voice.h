#pragma once
// The voice streams on the sound server: 16-bit mono PCM at 8000 samples/s,
// asked for in fragments of about 20 ms. Data crosses between the sound
// server's thread and the main thread only through lock-free rings; the
// call logic sees capture pieces on the main thread and hands received
// bytes over there too.

#include "audio/audio_devices.h"
#include "audio/jitter_buffer.h"
#include "audio/pulse/pulse_context.h"
#include "audio/spsc_ring.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

class QSocketNotifier;
struct pa_proplist;
struct pa_stream;

namespace voxlet::pulse {

class PulseEchoCanceller;

constexpr int kVoiceRate = 8000;
constexpr int kVoicePieceBytes = 320; // 20 ms

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
    // Records and delivers pieces of kVoicePieceBytes on this (the main)
    // thread. While the server or the stream is away, silence is delivered
    // at the same rate instead.
    void start(PieceCallback onPiece) override;
    void stop() override;

    bool streaming() const { return up_.load(); }
    std::uint64_t silentBytes() const { return silentBytes_; }
    std::uint64_t overflowBytes() const { return overflow_.load(); }
    // The phone's echo canceller cleans what is recorded (null: none).
    void setEchoCanceller(PulseEchoCanceller* echo);

private:
    void openStream(pa_context* context) override;
    void closeStream() override;
    static void onRead(pa_stream* s, size_t bytes, void* self);
    static void onMoved(pa_stream* s, void* self);
    std::size_t put(pa_stream* s, const void* data, std::size_t bytes);
    static void onStreamState(pa_stream* s, void* self);
    void wake();
    void onWake();
    void onSilenceTick();
    void deliver(const char* piece);

    PieceCallback onPiece_;
    SpscRing ring_ { 2 * 16000 };
    int eventFd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
    QTimer silence_;
    QElapsedTimer silenceClock_;
    std::uint64_t silenceDue_ = 0; // bytes delivered since silence began
    std::uint64_t silentBytes_ = 0;
    std::atomic<bool> up_ { false };
    std::atomic<std::uint64_t> overflow_ { 0 };
    // Sound server's side, under the loop lock.
    PulseEchoCanceller* echo_ = nullptr;
};

struct PlaybackStats {
    std::uint64_t underruns = 0;
    std::uint64_t droppedSamples = 0;
    std::uint64_t insertedSamples = 0;
    std::int64_t delayUs = 0;
    std::int64_t targetUs = 0;
    std::uint64_t overflowBytes = 0; // received while the stream was away
    // Times the server found the stream's own buffer empty: the sound
    // thread came too late with the next request (a busy machine).
    std::uint64_t serverUnderflows = 0;
    bool streaming = false;
    bool playing = false; // false while the jitter buffer refills
};

class PulsePlayback : public PlaybackDevice, private StreamClient {
public:
    PulsePlayback(PulseContext& context, QByteArray sink = {}, JitterBufferConfig config = {});
    ~PulsePlayback() override;

    // Whether the server is there and has the sink (the default one when
    // none was named).
    bool open(const VoiceFormat& format) override;
    void start() override;
    void stop() override;
    // Received voice bytes, as they arrived (main thread). They pass through
    // the jitter buffer, which the sound server's thread plays from.
    void write(const char* data, int bytes) override;

    PlaybackStats stats() const;
    // What is written to the speaker is the echo canceller's reference (null: none).
    void setEchoCanceller(PulseEchoCanceller* echo);

private:
    // Received bytes as the main thread handed them over, with their place
    // in the call's byte stream: reads may end inside a sample, and bytes
    // may be lost on the way (a full ring, a stream that started afresh).
    struct Record {
        std::int64_t atUs;
        std::uint64_t offset;
        std::int32_t bytes;
    };
    static constexpr int kMaxRecordBytes = 4096;

    void openStream(pa_context* context) override;
    void closeStream() override;
    static void onWrite(pa_stream* s, size_t bytes, void* self);
    static void onStreamState(pa_stream* s, void* self);
    static void onUnderflow(pa_stream* s, void* self);
    void take(const Record& r);
    void publish();

    SpscRing ring_ { 64 * 1024 };
    std::atomic<std::uint64_t> overflow_ { 0 }, serverUnderflows_ { 0 };
    std::uint64_t written_ = 0; // main thread: stream offset of the next byte
    // Sound server's side, under the loop lock.
    JitterBuffer jitter_;
    std::vector<std::int16_t> out_;
    std::vector<char> record_; // room for a half sample held over, then a record
    bool half_ = false;
    char halfByte_ = 0;
    std::uint64_t expected_ = 0; // stream offset the next record should start at
    bool aligned_ = false; // false: the next record starts wherever it starts
    PulseEchoCanceller* echo_ = nullptr;
    // A copy of the jitter buffer's counters for the main thread.
    std::atomic<std::uint64_t> underruns_ { 0 }, dropped_ { 0 }, inserted_ { 0 };
    std::atomic<std::int64_t> delayUs_ { 0 }, targetUs_ { 0 };
    std::atomic<bool> up_ { false };
    std::atomic<bool> playing_ { false };
};

// Microseconds of a monotonic clock, the same on every thread.
std::int64_t MonotonicUs();

} // namespace voxlet::pulse
