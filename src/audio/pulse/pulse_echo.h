#pragma once
// The phone's echo canceller (audio/echo_path.h) joined to its libpulse
// capture and playback streams for as long as it lives. What is libpulse's
// here: the stream latencies it aligns by (read by the streams) and whether
// the capture stream's source cancels echo itself (PulseAudio's
// module-echo-cancel, PipeWire's echo-cancel source, or one a filter moved
// the stream to), in which case ours steps aside.

#include "audio/echo_path.h"

#include <cstdint>

struct pa_context;
struct pa_operation;
struct pa_source_info;
struct pa_stream;

namespace voxlet::pulse {

class PulseCapture;
class PulseContext;
class PulsePlayback;

class PulseEchoCanceller {
public:
    // Joins capture and playback, which must be on this context.
    PulseEchoCanceller(PulseContext& context, PulseCapture& capture, PulsePlayback& playback,
        bool wanted = EchoCancellationWanted());
    ~PulseEchoCanceller();
    PulseEchoCanceller(const PulseEchoCanceller&) = delete;
    PulseEchoCanceller& operator=(const PulseEchoCanceller&) = delete;

    EchoPathStats stats() const { return path_.stats(); }
    EchoPath& path() { return path_; }

    // ---- the sound server's thread, loop locked ----

    // A new capture stream at the call's rate, or one the server moved:
    // finds out what its source is. A new one also starts the canceller afresh.
    void captureStarted(pa_stream* s, int rate);
    void captureMoved(pa_stream* s);

private:
    void askSource(pa_stream* s);
    static void onSourceInfo(pa_context*, const pa_source_info* info, int eol, void* self);

    PulseContext& context_;
    PulseCapture& capture_;
    PulsePlayback& playback_;
    EchoPath path_;
    // Sound server's side.
    std::uint32_t askedFor_ = 0; // the source asked about
    pa_operation* asking_ = nullptr;
};

} // namespace voxlet::pulse
