#include "audio/pulse/pulse_echo.h"

#include "audio/pulse/pulse_context.h"
#include "audio/pulse/pulse_voice.h"
#include "audio/spsc_ring.h"

#include <pulse/context.h>
#include <pulse/introspect.h>
#include <pulse/operation.h>
#include <pulse/proplist.h>
#include <pulse/stream.h>

#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace voxlet::pulse {

namespace {

// PulseAudio names the driver of its canceller's source; PipeWire groups
// its canceller's nodes as "echo-cancel-...".
bool SourceCancelsEcho(const pa_source_info& info)
{
    if (info.driver && std::strstr(info.driver, "module-echo-cancel"))
        return true;
    for (const char* key : { "node.group", "node.link-group" }) {
        const char* group = info.proplist ? pa_proplist_gets(info.proplist, key) : nullptr;
        if (group && std::strncmp(group, "echo-cancel", 11) == 0)
            return true;
    }
    return false;
}

int LatencyMs(pa_stream* s, int previous)
{
    pa_usec_t usec = 0;
    int negative = 0;
    if (pa_stream_get_latency(s, &usec, &negative) != 0)
        return previous; // no timing information yet
    return negative ? 0 : int(std::min<pa_usec_t>(usec / 1000, 1000));
}

} // namespace

bool EchoCancellationWanted()
{
    const char* v = std::getenv("VOXLET_ECHO_CANCEL");
    if (!v)
        return true;
    for (const char* off : { "0", "off", "no", "false" })
        if (strcasecmp(v, off) == 0)
            return false;
    return true;
}

PulseEchoCanceller::PulseEchoCanceller(
    PulseContext& context, PulseCapture& capture, PulsePlayback& playback, bool wanted)
    : context_(context)
    , capture_(capture)
    , playback_(playback)
    , wanted_(wanted)
{
    in_.reserve(4096);
    out_.reserve(4096);
    capture_.setEchoCanceller(this);
    playback_.setEchoCanceller(this);
}

PulseEchoCanceller::~PulseEchoCanceller()
{
    capture_.setEchoCanceller(nullptr);
    playback_.setEchoCanceller(nullptr);
    PulseContext::Lock lock(context_);
    if (asking_) {
        pa_operation_cancel(asking_);
        pa_operation_unref(asking_);
        asking_ = nullptr;
    }
}

PulseEchoStats PulseEchoCanceller::stats() const
{
    PulseEchoStats s;
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

void PulseEchoCanceller::rendered(pa_stream* s, const std::int16_t* samples, std::size_t count)
{
    if (!wanted_)
        return;
    playbackLatencyMs_ = LatencyMs(s, playbackLatencyMs_);
    canceller_.render(samples, count);
}

void PulseEchoCanceller::captureStarted(pa_stream* s)
{
    canceller_.reset();
    oddByte_ = false;
    sourceCancels_ = false;
    askSource(s);
}

void PulseEchoCanceller::captureMoved(pa_stream* s)
{
    askSource(s);
}

void PulseEchoCanceller::askSource(pa_stream* s)
{
    if (!wanted_)
        return;
    if (asking_) {
        pa_operation_cancel(asking_);
        pa_operation_unref(asking_);
    }
    askedFor_ = pa_stream_get_device_index(s);
    asking_ = pa_context_get_source_info_by_index(
        pa_stream_get_context(s), askedFor_, &PulseEchoCanceller::onSourceInfo, this);
}

void PulseEchoCanceller::onSourceInfo(pa_context*, const pa_source_info* info, int eol, void* self)
{
    auto* me = static_cast<PulseEchoCanceller*>(self);
    if (info && info->index == me->askedFor_)
        me->sourceCancels_ = SourceCancelsEcho(*info);
    if (eol != 0 && me->asking_) {
        pa_operation_unref(me->asking_);
        me->asking_ = nullptr;
    }
}

std::size_t PulseEchoCanceller::captured(pa_stream* s, const void* data, std::size_t bytes, SpscRing& ring)
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
    captureLatencyMs_ = LatencyMs(s, captureLatencyMs_);
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
    frames_.fetch_add(out_.size() / EchoCanceller::kFrameSamples, std::memory_order_relaxed);
    reportedMs_ = cs.reportedDelayMs;
    extraMs_ = cs.extraDelayMs;
    extraChanges_ = cs.extraDelayChanges;
    return written == outBytes ? bytes : bytes - std::min(bytes, outBytes - written);
}

} // namespace voxlet::pulse
