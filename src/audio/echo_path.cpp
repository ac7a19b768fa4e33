#include "audio/echo_path.h"

#include "audio/spsc_ring.h"
#include "call/switches.h"

#include <algorithm>
#include <cstring>

namespace voxlet {

bool EchoCancellationWanted()
{
    return SwitchedOn("VOXLET_ECHO_CANCEL");
}

EchoPath::EchoPath(bool wanted)
    : wanted_(wanted)
{
    in_.reserve(4096);
    out_.reserve(4096);
}

EchoPathStats EchoPath::stats() const
{
    EchoPathStats s;
    s.wanted = wanted_;
    s.sourceCancels = sourceCancels_;
    s.inPath = inPath_;
    s.processedFrames = frames_;
    s.bypassedBytes = bypassed_;
    s.reportedDelayMs = reportedMs_;
    s.extraDelayMs = extraMs_;
    s.extraDelayChanges = extraChanges_;
    return s;
}

void EchoPath::rendered(const std::int16_t* samples, std::size_t count, int latencyMs)
{
    if (!wanted_)
        return;
    if (latencyMs >= 0)
        playbackLatencyMs_ = latencyMs;
    canceller_.render(samples, count);
}

void EchoPath::restart(int rate)
{
    canceller_.reset(rate);
    oddByte_ = false;
    sourceCancels_ = false;
}

std::size_t EchoPath::captured(const void* data, std::size_t bytes, int latencyMs, SpscRing& ring)
{
    const auto* in = static_cast<const unsigned char*>(data);
    const bool inPath = wanted_ && canceller_.ok() && !sourceCancels_;
    inPath_ = inPath;
    if (!inPath) {
        wasBypassed_ = true;
        bypassed_ += bytes;
        if (oddByte_ && bytes > 0) {
            // Half a sample from before: it leads, so samples stay paired.
            oddByte_ = false;
            if (ring.write(&carried_, 1) < 1)
                return 0;
        }
        return ring.write(data, bytes);
    }
    if (wasBypassed_) {
        // Back in the path (moved off a cancelling source): a new echo path.
        wasBypassed_ = false;
        canceller_.reset();
    }
    if (latencyMs >= 0)
        captureLatencyMs_ = latencyMs;
    canceller_.setDelayMs(playbackLatencyMs_ + captureLatencyMs_);

    in_.clear();
    std::size_t at = 0;
    if (oddByte_ && bytes > 0) {
        unsigned char pair[2] = { carried_, in[0] };
        std::int16_t v;
        std::memcpy(&v, pair, 2);
        in_.push_back(v);
        at = 1;
        oddByte_ = false;
    }
    const std::size_t whole = (bytes - at) / 2;
    in_.resize(in_.size() + whole);
    std::memcpy(in_.data() + in_.size() - whole, in + at, whole * 2);
    at += whole * 2;
    if (at < bytes) {
        carried_ = in[at];
        oddByte_ = true;
    }

    out_.clear();
    canceller_.capture(in_.data(), in_.size(), out_);
    const std::size_t outBytes = out_.size() * 2;
    // Whole samples only, even when the ring is full: pairing is never lost.
    const std::size_t written
        = ring.write(out_.data(), std::min(outBytes, ring.writable() & ~std::size_t(1)));

    const EchoCancellerStats cs = canceller_.stats();
    frames_.fetch_add(out_.size() / std::size_t(canceller_.frameSamples()), std::memory_order_relaxed);
    reportedMs_ = cs.reportedDelayMs;
    extraMs_ = cs.extraDelayMs;
    extraChanges_ = cs.extraDelayChanges;
    return written == outBytes ? bytes : bytes - std::min(bytes, outBytes - written);
}

} // namespace voxlet
