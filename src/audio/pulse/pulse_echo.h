#pragma once
// The phone's own echo canceller between its voice playback and its voice
// capture (not the ring sounds). It runs on the sound server's thread,
// where both streams' callbacks run: the reference is tapped where playback
// writes to the server, the microphone's samples are cleaned before they
// enter the capture ring, so no audio crosses threads that did not before.
// It steps aside while the capture stream's source cancels echo itself
// (PulseAudio's module-echo-cancel, PipeWire's echo-cancel source, or one a
// filter moved the stream to).

#include "audio/echo_canceller.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

struct pa_context;
struct pa_operation;
struct pa_source_info;
struct pa_stream;

namespace voxlet {
class SpscRing;
}

namespace voxlet::pulse {

class PulseCapture;
class PulseContext;
class PulsePlayback;

// On unless VOXLET_ECHO_CANCEL is "0", "off", "no" or "false".
bool EchoCancellationWanted();

struct PulseEchoStats {
    bool wanted = false;
    bool sourceCancels = false; // the source cancels echo: ours stays out
    bool inPath = false; // processing the microphone's samples right now
    std::uint64_t processedFrames = 0; // 10 ms frames through the canceller, in all
    std::uint64_t bypassedBytes = 0; // captured bytes passed on untouched
    int reportedDelayMs = 0;
    int extraDelayMs = 0;
    int extraDelayChanges = 0; // each one started the canceller afresh
};

class PulseEchoCanceller {
public:
    // Joins capture and playback, which must be on this context, for as
    // long as it lives.
    PulseEchoCanceller(PulseContext& context, PulseCapture& capture, PulsePlayback& playback,
        bool wanted = EchoCancellationWanted());
    ~PulseEchoCanceller();
    PulseEchoCanceller(const PulseEchoCanceller&) = delete;
    PulseEchoCanceller& operator=(const PulseEchoCanceller&) = delete;

    PulseEchoStats stats() const;

    // ---- the sound server's thread, loop locked ----

    // What playback just wrote to stream s.
    void rendered(pa_stream* s, const std::int16_t* samples, std::size_t count);
    // A new capture stream, or one the server moved: finds out what its
    // source is. A new one also starts the canceller afresh.
    void captureStarted(pa_stream* s);
    void captureMoved(pa_stream* s);
    // Recorded bytes of stream s, as the server gave them; what goes on to
    // the main thread is written to ring. Returns the bytes accepted.
    std::size_t captured(pa_stream* s, const void* data, std::size_t bytes, SpscRing& ring);

private:
    void askSource(pa_stream* s);
    static void onSourceInfo(pa_context*, const pa_source_info* info, int eol, void* self);

    PulseContext& context_;
    PulseCapture& capture_;
    PulsePlayback& playback_;
    const bool wanted_;
    // Sound server's side.
    EchoCanceller canceller_;
    std::vector<std::int16_t> in_, out_;
    bool oddByte_ = false; // half a sample carried to the next read
    unsigned char carried_ = 0;
    int playbackLatencyMs_ = 0;
    int captureLatencyMs_ = 0;
    std::uint32_t askedFor_ = 0; // the source asked about
    pa_operation* asking_ = nullptr;
    bool wasBypassed_ = false;
    // For the main thread.
    std::atomic<bool> sourceCancels_ { false };
    std::atomic<bool> inPath_ { false };
    std::atomic<std::uint64_t> frames_ { 0 };
    std::atomic<std::uint64_t> bypassed_ { 0 };
    std::atomic<int> reportedMs_ { 0 }, extraMs_ { 0 }, extraChanges_ { 0 };
};

} // namespace voxlet::pulse
