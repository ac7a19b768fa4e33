#pragma once
// The phone's echo canceller between its voice playback and its voice
// capture (not the ring sounds), as a sound server backend runs it on its
// sound thread, where both streams' callbacks run: the reference is what
// playback writes, the microphone's samples are cleaned before they enter
// the capture ring, so no audio crosses threads that did not before. It
// steps aside while the backend says the capture source cancels echo itself.

#include "audio/echo_canceller.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace voxlet {

class SpscRing;

// On unless VOXLET_ECHO_CANCEL is "0", "off", "no" or "false".
bool EchoCancellationWanted();

struct EchoPathStats {
    bool wanted = false;
    bool sourceCancels = false; // the source cancels echo: ours stays out
    bool inPath = false; // processing the microphone's samples right now
    std::uint64_t processedFrames = 0; // 10 ms frames through the canceller, in all
    std::uint64_t bypassedBytes = 0; // captured bytes passed on untouched
    int reportedDelayMs = 0;
    int extraDelayMs = 0;
    int extraDelayChanges = 0; // each one started the canceller afresh
};

class EchoPath {
public:
    explicit EchoPath(bool wanted = EchoCancellationWanted());
    EchoPath(const EchoPath&) = delete;
    EchoPath& operator=(const EchoPath&) = delete;

    bool wanted() const { return wanted_; }
    EchoPathStats stats() const;

    // ---- the sound server's thread ----

    // What playback just wrote, and how long it takes to reach the speaker
    // (-1: not known yet, the last figure stays).
    void rendered(const std::int16_t* samples, std::size_t count, int latencyMs);
    // A new capture stream at the call's rate: the canceller starts afresh.
    void restart(int rate);
    // Whether the capture stream's source cancels echo itself (asked by the
    // backend when the stream starts and whenever it moves).
    void setSourceCancels(bool cancels) { sourceCancels_ = cancels; }
    // Recorded bytes as the server gave them, and how long they took to
    // reach us (-1: not known); what goes on to the main thread is written
    // to ring. Returns the bytes accepted.
    std::size_t captured(const void* data, std::size_t bytes, int latencyMs, SpscRing& ring);

private:
    const bool wanted_;
    EchoCanceller canceller_;
    std::vector<std::int16_t> in_, out_;
    bool oddByte_ = false; // half a sample carried to the next read
    unsigned char carried_ = 0;
    int playbackLatencyMs_ = 0;
    int captureLatencyMs_ = 0;
    bool wasBypassed_ = false;
    // For the main thread.
    std::atomic<bool> sourceCancels_ { false };
    std::atomic<bool> inPath_ { false };
    std::atomic<std::uint64_t> frames_ { 0 };
    std::atomic<std::uint64_t> bypassed_ { 0 };
    std::atomic<int> reportedMs_ { 0 }, extraMs_ { 0 }, extraChanges_ { 0 };
};

} // namespace voxlet
