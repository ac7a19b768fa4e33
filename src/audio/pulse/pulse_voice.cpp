#include "audio/pulse/pulse_voice.h"

#include "audio/pulse/pulse_echo.h"

#include <QSocketNotifier>

#include <pulse/context.h>
#include <pulse/proplist.h>
#include <pulse/stream.h>

#include <chrono>
#include <cstring>

#include <sys/eventfd.h>
#include <unistd.h>

namespace voxlet::pulse {

namespace {

constexpr pa_sample_spec kVoiceSpec { PA_SAMPLE_S16LE, kVoiceRate, 1 };
constexpr std::uint32_t kBytesPerMs = kVoiceRate * 2 / 1000;
constexpr std::uint32_t kPlaybackTargetMs = 40;
// Latencies kept current without asking: the echo canceller aligns by them.
constexpr pa_stream_flags_t kVoiceStreamFlags = pa_stream_flags_t(
    PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE);

// A voice stream on the context, marked as a call's voice, or null.
pa_stream* NewVoiceStream(pa_context* context, pa_stream_notify_cb_t onState, void* self)
{
    pa_proplist* props = pa_proplist_new();
    SetVoiceStreamProperties(props);
    pa_stream* stream = pa_stream_new_with_proplist(context, "Voice", &kVoiceSpec, nullptr, props);
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

std::int64_t MonotonicUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void SetVoiceStreamProperties(pa_proplist* props)
{
    pa_proplist_sets(props, PA_PROP_MEDIA_ROLE, "phone");
    pa_proplist_sets(props, PA_PROP_FILTER_WANT, "echo-cancel");
}

// ---- capture ----

PulseCapture::PulseCapture(PulseContext& context, QByteArray source, QObject* parent)
    : QObject(parent)
    , StreamClient(context, std::move(source))
{
    eventFd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (eventFd_ >= 0) {
        notifier_ = new QSocketNotifier(eventFd_, QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, [this] { onWake(); });
    }
    silence_.setInterval(20);
    silence_.setTimerType(Qt::PreciseTimer);
    connect(&silence_, &QTimer::timeout, this, [this] { onSilenceTick(); });
    context_.addClient(this);
}

PulseCapture::~PulseCapture()
{
    stop();
    context_.removeClient(this);
    delete notifier_;
    if (eventFd_ >= 0)
        ::close(eventFd_);
}

bool PulseCapture::open(const VoiceFormat&)
{
    return context_.waitForFirstAttempt(kStartupWaitMs) && context_.hasDevice(true, device());
}

void PulseCapture::start(PieceCallback onPiece)
{
    onPiece_ = std::move(onPiece);
    {
        PulseContext::Lock lock(context_);
        wanted_ = true;
        openIfReady();
    }
    onWake();
}

void PulseCapture::stop()
{
    {
        PulseContext::Lock lock(context_);
        wanted_ = false;
        closeStream();
    }
    silence_.stop();
    ring_.discard(ring_.readable());
    onPiece_ = nullptr;
}

void PulseCapture::openStream(pa_context* context)
{
    stream_ = NewVoiceStream(context, &PulseCapture::onStreamState, this);
    if (!stream_)
        return streamFailed();
    pa_stream_set_read_callback(stream_, &PulseCapture::onRead, this);
    pa_stream_set_moved_callback(stream_, &PulseCapture::onMoved, this);
    pa_buffer_attr attr = ServerChosenAttributes();
    attr.fragsize = kVoicePieceBytes;
    if (pa_stream_connect_record(stream_, device(), &attr, kVoiceStreamFlags) < 0)
        streamFailed();
}

void PulseCapture::closeStream()
{
    reopen_.stop();
    dropStream();
    if (up_.exchange(false))
        wake();
}

void PulseCapture::onStreamState(pa_stream* s, void* self)
{
    auto* me = static_cast<PulseCapture*>(self);
    const pa_stream_state_t state = pa_stream_get_state(s);
    if (state == PA_STREAM_READY) {
        if (me->echo_)
            me->echo_->captureStarted(s);
        me->up_ = true;
        me->wake();
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
    const void* data = nullptr;
    size_t bytes = 0;
    while (pa_stream_readable_size(s) > 0 && pa_stream_peek(s, &data, &bytes) == 0 && bytes > 0) {
        std::size_t written;
        if (data) {
            written = me->put(s, data, bytes);
        } else {
            // A hole in the recording: silence of the same length.
            static const char zeros[1024] = {};
            written = 0;
            for (std::size_t left = bytes; left > 0;) {
                const std::size_t n = std::min(left, sizeof zeros);
                const std::size_t w = me->put(s, zeros, n);
                written += w;
                left -= n;
                if (w < n)
                    break;
            }
        }
        if (written < bytes)
            me->overflow_ += bytes - written;
        pa_stream_drop(s);
    }
    // The server may hand over 5 ms at a time; the main thread wakes only
    // when it has a whole piece to deliver.
    if (me->ring_.readable() >= std::size_t(kVoicePieceBytes))
        me->wake();
}

std::size_t PulseCapture::put(pa_stream* s, const void* data, std::size_t bytes)
{
    return echo_ ? echo_->captured(s, data, bytes, ring_) : ring_.write(data, bytes);
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
}

void PulseCapture::wake()
{
    const std::uint64_t one = 1;
    if (eventFd_ >= 0 && ::write(eventFd_, &one, sizeof one) < 0) {
        // Only fails when the counter is saturated: the main thread is awake anyway.
    }
}

void PulseCapture::onWake()
{
    std::uint64_t count = 0;
    if (eventFd_ >= 0 && ::read(eventFd_, &count, sizeof count) < 0) {
        // Nothing pending: a direct call, not a wake-up.
    }
    if (!onPiece_)
        return;
    char piece[kVoicePieceBytes];
    while (onPiece_ && ring_.readable() >= std::size_t(kVoicePieceBytes)) {
        ring_.read(piece, sizeof piece);
        deliver(piece);
    }
    if (!onPiece_)
        return; // stopped from inside the callback
    if (up_) {
        silence_.stop();
    } else if (!silence_.isActive()) {
        silenceClock_.start();
        silenceDue_ = 0;
        silence_.start();
    }
}

void PulseCapture::onSilenceTick()
{
    if (up_ || !onPiece_) {
        silence_.stop();
        return;
    }
    // By the clock, not by ticks: a late timer still gives the right amount.
    static const char zeros[kVoicePieceBytes] = {};
    const std::uint64_t due = std::uint64_t(silenceClock_.elapsed()) * kBytesPerMs;
    while (silenceDue_ + kVoicePieceBytes <= due && onPiece_ && !up_) {
        silenceDue_ += kVoicePieceBytes;
        silentBytes_ += kVoicePieceBytes;
        deliver(zeros);
    }
}

void PulseCapture::deliver(const char* piece)
{
    // A copy: the callback may stop capture, which forgets onPiece_.
    const PieceCallback onPiece = onPiece_;
    onPiece(piece, kVoicePieceBytes);
}

// ---- playback ----

PulsePlayback::PulsePlayback(PulseContext& context, QByteArray sink, JitterBufferConfig config)
    : StreamClient(context, std::move(sink))
    , jitter_(config)
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

void PulsePlayback::start()
{
    PulseContext::Lock lock(context_);
    if (!wanted_)
        written_ = 0; // a new call's stream
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
    const std::int64_t now = MonotonicUs();
    while (bytes > 0) {
        const Record r { now, written_, std::int32_t(std::min(bytes, kMaxRecordBytes)) };
        if (!ring_.writeAll(&r, sizeof r, data, std::size_t(r.bytes))) {
            // The stream is away (or stuck): what cannot be queued is lost,
            // as it would be too late to play anyway.
            overflow_ += std::uint64_t(bytes);
            written_ += std::uint64_t(bytes);
            return;
        }
        written_ += std::uint64_t(r.bytes);
        data += r.bytes;
        bytes -= r.bytes;
    }
}

void PulsePlayback::setEchoCanceller(PulseEchoCanceller* echo)
{
    PulseContext::Lock lock(context_);
    echo_ = echo;
}

PlaybackStats PulsePlayback::stats() const
{
    PlaybackStats s;
    s.underruns = underruns_;
    s.droppedSamples = dropped_;
    s.insertedSamples = inserted_;
    s.delayUs = delayUs_;
    s.targetUs = targetUs_;
    s.overflowBytes = overflow_;
    s.serverUnderflows = serverUnderflows_;
    s.streaming = up_;
    s.playing = playing_;
    return s;
}

void PulsePlayback::openStream(pa_context* context)
{
    stream_ = NewVoiceStream(context, &PulsePlayback::onStreamState, this);
    if (!stream_)
        return streamFailed();
    pa_stream_set_write_callback(stream_, &PulsePlayback::onWrite, this);
    pa_stream_set_underflow_callback(stream_, &PulsePlayback::onUnderflow, this);
    pa_buffer_attr attr = ServerChosenAttributes();
    attr.tlength = kPlaybackTargetMs * kBytesPerMs;
    attr.minreq = kVoicePieceBytes;
    if (pa_stream_connect_playback(stream_, device(), &attr, kVoiceStreamFlags, nullptr, nullptr) < 0)
        streamFailed();
}

void PulsePlayback::closeStream()
{
    reopen_.stop();
    dropStream();
    up_ = false;
}

void PulsePlayback::onStreamState(pa_stream* s, void* self)
{
    auto* me = static_cast<PulsePlayback*>(self);
    const pa_stream_state_t state = pa_stream_get_state(s);
    if (state == PA_STREAM_READY) {
        // A new stream starts afresh: what came while it was away is stale.
        me->ring_.discard(me->ring_.readable());
        me->jitter_.reset();
        me->aligned_ = false;
        me->up_ = true;
        me->publish();
    } else if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
        // The sink went away but the server stayed: until it is back, what
        // arrives is dropped (the ring overflows) and a new stream is tried.
        me->streamFailed();
    }
}

void PulsePlayback::onUnderflow(pa_stream*, void* self)
{
    ++static_cast<PulsePlayback*>(self)->serverUnderflows_;
}

void PulsePlayback::onWrite(pa_stream* s, size_t bytes, void* self)
{
    auto* me = static_cast<PulsePlayback*>(self);
    Record r;
    while (me->ring_.readable() >= sizeof r) {
        me->ring_.read(&r, sizeof r);
        me->take(r);
    }
    const int samples = int(bytes / 2);
    if (samples <= 0)
        return;
    me->out_.resize(std::size_t(samples));
    me->jitter_.pull(me->out_.data(), samples, MonotonicUs());
    if (me->echo_)
        me->echo_->rendered(s, me->out_.data(), std::size_t(samples));
    pa_stream_write(s, me->out_.data(), std::size_t(samples) * 2, nullptr, 0, PA_SEEK_RELATIVE);
    me->publish();
}

void PulsePlayback::take(const Record& r)
{
    // The record after a half sample held over, in one piece.
    record_.resize(std::size_t(r.bytes) + 1);
    ring_.read(record_.data() + 1, std::size_t(r.bytes));
    const char* from = record_.data() + 1;
    int n = r.bytes;
    if (!aligned_ || r.offset != expected_) {
        // Bytes were lost before this record: pair its bytes by their place
        // in the stream, not by what came before, or every later sample
        // would be made of two halves of different ones.
        half_ = false;
        if (r.offset % 2 && n > 0) {
            ++from;
            --n;
        }
    } else if (half_) {
        record_[0] = halfByte_;
        --from;
        ++n;
    }
    aligned_ = true;
    expected_ = r.offset + std::uint64_t(r.bytes);
    half_ = n % 2 != 0;
    if (half_)
        halfByte_ = from[--n];
    if (n > 0)
        jitter_.push(from, n, r.atUs);
}

void PulsePlayback::publish()
{
    const JitterBufferStats& s = jitter_.stats();
    underruns_ = s.underruns;
    dropped_ = s.droppedSamples;
    inserted_ = s.insertedSamples;
    delayUs_ = s.delayUs;
    targetUs_ = s.targetUs;
    playing_ = s.playing;
}

} // namespace voxlet::pulse
