#pragma once
// Echo cancellation and noise suppression of the microphone's voice with
// webrtc-audio-processing, the library PulseAudio's and PipeWire's own
// echo cancellers use: 16-bit mono at the call's rate in 10 ms frames. The
// reference is what went to the speaker; the microphone's samples come out
// cleaned of its echo, in whole frames. Pure: no thread, no clock, no
// device; the caller feeds both directions from one thread, in the order
// they happen.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace voxlet {

struct EchoCancellerStats {
    std::uint64_t renderedFrames = 0;
    std::uint64_t capturedFrames = 0;
    int reportedDelayMs = 0; // as last set
    // How much later than reported the echo comes, as found in the signals;
    // the reference is held back by about this much.
    int extraDelayMs = 0;
    int extraDelayChanges = 0;
};

class EchoCanceller {
public:
    // 8000 or 16000 samples/s (the library's rates up to 48000 work too).
    explicit EchoCanceller(int rate = 8000);
    ~EchoCanceller();
    EchoCanceller(const EchoCanceller&) = delete;
    EchoCanceller& operator=(const EchoCanceller&) = delete;

    // False when the library could not be set up: capture() then passes the
    // samples through unchanged.
    bool ok() const;

    // Samples as they are handed to the speaker, in any count.
    void render(const std::int16_t* samples, std::size_t count);
    // How long a rendered sample takes to reach the speaker plus how long a
    // captured one took to reach us: where in the reference to look for the
    // echo. What the reports leave out (the room, a loudspeaker's own
    // buffers, up to 400 ms more) is found in the signals.
    void setDelayMs(int ms);
    // Microphone samples in any count; whole processed frames are appended
    // to out, in order (the rest waits for the next call).
    void capture(const std::int16_t* samples, std::size_t count, std::vector<std::int16_t>& out);
    // Forgets the echo path and what is buffered: a new call, at its rate.
    void reset(int rate);
    void reset() { reset(rate_); }

    int rate() const { return rate_; }
    int frameSamples() const { return rate_ / 100; }
    EchoCancellerStats stats() const;

private:
    struct Library;
    class DelayFinder;
    void renderFrame(const std::int16_t* frame);
    void setExtraDelay(int ms);
    std::size_t slot(std::int64_t frame) const;
    void feedRender(const std::int16_t* frame);
    void processCapture(std::int16_t* frame);

    int rate_;
    std::unique_ptr<Library> lib_;
    std::unique_ptr<DelayFinder> finder_;
    std::vector<std::int16_t> renderPending_;
    std::vector<std::int16_t> capturePending_;
    // The last rendered frames, fed to the library extraDelayMs later.
    static constexpr int kRecentFrames = 64;
    std::vector<std::int16_t> recent_;
    std::int64_t renderedFrames_ = 0;
    std::int64_t fedFrames_ = 0;
    int reportedMs_ = 0;
    // The delay the library is told from a move on: where the echo was
    // found, kept until the next move (-1: the reports). Told only the
    // reports, which leave the path out, it kept up to 20 dB less in one
    // start of two through PulseAudio; told each flip of the lag between
    // two frames, as much again under load.
    int toldMs_ = -1;
    EchoCancellerStats stats_;
};

} // namespace voxlet
