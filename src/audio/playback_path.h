#pragma once
// The playback half of a call's voice, as every sound server backend shares
// it: the main thread hands over what the socket brought, with its arrival
// time, through a lock-free ring; the sound server's thread moves it into
// the jitter buffer (an HD call's packets decoded on the way, and the codec
// concealing what comes late) and renders what the stream asks for. A
// backend opens and drops its stream and calls render() from its write
// callback. The decoded voice goes back to the main thread, for the
// waveform, through a second ring.

#include "audio/audio_devices.h"
#include "audio/jitter_buffer.h"
#include "audio/opus_voice.h"
#include "audio/spsc_ring.h"

#include <atomic>
#include <cstdint>
#include <vector>

namespace voxlet {

class EchoPath;

// Microseconds of a monotonic clock, the same on every thread.
std::int64_t MonotonicUs();

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
    std::uint64_t concealedSamples = 0; // HD: guessed by the codec while dry
    std::uint64_t latePackets = 0; // HD: came for a place already concealed, dropped
    std::uint64_t damagedPackets = 0; // HD: could not be decoded, concealed instead
    bool streaming = false;
    bool playing = false; // false while the jitter buffer refills
};

class PlaybackPath : private Concealer {
public:
    explicit PlaybackPath(JitterBufferConfig config = {});
    PlaybackPath(const PlaybackPath&) = delete;
    PlaybackPath& operator=(const PlaybackPath&) = delete;

    // ---- main thread ----

    // A new call's voice, before its stream opens (with the backend's lock).
    void begin(const CallVoice& voice);
    // Received voice, as it arrived (now, unless told when): lock-free,
    // never waits. HD: one packet.
    void write(const char* data, int bytes, std::int64_t atUs = MonotonicUs());
    // HD: decoded samples for the waveform, up to max; the number given.
    int takeDecoded(std::int16_t* out, int max);
    PlaybackStats stats() const;
    const CallVoice& voice() const { return voice_; }

    // ---- the sound server's thread (and the main thread with the backend's lock) ----

    // What is written to the speaker is the echo canceller's reference (null: none).
    void setEcho(EchoPath* echo) { echo_ = echo; }
    EchoPath* echo() const { return echo_; }
    // A new stream starts afresh: what came while it was away is stale.
    void streamUp();
    void streamDown() { up_ = false; }
    // Fills out with what the stream asked for; latencyMs is how long it
    // takes to reach the speaker (-1: not known), for the echo canceller.
    void render(std::int16_t* out, int samples, std::int64_t nowUs, int latencyMs);
    // The server found the stream's buffer empty.
    void serverUnderflow() { ++serverUnderflows_; }

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

    void take(const Record& r);
    void takePacket(const Record& r);
    int conceal(std::int16_t* out, int maxSamples) override;
    void publish();

    CallVoice voice_;
    SpscRing ring_ { 64 * 1024 };
    std::atomic<std::uint64_t> overflow_ { 0 }, serverUnderflows_ { 0 };
    std::uint64_t written_ = 0; // main thread: stream offset of the next byte
    // Sound server's side.
    JitterBuffer jitter_;
    std::vector<char> record_; // room for a half sample held over, then a record
    bool half_ = false;
    char halfByte_ = 0;
    std::uint64_t expected_ = 0; // stream offset the next record should start at
    bool aligned_ = false; // false: the next record starts wherever it starts
    VoiceDecoder decoder_;
    std::vector<std::int16_t> decoded_;
    SpscRing forDrawing_ { 32 * 1024 };
    EchoPath* echo_ = nullptr;
    // A copy of the jitter buffer's counters for the main thread.
    std::atomic<std::uint64_t> underruns_ { 0 }, dropped_ { 0 }, inserted_ { 0 };
    std::atomic<std::uint64_t> concealed_ { 0 }, late_ { 0 }, damaged_ { 0 };
    std::atomic<std::int64_t> delayUs_ { 0 }, targetUs_ { 0 };
    std::atomic<bool> up_ { false };
    std::atomic<bool> playing_ { false };
};

} // namespace voxlet
