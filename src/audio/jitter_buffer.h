#pragma once
// Adaptive jitter buffer for received voice (16-bit mono samples, as bytes
// of little-endian PCM or as decoded samples).
//
// Bytes go in as they arrive, in pieces of any size; samples come out on the
// playback side's schedule. Pure logic: every call is given the time, so the
// owner decides the clock (a monotonic clock in the program, a simulated one
// in tests). Not thread-safe: one thread pushes and pulls.
//
// How it keeps its delay: each arrival is placed against the "earliest
// arrival line", the smallest (arrival time - media time) seen lately. A
// piece's lateness is how far its first sample came behind that line. The
// target delay is a high percentile of recent lateness plus a small margin,
// within a floor and a ceiling. The delay played at is how far playback runs
// behind the same line; it changes only when the buffer runs dry (it grows
// by the gap), or when samples are dropped or inserted to bring it back to
// the target. Samples are dropped or inserted in quiet stretches, a few at a
// time, or one per pull when far off and never quiet. After running dry the
// buffer refills to the target and drops what has piled up beyond it, so a
// stall's late burst does not stay as extra delay.
//
// Media time is counted in bytes received, so a sender that skips audio
// (drops what a stall held back, or its microphone paused) moves every later
// arrival to a new offset. A burst much later than the target therefore
// re-anchors the line on its own arrivals; if later arrivals come back to
// the old line (it was a stall and its backlog follows), the old line
// returns, and a delay that is then far above the target is cut at once.

#include <cstdint>
#include <deque>
#include <vector>

namespace voxlet {

struct JitterBufferConfig {
    int sampleRate = 8000; // the call's; reset(rate) changes it
    int floorMs = 30;
    int ceilingMs = 600; // a peer may send half a second at once
    int capacityMs = 2000; // what the buffer holds at most; the oldest goes first
    int historyMs = 10000; // how far back lateness and the arrival line look
    int maxArrivals = 1000; // ... and over how many arrivals at most
    double percentile = 0.98;
    int marginMs = 10;
    // ... and this share of the usual burst's length: a peer sending half a
    // second at once gives few arrivals to learn its lateness from, and each
    // one it is later than those drains the buffer dry.
    int lengthShare = 32;
    int bandMs = 15; // the delay may be this far above the target before it is trimmed
    int lowBandMs = 4; // ... and this far below it before samples are repeated
    int forceBandMs = 60; // above the target by this much, trim even while it is loud
    int shrinkMsPerSecond = 25; // how fast the target may come down
    int quietLevel = 1200; // peak magnitude below which a stretch counts as quiet
    int fadeMs = 5;
    int burstMs = 2; // arrivals closer than this count as one
    // A burst later than the target by this much re-anchors the arrival line
    // on itself.
    int reanchorMs = 40;
    // For this long after re-anchoring, arrivals back within their usual
    // spread of the old line bring it back, and the delay is trimmed faster.
    int settleMs = 2000;
    int cutMs = 100; // a delay this far above the target is cut at once
    // With a concealer: how long it may fill in before the buffer falls
    // silent and refills as without one (its guesses then count as extra
    // samples, not as the sender's). A guess is worth hearing for a short
    // gap; for a long one the late samples are better dropped as a stall's
    // backlog is.
    int concealMs = 100;
};

struct JitterBufferStats {
    std::uint64_t underruns = 0; // times playback ran dry while playing
    std::uint64_t droppedSamples = 0; // skipped to shorten the delay, or lost to overflow
    std::uint64_t insertedSamples = 0; // repeated to lengthen the delay
    std::uint64_t reanchors = 0; // times the arrival line was moved to a new offset
    std::uint64_t concealedSamples = 0; // guessed by the concealer while dry
    std::uint64_t lateSamples = 0; // came for a place the concealer had filled: dropped
    std::int64_t delayUs = 0; // how far playback runs behind the earliest arrival line
    std::int64_t targetUs = 0;
    int bufferedSamples = 0;
    bool playing = false;
};

// The codec's guess of frames that did not come (an HD call's decoder).
class Concealer {
public:
    virtual ~Concealer() = default;
    // One frame into out (room for maxSamples); the samples written.
    virtual int conceal(std::int16_t* out, int maxSamples) = 0;
};

class JitterBuffer {
public:
    explicit JitterBuffer(JitterBufferConfig config = {});

    // Bytes as they arrived at nowUs; an odd last byte waits for the next piece.
    void push(const char* bytes, int count, std::int64_t nowUs);
    // Decoded samples as they arrived. Null samples: they are known to come
    // late (lateSamples() covers them) and only their arrival counts.
    void pushSamples(const std::int16_t* samples, int count, std::int64_t nowUs);
    // Fills out with exactly `samples` samples (silence while refilling).
    void pull(std::int16_t* out, int samples, std::int64_t nowUs, Concealer* concealer = nullptr);
    // Samples the concealer filled in that nothing has come for yet: what
    // comes next for them is dropped.
    int owedSamples() const { return owed_; }
    // Forgets everything (a new stream, a new call), at the call's rate.
    void reset();
    void reset(int sampleRate);

    const JitterBufferStats& stats() const { return stats_; }
    const JitterBufferConfig& config() const { return config_; }

private:
    struct Arrival {
        std::int64_t atUs;
        std::int64_t valueUs;
    };
    struct Burst {
        std::int64_t atUs;
        std::int64_t lateUs; // its first sample behind the line
        std::int64_t endUs; // its last sample behind the line
        std::int64_t lengthUs; // the media it brought
    };

    std::int64_t samplesToUs(std::int64_t samples) const;
    std::int64_t usToSamples(std::int64_t us) const;
    std::int16_t at(int i) const;
    void append(std::int16_t s);
    void arrived(std::int64_t first, std::int64_t nowUs);
    bool concealDry(int samples, Concealer& concealer);
    void popFront(int n);
    static void addToLine(std::deque<Arrival>& line, Arrival a);
    void anchor(std::int64_t lateUs);
    void restoreOldLine();
    bool settling(std::int64_t nowUs) const;
    void playCut(std::int16_t* out, int samples, int cut, int fade);
    // True when something was forgotten: the percentiles are then stale.
    bool forgetOld(std::int64_t nowUs);
    void computeDesired();
    void updateTarget(std::int64_t nowUs);
    std::int64_t delayAfter(int samples, std::int64_t nowUs) const;
    void playAdjusted(std::int16_t* out, int samples, std::int64_t errorUs, bool settling);

    JitterBufferConfig config_;
    JitterBufferStats stats_;

    std::vector<std::int16_t> ring_;
    int capacity_ = 1; // of ring_, at the call's rate
    int start_ = 0;
    int count_ = 0;
    bool hasCarry_ = false;
    unsigned char carry_ = 0;

    std::int64_t received_ = 0; // media index just past the last sample received
    std::int64_t read_ = 0; // media index of the next sample to play
    bool haveLine_ = false;
    std::deque<Arrival> line_; // increasing values: front is the earliest arrival line
    std::deque<Arrival> oldLine_; // the line before the last re-anchoring, while it may come back
    std::int64_t anchorAtUs_ = -1; // when the line was last re-anchored
    std::int64_t anchorShiftUs_ = 0; // ... and by how much it moved
    std::deque<Burst> lateness_;
    std::vector<std::int64_t> scratch_;
    std::vector<int> positions_;
    std::int64_t desiredUs_ = 0; // what recent lateness asks for
    std::int64_t spreadUs_ = 0; // how far behind the line bursts usually end
    std::int64_t lastTargetUs_ = -1; // when the target was last brought down
    std::int64_t lastPushUs_ = -1;
    std::int64_t burstAtUs_ = 0; // when the current burst began, and its first sample
    std::int64_t burstFirst_ = 0;
    int owed_ = 0; // concealed samples nothing has come for yet
    int concealedRun_ = 0; // concealed since the last real arrival
    std::vector<std::int16_t> guess_;
    bool playing_ = false;
    bool fadeIn_ = false;
    bool adjusting_ = false;
};

} // namespace voxlet
