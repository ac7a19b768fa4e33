#include "net/voice_sender.h"

#include <algorithm>

namespace voxlet {

VoiceSender::VoiceSender(int maxUnsentBytes, int blockBytes)
    : maxUnsent_(std::max(2, (maxUnsentBytes + 1) & ~1))
    , blockBytes_(std::max(2, blockBytes))
{
}

VoiceSender VoiceSender::Framed(int maxUnsentFrames)
{
    VoiceSender sender;
    sender.framed_ = true;
    sender.maxFrames_ = std::max(1, maxUnsentFrames);
    return sender;
}

void VoiceSender::captureFrame(const char* data, int count)
{
    buffer_.insert(buffer_.end(), data, data + count);
    frames_.push_back(count);
    // The oldest frames that have not begun to go out make room, whole;
    // the newest always stays.
    const std::size_t from = headSent_ > 0 ? 1 : 0;
    if (int(frames_.size() - from) <= maxFrames_)
        return;
    const std::size_t at = offset_ + std::size_t(from ? frames_.front() - headSent_ : 0);
    while (int(frames_.size() - from) > maxFrames_) {
        const int size = frames_[from];
        buffer_.erase(buffer_.begin() + std::ptrdiff_t(at), buffer_.begin() + std::ptrdiff_t(at) + size);
        frames_.erase(frames_.begin() + std::ptrdiff_t(from));
        dropped_ += std::uint64_t(size);
    }
    ++drops_;
}

void VoiceSender::capture(const char* data, int count)
{
    if (finished_ || !data || count <= 0)
        return;
    if (framed_)
        return captureFrame(data, count);
    // Only whole samples join the stream; an odd byte waits for its partner.
    if (hasCarry_) {
        buffer_.push_back(carry_);
        buffer_.push_back(data[0]);
        hasCarry_ = false;
        ++data;
        --count;
    }
    if (count % 2 == 1) {
        carry_ = data[count - 1];
        hasCarry_ = true;
        --count;
    }
    buffer_.insert(buffer_.end(), data, data + count);

    const int excess = unsentBytes() - maxUnsent_;
    if (excess <= 0)
        return;
    // Drop the oldest unsent audio, but never the second byte of a sample
    // whose first byte is already out: the span starts and ends on sample
    // boundaries of the stream.
    const std::size_t from = offset_ + std::size_t(sent_ % 2);
    const std::size_t available = (buffer_.size() - from) & ~std::size_t(1);
    const std::size_t span = std::min<std::size_t>(std::size_t((excess + 1) & ~1), available);
    if (span == 0)
        return;
    buffer_.erase(buffer_.begin() + std::ptrdiff_t(from), buffer_.begin() + std::ptrdiff_t(from + span));
    dropped_ += span;
    ++drops_;
}

void VoiceSender::sent(int count)
{
    count = std::clamp(count, 0, unsentBytes());
    offset_ += std::size_t(count);
    sent_ += std::uint64_t(count);
    for (int left = count; framed_ && left > 0 && !frames_.empty();) {
        const int take = std::min(left, frames_.front() - headSent_);
        headSent_ += take;
        left -= take;
        if (headSent_ == frames_.front()) {
            frames_.erase(frames_.begin());
            headSent_ = 0;
        }
    }
    compact();
}

void VoiceSender::compact()
{
    if (offset_ == buffer_.size()) {
        buffer_.clear();
        offset_ = 0;
    } else if (offset_ > 4096 && offset_ * 2 > buffer_.size()) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + std::ptrdiff_t(offset_));
        offset_ = 0;
    }
}

void VoiceSender::finish()
{
    if (finished_)
        return;
    finished_ = true;
    if (framed_)
        return; // the last whole frame ends the call
    if (hasCarry_) {
        buffer_.push_back(carry_);
        hasCarry_ = false;
    }
    const std::uint64_t total = sent_ + std::uint64_t(unsentBytes());
    const std::uint64_t pad
        = (std::uint64_t(blockBytes_) - total % std::uint64_t(blockBytes_)) % std::uint64_t(blockBytes_);
    buffer_.insert(buffer_.end(), std::size_t(pad), char(0));
}

} // namespace voxlet
