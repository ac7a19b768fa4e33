#include "audio/pulse/pulse_voice.h"

#include "audio/echo_path.h"
#include "audio/pulse/pulse_echo.h"

#include <pulse/context.h>
#include <pulse/proplist.h>
#include <pulse/stream.h>

#include <algorithm>
#include <cstring>

namespace voxlet::pulse {

namespace {

constexpr std::uint32_t kPlaybackTargetMs = 40;
// Latencies kept current without asking: the echo canceller aligns by them.
constexpr pa_stream_flags_t kVoiceStreamFlags = pa_stream_flags_t(
    PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE);

std::uint32_t BytesPerMs(const CallVoice& voice)
{
    return std::uint32_t(voice.rate) * 2 / 1000;
}

// A voice stream at the call's rate on the context, marked as a call's voice, or null.
pa_stream* NewVoiceStream(
    pa_context* context, const CallVoice& voice, pa_stream_notify_cb_t onState, void* self)
{
    const pa_sample_spec spec { PA_SAMPLE_S16LE, std::uint32_t(voice.rate), 1 };
    pa_proplist* props = pa_proplist_new();
    SetVoiceStreamProperties(props);
    pa_stream* stream = pa_stream_new_with_proplist(context, "Voice", &spec, nullptr, props);
    pa_proplist_free(props);
    if (stream)
        pa_stream_set_state_callback(stream, onState, self);
    return stream;
}

// Buffer attributes left to the server except what the caller sets.
pa_buffer_attr ServerChosenAttributes()
{
    pa_buffer_attr attr;
    std::memset(&attr, 0xff, sizeof attr); // (uint32_t)-1: the server's choice
    return attr;
}

} // namespace

void SetVoiceStreamProperties(pa_proplist* props)
{
    pa_proplist_sets(props, PA_PROP_MEDIA_ROLE, "phone");
    pa_proplist_sets(props, PA_PROP_FILTER_WANT, "echo-cancel");
}

int StreamLatencyMs(pa_stream* s)
{
    pa_usec_t usec = 0;
    int negative = 0;
    if (pa_stream_get_latency(s, &usec, &negative) != 0)
        return -1; // no timing information yet
    return negative ? 0 : int(std::min<pa_usec_t>(usec / 1000, 1000));
}

// ---- capture ----

PulseCapture::PulseCapture(PulseContext& context, QByteArray source, QObject* parent)
    : QObject(parent)
    , StreamClient(context, std::move(source))
{
    context_.addClient(this);
}

PulseCapture::~PulseCapture()
{
    stop();
    context_.removeClient(this);
}

bool PulseCapture::open(const VoiceFormat&)
{
    return context_.waitForFirstAttempt(kStartupWaitMs) && context_.hasDevice(true, device());
}

void PulseCapture::start(const CallVoice& voice, PieceCallback onPiece)
{
    path_.begin(voice, std::move(onPiece));
    {
        PulseContext::Lock lock(context_);
        wanted_ = true;
        openIfReady();
    }
    path_.deliverWaiting();
}

void PulseCapture::stop()
{
    {
        PulseContext::Lock lock(context_);
        wanted_ = false;
        closeStream();
    }
    path_.end();
}

void PulseCapture::openStream(pa_context* context)
{
    const CallVoice& voice = path_.voice();
    stream_ = NewVoiceStream(context, voice, &PulseCapture::onStreamState, this);
    if (!stream_)
        return streamFailed();
    pa_stream_set_read_callback(stream_, &PulseCapture::onRead, this);
    pa_stream_set_moved_callback(stream_, &PulseCapture::onMoved, this);
    pa_buffer_attr attr = ServerChosenAttributes();
    attr.fragsize = std::uint32_t(voice.pieceBytes());
    if (pa_stream_connect_record(stream_, device(), &attr, kVoiceStreamFlags) < 0)
        streamFailed();
}

void PulseCapture::closeStream()
{
    reopen_.stop();
    dropStream();
    path_.streamDown();
}

void PulseCapture::onStreamState(pa_stream* s, void* self)
{
    auto* me = static_cast<PulseCapture*>(self);
    const pa_stream_state_t state = pa_stream_get_state(s);
    if (state == PA_STREAM_READY) {
        if (me->echo_)
            me->echo_->captureStarted(s, me->path_.voice().rate);
        me->path_.streamUp();
    } else if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
        // The source went away but the server stayed (a headset unplugged):
        // silence meanwhile, and a new stream until the source is back. A
        // restarted server comes through contextReady instead.
        me->streamFailed();
    }
}

void PulseCapture::onRead(pa_stream* s, size_t, void* self)
{
    auto* me = static_cast<PulseCapture*>(self);
    const int latencyMs = me->echo_ ? StreamLatencyMs(s) : -1;
    const void* data = nullptr;
    size_t bytes = 0;
    while (pa_stream_readable_size(s) > 0 && pa_stream_peek(s, &data, &bytes) == 0 && bytes > 0) {
        me->path_.recorded(data, bytes, latencyMs); // no data: a hole, silence of that length
        pa_stream_drop(s);
    }
    me->path_.recordedAll();
}

void PulseCapture::onMoved(pa_stream* s, void* self)
{
    auto* me = static_cast<PulseCapture*>(self);
    if (me->echo_)
        me->echo_->captureMoved(s);
}

void PulseCapture::setEchoCanceller(PulseEchoCanceller* echo)
{
    PulseContext::Lock lock(context_);
    echo_ = echo;
    path_.setEcho(echo ? &echo->path() : nullptr);
}

// ---- playback ----

PulsePlayback::PulsePlayback(PulseContext& context, QByteArray sink, JitterBufferConfig config)
    : StreamClient(context, std::move(sink))
    , path_(config)
{
    context_.addClient(this);
}

PulsePlayback::~PulsePlayback()
{
    stop();
    context_.removeClient(this);
}

bool PulsePlayback::open(const VoiceFormat&)
{
    return context_.waitForFirstAttempt(kStartupWaitMs) && context_.hasDevice(false, device());
}

void PulsePlayback::start(const CallVoice& voice)
{
    PulseContext::Lock lock(context_);
    if (!wanted_)
        path_.begin(voice); // a new call's stream
    wanted_ = true;
    openIfReady();
}

void PulsePlayback::stop()
{
    PulseContext::Lock lock(context_);
    wanted_ = false;
    closeStream();
}

void PulsePlayback::write(const char* data, int bytes)
{
    path_.write(data, bytes);
}

void PulsePlayback::setEchoCanceller(PulseEchoCanceller* echo)
{
    PulseContext::Lock lock(context_);
    path_.setEcho(echo ? &echo->path() : nullptr);
}

void PulsePlayback::openStream(pa_context* context)
{
    const CallVoice& voice = path_.voice();
    stream_ = NewVoiceStream(context, voice, &PulsePlayback::onStreamState, this);
    if (!stream_)
        return streamFailed();
    pa_stream_set_write_callback(stream_, &PulsePlayback::onWrite, this);
    pa_stream_set_underflow_callback(stream_, &PulsePlayback::onUnderflow, this);
    pa_buffer_attr attr = ServerChosenAttributes();
    attr.tlength = kPlaybackTargetMs * BytesPerMs(voice);
    attr.minreq = std::uint32_t(voice.pieceBytes());
    if (pa_stream_connect_playback(stream_, device(), &attr, kVoiceStreamFlags, nullptr, nullptr) < 0)
        streamFailed();
}

void PulsePlayback::closeStream()
{
    reopen_.stop();
    dropStream();
    path_.streamDown();
}

void PulsePlayback::onStreamState(pa_stream* s, void* self)
{
    auto* me = static_cast<PulsePlayback*>(self);
    const pa_stream_state_t state = pa_stream_get_state(s);
    if (state == PA_STREAM_READY) {
        me->path_.streamUp();
    } else if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
        // The sink went away but the server stayed: until it is back, what
        // arrives is dropped (the ring overflows) and a new stream is tried.
        me->streamFailed();
    }
}

void PulsePlayback::onUnderflow(pa_stream*, void* self)
{
    static_cast<PulsePlayback*>(self)->path_.serverUnderflow();
}

void PulsePlayback::onWrite(pa_stream* s, size_t bytes, void* self)
{
    auto* me = static_cast<PulsePlayback*>(self);
    const int samples = int(bytes / 2);
    me->out_.resize(std::size_t(std::max(samples, 0)));
    me->path_.render(me->out_.data(), samples, MonotonicUs(), me->path_.echo() ? StreamLatencyMs(s) : -1);
    if (samples > 0)
        pa_stream_write(s, me->out_.data(), std::size_t(samples) * 2, nullptr, 0, PA_SEEK_RELATIVE);
}

} // namespace voxlet::pulse
