#include "audio/playback_path.h"

#include "audio/echo_path.h"

#include <algorithm>
#include <chrono>

namespace voxlet {

std::int64_t MonotonicUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

PlaybackPath::PlaybackPath(JitterBufferConfig config)
    : jitter_(config)
{
    record_.reserve(kMaxRecordBytes + 1);
}

void PlaybackPath::begin(const CallVoice& voice)
{
    voice_ = voice;
    written_ = 0;
}

void PlaybackPath::write(const char* data, int bytes)
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

PlaybackStats PlaybackPath::stats() const
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

void PlaybackPath::streamUp()
{
    ring_.discard(ring_.readable());
    jitter_.reset(voice_.rate);
    aligned_ = false;
    up_ = true;
    publish();
}

void PlaybackPath::render(std::int16_t* out, int samples, std::int64_t nowUs, int latencyMs)
{
    Record r;
    while (ring_.readable() >= sizeof r) {
        ring_.read(&r, sizeof r);
        take(r);
    }
    if (samples <= 0)
        return;
    jitter_.pull(out, samples, nowUs);
    if (echo_)
        echo_->rendered(out, std::size_t(samples), latencyMs);
    publish();
}

void PlaybackPath::take(const Record& r)
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

void PlaybackPath::publish()
{
    const JitterBufferStats& s = jitter_.stats();
    underruns_ = s.underruns;
    dropped_ = s.droppedSamples;
    inserted_ = s.insertedSamples;
    delayUs_ = s.delayUs;
    targetUs_ = s.targetUs;
    playing_ = s.playing;
}

} // namespace voxlet
