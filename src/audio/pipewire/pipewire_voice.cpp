#include "audio/pipewire/pipewire_voice.h"

#include "audio/echo_path.h"
#include "audio/pipewire/pipewire_echo.h"

#include <pipewire/pipewire.h>

#include <algorithm>

namespace voxlet::pipewire {

namespace {

// The voice streams ask for one piece per graph cycle (the graph rounds it
// down to a power of two at its own rate).
StreamSpec VoiceSpec(const CallVoice& voice, bool capture)
{
    StreamSpec spec;
    spec.capture = capture;
    spec.rate = voice.rate;
    spec.latencyFrames = voice.pieceSamples();
    spec.realtime = true;
    return spec;
}

// The chunk's bytes within its buffer.
std::pair<const char*, std::size_t> Chunk(const spa_data& d)
{
    const std::uint32_t offset = std::min(d.chunk->offset, d.maxsize);
    const std::uint32_t size = std::min(d.chunk->size, d.maxsize - offset);
    return { d.data ? static_cast<const char*>(d.data) + offset : nullptr, size };
}

} // namespace

// ---- capture ----

PipeWireCapture::PipeWireCapture(PipeWireContext& context, QByteArray source, QObject* parent)
    : QObject(parent)
    , StreamClient(context, std::move(source), true)
{
    context_.addClient(this);
}

PipeWireCapture::~PipeWireCapture()
{
    stop();
    context_.removeClient(this);
}

bool PipeWireCapture::open(const VoiceFormat&)
{
    return context_.waitForFirstAttempt(kStartupWaitMs)
        && context_.hasDevice(true, device().isEmpty() ? nullptr : device().constData());
}

void PipeWireCapture::start(const CallVoice& voice, PieceCallback onPiece)
{
    path_.begin(voice, std::move(onPiece));
    {
        PipeWireContext::Lock lock(context_);
        wanted_ = true;
        openIfReady();
    }
    path_.deliverWaiting();
}

void PipeWireCapture::stop()
{
    {
        PipeWireContext::Lock lock(context_);
        wanted_ = false;
        closeStream();
    }
    path_.end();
}

void PipeWireCapture::setEchoCanceller(PipeWireEchoCanceller* echo)
{
    PipeWireContext::Lock lock(context_);
    echo_ = echo;
    context_.onDataThread([this, echo] { path_.setEcho(echo ? &echo->path() : nullptr); });
}

std::uint32_t PipeWireCapture::nodeId() const
{
    return stream_ ? pw_stream_get_node_id(stream_) : SPA_ID_INVALID;
}

void PipeWireCapture::openStream(pw_core* core)
{
    if (!connectStream(core, VoiceSpec(path_.voice(), true)))
        streamFailed();
}

void PipeWireCapture::closeStream()
{
    reopen_.stop();
    dropStream();
    path_.streamDown();
}

void PipeWireCapture::stateChanged(pw_stream_state state)
{
    if (state == PW_STREAM_STATE_STREAMING) {
        // Linked to a source (again): a new echo path, which the playback
        // stream's callback shares.
        const int rate = path_.voice().rate;
        context_.onDataThread([this, rate] {
            if (EchoPath* echo = path_.echo())
                echo->restart(rate);
        });
        if (echo_)
            echo_->checkSource();
        path_.streamUp();
    } else {
        // Unlinked (the source went away), failed or gone: silence by the
        // clock meanwhile.
        path_.streamDown();
    }
}

void PipeWireCapture::process()
{
    const int latencyMs = path_.echo() ? StreamLatencyMs(stream_, path_.voice().rate) : -1;
    while (pw_buffer* b = pw_stream_dequeue_buffer(stream_)) {
        if (b->buffer->n_datas > 0) {
            const auto [data, bytes] = Chunk(b->buffer->datas[0]);
            path_.recorded(data, bytes, latencyMs); // no data: a hole, silence of that length
        }
        pw_stream_queue_buffer(stream_, b);
    }
    path_.recordedAll();
}

// ---- playback ----

namespace {

// PulseAudio keeps 40 ms in the server's buffer, which rides out the
// server's own late cycles; a native stream holds one cycle. The graph on
// a busy or virtual machine pauses and then catches up in quick cycles, so
// the jitter buffer keeps part of that reserve in its floor instead.
constexpr int kGraphReserveMs = 20;

JitterBufferConfig WithGraphReserve(JitterBufferConfig config)
{
    config.floorMs += kGraphReserveMs;
    return config;
}

} // namespace

PipeWirePlayback::PipeWirePlayback(PipeWireContext& context, QByteArray sink, JitterBufferConfig config)
    : StreamClient(context, std::move(sink), false)
    , path_(WithGraphReserve(config))
{
    context_.addClient(this);
}

PipeWirePlayback::~PipeWirePlayback()
{
    stop();
    context_.removeClient(this);
}

bool PipeWirePlayback::open(const VoiceFormat&)
{
    return context_.waitForFirstAttempt(kStartupWaitMs)
        && context_.hasDevice(false, device().isEmpty() ? nullptr : device().constData());
}

void PipeWirePlayback::start(const CallVoice& voice)
{
    PipeWireContext::Lock lock(context_);
    if (!wanted_)
        path_.begin(voice); // a new call's stream
    wanted_ = true;
    openIfReady();
}

void PipeWirePlayback::stop()
{
    PipeWireContext::Lock lock(context_);
    wanted_ = false;
    closeStream();
}

void PipeWirePlayback::write(const char* data, int bytes)
{
    path_.write(data, bytes);
}

void PipeWirePlayback::setEchoCanceller(PipeWireEchoCanceller* echo)
{
    PipeWireContext::Lock lock(context_);
    context_.onDataThread([this, echo] { path_.setEcho(echo ? &echo->path() : nullptr); });
}

void PipeWirePlayback::openStream(pw_core* core)
{
    if (!connectStream(core, VoiceSpec(path_.voice(), false)))
        streamFailed();
}

void PipeWirePlayback::closeStream()
{
    reopen_.stop();
    dropStream();
    path_.streamDown();
}

void PipeWirePlayback::stateChanged(pw_stream_state state)
{
    if (state == PW_STREAM_STATE_STREAMING) {
        // Linked to a sink (again): what came while it was away is stale.
        context_.onDataThread([this] { path_.streamUp(); });
    } else {
        path_.streamDown();
    }
}

void PipeWirePlayback::process()
{
    pw_buffer* b = pw_stream_dequeue_buffer(stream_);
    if (!b)
        return; // every buffer is still queued: the server has enough
    spa_data& d = b->buffer->datas[0];
    if (b->buffer->n_datas > 0 && d.data) {
        const int room = int(d.maxsize / 2);
        // What the resampler needs for the next cycle; at most a piece when
        // the server does not say.
        const int samples
            = std::min(room, b->requested > 0 ? int(b->requested) : path_.voice().pieceSamples());
        const int latencyMs = path_.echo() ? StreamLatencyMs(stream_, path_.voice().rate) : -1;
        path_.render(static_cast<std::int16_t*>(d.data), samples, MonotonicUs(), latencyMs);
        d.chunk->offset = 0;
        d.chunk->stride = 2;
        d.chunk->size = std::uint32_t(samples) * 2;
        b->size = std::uint64_t(samples);
    }
    pw_stream_queue_buffer(stream_, b);
}

} // namespace voxlet::pipewire
