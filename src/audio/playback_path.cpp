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
    , decoder_(kHdVoice.rate)
{
    record_.reserve(kMaxRecordBytes + 1);
    decoded_.resize(std::size_t(decoder_.frameSamples()));
}

void PlaybackPath::begin(const CallVoice& voice)
{
    voice_ = voice;
    written_ = 0;
}

void PlaybackPath::write(const char* data, int bytes, std::int64_t now)
{
    if (voice_.hd()) {
        // A packet stays whole; its place is its number in the call.
        const Record r { now, written_++, std::int32_t(bytes) };
        if (bytes <= 0 || bytes > kMaxRecordBytes || !ring_.writeAll(&r, sizeof r, data, std::size_t(bytes)))
            overflow_ += std::uint64_t(std::max(bytes, 0));
        return;
    }
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
    s.concealedSamples = concealed_;
    s.latePackets = late_;
    s.damagedPackets = damaged_;
    s.streaming = up_;
    s.playing = playing_;
    return s;
}

void PlaybackPath::streamUp()
{
    ring_.discard(ring_.readable());
    jitter_.reset(voice_.rate);
    decoder_.reset();
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
    jitter_.pull(out, samples, nowUs, voice_.hd() ? this : nullptr);
    if (echo_)
        echo_->rendered(out, std::size_t(samples), latencyMs);
    publish();
}

int PlaybackPath::takeDecoded(std::int16_t* out, int max)
{
    const std::size_t bytes = forDrawing_.read(out, std::size_t(std::max(max, 0)) * 2 & ~std::size_t(1));
    return int(bytes / 2);
}

int PlaybackPath::conceal(std::int16_t* out, int maxSamples)
{
    return maxSamples >= decoder_.frameSamples() ? decoder_.conceal(out) : 0;
}

void PlaybackPath::takePacket(const Record& r)
{
    record_.resize(std::size_t(r.bytes));
    ring_.read(record_.data(), std::size_t(r.bytes));
    const int frame = decoder_.frameSamples();
    if (jitter_.owedSamples() >= frame) {
        // Its place was concealed already: too late to play, and decoding
        // it would put the decoder a frame ahead of what was heard.
        jitter_.pushSamples(nullptr, frame, r.atUs);
        ++late_;
        return;
    }
    const int n
        = decoder_.decode(reinterpret_cast<const unsigned char*>(record_.data()), r.bytes, decoded_.data());
    jitter_.pushSamples(decoded_.data(), n, r.atUs);
    // Whole samples; the waveform does without what finds no room.
    forDrawing_.write(
        decoded_.data(), std::min(std::size_t(n) * 2, forDrawing_.writable() & ~std::size_t(1)));
}

void PlaybackPath::take(const Record& r)
{
    if (voice_.hd())
        return takePacket(r);
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
    concealed_ = s.concealedSamples;
    damaged_ = decoder_.damagedPackets();
    playing_ = s.playing;
}

} // namespace voxlet
