#pragma once
// The phone's echo canceller (audio/echo_path.h) joined to its PipeWire
// capture and playback streams for as long as it lives. Both streams'
// callbacks run on the context's data thread, where the canceller runs;
// the latencies it aligns by are the streams' own (pw_stream_get_time_n).
// What is PipeWire's here: whether the capture stream records from a node
// of PipeWire's own canceller (module-echo-cancel's "echo-cancel-..."
// group), in which case ours steps aside.

#include "audio/echo_path.h"
#include "audio/pipewire/pipewire_context.h"

namespace voxlet::pipewire {

class PipeWireCapture;
class PipeWirePlayback;

class PipeWireEchoCanceller : private PipeWireContext::Client {
public:
    // Joins capture and playback, which must be on this context.
    PipeWireEchoCanceller(PipeWireContext& context, PipeWireCapture& capture, PipeWirePlayback& playback,
        bool wanted = EchoCancellationWanted());
    ~PipeWireEchoCanceller() override;
    PipeWireEchoCanceller(const PipeWireEchoCanceller&) = delete;
    PipeWireEchoCanceller& operator=(const PipeWireEchoCanceller&) = delete;

    EchoPathStats stats() const { return path_.stats(); }
    EchoPath& path() { return path_; }

    // Loop locked: looks again at what the capture stream records from.
    void checkSource();

private:
    void coreReady(pw_core*) override { }
    void coreLost() override { }
    void graphChanged() override { checkSource(); }

    PipeWireContext& context_;
    PipeWireCapture& capture_;
    PipeWirePlayback& playback_;
    EchoPath path_;
};

} // namespace voxlet::pipewire
