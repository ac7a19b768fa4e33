#include "audio/jitter_buffer.h"

#include <algorithm>
#include <cstdlib>

namespace voxlet {

JitterBuffer::JitterBuffer(JitterBufferConfig config)
    : config_(config)
{
    config_.floorMs = std::max(0, config_.floorMs);
    config_.ceilingMs = std::max(config_.floorMs, config_.ceilingMs);
    reset(config_.sampleRate);
}

void JitterBuffer::reset(int sampleRate)
{
    config_.sampleRate = std::max(1, sampleRate);
    // Allocates only when a call's rate needs more room than any before.
    const auto capacity
        = size_t(std::max<std::int64_t>(1, usToSamples(std::int64_t(config_.capacityMs) * 1000)));
    if (ring_.size() < capacity)
        ring_.resize(capacity);
    capacity_ = int(capacity);
    guess_.resize(std::size_t(std::max(1, config_.sampleRate / 50)));
    reset();
}

void JitterBuffer::reset()
{
    stats_ = {};
    stats_.targetUs = std::int64_t(config_.floorMs) * 1000;
    start_ = count_ = 0;
    hasCarry_ = false;
    received_ = read_ = 0;
    haveLine_ = false;
    line_.clear();
    oldLine_.clear();
    lateness_.clear();
    desiredUs_ = stats_.targetUs;
    spreadUs_ = 0;
    lastTargetUs_ = -1;
    lastPushUs_ = -1;
    anchorAtUs_ = -1;
    owed_ = concealedRun_ = 0;
    playing_ = fadeIn_ = adjusting_ = false;
}

std::int64_t JitterBuffer::samplesToUs(std::int64_t samples) const
{
    return samples * 1000000 / config_.sampleRate;
}

std::int64_t JitterBuffer::usToSamples(std::int64_t us) const
{
    return us * config_.sampleRate / 1000000;
}

std::int16_t JitterBuffer::at(int i) const
{
    return ring_[size_t((start_ + i) % capacity_)];
}

void JitterBuffer::append(std::int16_t s)
{
    if (count_ == capacity_) {
        // Full: the oldest sample goes, as it would only add delay.
        popFront(1);
        ++read_;
        ++stats_.droppedSamples;
    }
    ring_[size_t((start_ + count_) % capacity_)] = s;
    ++count_;
    ++received_;
}

void JitterBuffer::popFront(int n)
{
    n = std::min(n, count_);
    start_ = (start_ + n) % capacity_;
    count_ -= n;
}

void JitterBuffer::push(const char* bytes, int count, std::int64_t nowUs)
{
    if (!bytes || count <= 0)
        return;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes);
    const std::int64_t first = received_;
    if (hasCarry_) {
        append(std::int16_t(std::uint16_t(carry_ | (p[0] << 8))));
        hasCarry_ = false;
        ++p;
        --count;
    }
    for (; count >= 2; p += 2, count -= 2)
        append(std::int16_t(std::uint16_t(p[0] | (p[1] << 8))));
    if (count == 1) {
        carry_ = p[0];
        hasCarry_ = true;
    }
    if (received_ == first)
        return; // only half a sample so far
    arrived(first, nowUs);
}

void JitterBuffer::pushSamples(const std::int16_t* samples, int count, std::int64_t nowUs)
{
    if (count <= 0)
        return;
    // The first of them may take a place the concealer filled: they are
    // dropped, but arrived at the place they belong to.
    const std::int64_t first = received_ - owed_;
    const int late = std::min(count, owed_);
    owed_ -= late;
    stats_.lateSamples += std::uint64_t(late);
    if (late < count)
        concealedRun_ = 0;
    for (int i = late; i < count; ++i)
        append(samples ? samples[i] : std::int16_t(0));
    arrived(first, nowUs);
}

void JitterBuffer::arrived(std::int64_t first, std::int64_t nowUs)
{
    // Pieces that come together (a burst read in several parts) count as
    // one arrival: the first of them is the latest, and a stall's backlog
    // must not outweigh the arrivals of normal seconds.
    const bool sameBurst = lastPushUs_ >= 0 && nowUs - lastPushUs_ < std::int64_t(config_.burstMs) * 1000;
    lastPushUs_ = nowUs;
    const bool hadLine = haveLine_;
    if (!sameBurst) {
        burstAtUs_ = nowUs;
        burstFirst_ = first;
        lateness_.push_back({ nowUs, 0, 0, 0 });
        if (!settling(nowUs))
            oldLine_.clear(); // the re-anchoring stands
    }
    // The arrival line is the smallest (arrival - media end) of the window,
    // kept as a deque of increasing values.
    addToLine(line_, { nowUs, nowUs - samplesToUs(received_) });
    haveLine_ = true;
    const std::int64_t burstStartUs = burstAtUs_ - samplesToUs(burstFirst_);
    if (!sameBurst && hadLine)
        anchor(burstStartUs - line_.front().valueUs);
    if (!oldLine_.empty()
        && line_.front().valueUs - oldLine_.front().valueUs
            <= spreadUs_ + std::int64_t(config_.marginMs) * 1000)
        restoreOldLine();
    // Against the line as the whole burst has moved it.
    lateness_.back().lateUs = burstStartUs - line_.front().valueUs;
    lateness_.back().endUs = line_.back().valueUs - line_.front().valueUs;
    lateness_.back().lengthUs = samplesToUs(received_ - burstFirst_);
    forgetOld(nowUs);
    computeDesired();
    updateTarget(nowUs);
}

void JitterBuffer::addToLine(std::deque<Arrival>& line, Arrival a)
{
    while (!line.empty() && line.back().valueUs >= a.valueUs)
        line.pop_back();
    line.push_back(a);
}

void JitterBuffer::anchor(std::int64_t lateUs)
{
    // Later than anything the target allows for: a stall whose backlog comes
    // now, or a sender that skipped audio (it dropped what a stall held
    // back, or its microphone paused), after which every arrival sits at a
    // new offset. Measured against the old line, every later piece would be
    // late and the target would climb to the ceiling, so the burst's own
    // arrivals become the line. The old line is kept a while in case the
    // backlog follows.
    if (lateUs <= stats_.targetUs + std::int64_t(config_.reanchorMs) * 1000)
        return;
    std::deque<Arrival> old;
    while (line_.size() > 1 && line_.front().atUs < burstAtUs_) {
        old.push_back(line_.front());
        line_.pop_front();
    }
    if (old.empty())
        return;
    oldLine_.swap(old);
    anchorAtUs_ = burstAtUs_;
    anchorShiftUs_ = line_.front().valueUs - oldLine_.front().valueUs;
    ++stats_.reanchors;
}

void JitterBuffer::restoreOldLine()
{
    // The arrivals caught up with the old line: it was a stall's backlog.
    std::deque<Arrival> recent;
    recent.swap(line_);
    line_.swap(oldLine_);
    for (const Arrival& a : recent)
        addToLine(line_, a);
    // The anchoring burst was as late as the old line says.
    for (Burst& b : lateness_)
        if (b.atUs == anchorAtUs_) {
            b.lateUs += anchorShiftUs_;
            b.endUs += anchorShiftUs_;
        }
    anchorAtUs_ = -1;
    --stats_.reanchors;
}

bool JitterBuffer::settling(std::int64_t nowUs) const
{
    return anchorAtUs_ >= 0 && nowUs - anchorAtUs_ < std::int64_t(config_.settleMs) * 1000;
}

bool JitterBuffer::forgetOld(std::int64_t nowUs)
{
    const std::int64_t oldest = nowUs - std::int64_t(config_.historyMs) * 1000;
    bool changed = false;
    // By age, and by count: a peer that trickles bytes must not make every
    // arrival cost more.
    const std::size_t most = std::size_t(std::max(1, config_.maxArrivals));
    while (line_.size() > 1 && (line_.front().atUs < oldest || line_.size() > most))
        line_.pop_front();
    while (lateness_.size() > 1 && (lateness_.front().atUs < oldest || lateness_.size() > most)) {
        lateness_.pop_front();
        changed = true;
    }
    return changed;
}

void JitterBuffer::computeDesired()
{
    if (lateness_.empty())
        return;
    const size_t k = size_t(config_.percentile * double(lateness_.size() - 1));
    auto percentile = [&](auto value) {
        scratch_.clear();
        for (const Burst& b : lateness_)
            scratch_.push_back(b.*value);
        std::nth_element(scratch_.begin(), scratch_.begin() + std::ptrdiff_t(k), scratch_.end());
        return scratch_[k];
    };
    const std::int64_t marginUs = std::int64_t(config_.marginMs) * 1000
        + (config_.lengthShare > 0 ? percentile(&Burst::lengthUs) / config_.lengthShare : 0);
    desiredUs_ = std::clamp(percentile(&Burst::lateUs) + marginUs, std::int64_t(config_.floorMs) * 1000,
        std::int64_t(config_.ceilingMs) * 1000);
    spreadUs_ = percentile(&Burst::endUs);
}

void JitterBuffer::updateTarget(std::int64_t nowUs)
{
    // Up at once; down slowly, so one calm moment does not undo the margin
    // that a rough network needs.
    if (desiredUs_ >= stats_.targetUs || lastTargetUs_ < 0) {
        stats_.targetUs = std::max(desiredUs_, lastTargetUs_ < 0 ? desiredUs_ : stats_.targetUs);
    } else {
        const std::int64_t step = (nowUs - lastTargetUs_) * config_.shrinkMsPerSecond / 1000;
        stats_.targetUs = std::max(desiredUs_, stats_.targetUs - std::max<std::int64_t>(0, step));
    }
    lastTargetUs_ = nowUs;
}

std::int64_t JitterBuffer::delayAfter(int samples, std::int64_t nowUs) const
{
    return haveLine_ ? nowUs - samplesToUs(read_ + samples) - line_.front().valueUs : 0;
}

bool JitterBuffer::concealDry(int samples, Concealer& concealer)
{
    // Dry while playing: the codec's guess takes the place of what is late,
    // for as long as a guess is worth hearing.
    const std::int64_t most = usToSamples(std::int64_t(config_.concealMs) * 1000);
    if (concealedRun_ == 0 && most > 0)
        ++stats_.underruns;
    while (count_ < samples && concealedRun_ < most) {
        const int n = std::clamp(concealer.conceal(guess_.data(), int(guess_.size())), 0, int(guess_.size()));
        if (n == 0)
            break;
        for (int i = 0; i < n; ++i)
            append(guess_[std::size_t(i)]);
        owed_ += n;
        concealedRun_ += n;
        stats_.concealedSamples += std::uint64_t(n);
    }
    return count_ >= samples;
}

void JitterBuffer::pull(std::int16_t* out, int samples, std::int64_t nowUs, Concealer* concealer)
{
    if (!out || samples <= 0)
        return;
    if (forgetOld(nowUs))
        computeDesired();
    updateTarget(nowUs);
    const int fade = std::max(1, int(usToSamples(std::int64_t(config_.fadeMs) * 1000)));

    if (!playing_ && haveLine_ && count_ >= samples) {
        const std::int64_t delay = delayAfter(samples, nowUs);
        if (delay >= stats_.targetUs) {
            // Refilled. What piled up beyond the target (a stall's late
            // burst) is dropped here, where it is silent anyway.
            const int drop
                = int(std::min<std::int64_t>(usToSamples(delay - stats_.targetUs), count_ - samples));
            if (drop > 0) {
                popFront(drop);
                read_ += drop;
                stats_.droppedSamples += std::uint64_t(drop);
            }
            playing_ = fadeIn_ = true;
            adjusting_ = false;
        }
    }

    if (!playing_) {
        std::fill(out, out + samples, std::int16_t(0));
    } else if (count_ < samples && !(concealer && concealDry(samples, *concealer))) {
        // Ran dry: fade out what is left, then refill to the target.
        const int m = count_;
        for (int i = 0; i < m; ++i) {
            const int left = m - i;
            out[i] = left < fade ? std::int16_t(at(i) * left / fade) : at(i);
        }
        std::fill(out + m, out + samples, std::int16_t(0));
        popFront(m);
        read_ += m;
        playing_ = false;
        if (concealedRun_ == 0) // else counted when the concealer began
            ++stats_.underruns;
        // The concealer gave up: what it guessed was extra, as repeated
        // samples are, not the sender's media. The next arrivals keep their
        // own places: a stall's backlog is dropped beyond the target as it
        // refills, and after a sender that skipped audio nothing new is
        // dropped for places it never sends.
        received_ -= owed_;
        read_ -= owed_;
        owed_ = 0;
    } else if (const std::int64_t errorUs = delayAfter(samples, nowUs) - stats_.targetUs;
               errorUs > std::int64_t(config_.cutMs) * 1000 && count_ > samples) {
        // Far behind: a backlog arrived after playback had started again.
        // Trimming a sample at a time would keep the delay for many seconds.
        playCut(out, samples, int(std::min<std::int64_t>(usToSamples(errorUs), count_ - samples)), fade);
    } else {
        playAdjusted(out, samples, errorUs, settling(nowUs));
        if (fadeIn_) {
            for (int i = 0; i < std::min(fade, samples); ++i)
                out[i] = std::int16_t(out[i] * i / fade);
            fadeIn_ = false;
        }
    }
    stats_.delayUs = delayAfter(0, nowUs);
    stats_.bufferedSamples = count_;
    stats_.playing = playing_;
}

void JitterBuffer::playCut(std::int16_t* out, int samples, int cut, int fade)
{
    // Fade out, skip, fade in.
    const int f = std::max(1, std::min(fade, samples / 2));
    for (int i = 0; i < f; ++i)
        out[i] = std::int16_t(at(i) * (f - i) / f);
    popFront(f + cut);
    read_ += f + cut;
    stats_.droppedSamples += std::uint64_t(cut);
    for (int i = f; i < samples; ++i)
        out[i] = i - f < f ? std::int16_t(at(i - f) * (i - f) / f) : at(i - f);
    popFront(samples - f);
    read_ += samples - f;
    fadeIn_ = false;
    adjusting_ = false;
}

void JitterBuffer::playAdjusted(std::int16_t* out, int samples, std::int64_t errorUs, bool settling)
{
    // Too long a delay is trimmed once it is a band above the target; too
    // short a one is mended at once, since below the target the next late
    // piece runs the buffer dry.
    const std::int64_t band = std::int64_t(config_.bandMs) * 1000;
    const std::int64_t low = std::int64_t(config_.lowBandMs) * 1000;
    if (errorUs > 0)
        adjusting_ = errorUs > (settling ? band / 4 : band) || (adjusting_ && errorUs > band / 4);
    else
        adjusting_ = -errorUs > low || (adjusting_ && errorUs < 0);

    int change = 0; // > 0 drops samples, < 0 inserts them
    bool spread = false;
    if (adjusting_) {
        const std::int64_t magnitude = std::abs(errorUs);
        int peak = 0;
        for (int i = 0; i < std::min(count_, samples + samples / 16); ++i)
            peak = std::max(peak, std::abs(int(at(i))));
        int budget = 0;
        if (peak < config_.quietLevel) {
            budget = std::max(1, samples / 16);
            spread = true;
        } else if (settling && errorUs > 0) {
            // Just re-anchored: the line is still finding its floor, and
            // each step it comes down is delay to take out soon.
            budget = std::max(1, samples / 40);
        } else if (magnitude > (errorUs > 0 ? std::int64_t(config_.forceBandMs) * 1000 : 2 * low)) {
            budget = 1;
        }
        budget = int(std::min<std::int64_t>(budget, std::max<std::int64_t>(1, usToSamples(magnitude))));
        if (errorUs > 0)
            change = std::min(budget, count_ - samples);
        else
            change = -std::min(budget, samples - 1);
    }

    const int k = std::abs(change);
    const int sourceLength = samples + change;
    // Where to drop or repeat: evenly through a quiet stretch, else at the
    // softest samples, where a one-sample jump is least heard.
    std::vector<int>& marks = positions_;
    marks.clear();
    if (k > 0 && spread) {
        for (int i = 1; i <= k; ++i)
            marks.push_back(int(std::int64_t(i) * sourceLength / (k + 1)));
    } else if (k > 0) {
        for (int i = 0; i < k; ++i) {
            const int from = int(std::int64_t(i) * sourceLength / k),
                      to = int(std::int64_t(i + 1) * sourceLength / k);
            int best = from;
            for (int j = from + 1; j < to; ++j)
                if (std::abs(int(at(j))) < std::abs(int(at(best))))
                    best = j;
            marks.push_back(best);
        }
    }

    int o = 0;
    size_t next = 0;
    for (int j = 0; j < sourceLength && o < samples; ++j) {
        const bool marked = next < marks.size() && marks[next] == j;
        if (marked)
            ++next;
        if (marked && change > 0)
            continue; // dropped
        out[o++] = at(j);
        if (marked && change < 0 && o < samples)
            out[o++] = at(j); // repeated
    }
    while (o < samples) // only if positions coincided; keeps the count exact
        out[o++] = sourceLength > 0 ? at(sourceLength - 1) : 0;
    popFront(sourceLength);
    read_ += sourceLength;
    if (change > 0)
        stats_.droppedSamples += std::uint64_t(k);
    else
        stats_.insertedSamples += std::uint64_t(k);
}

} // namespace voxlet
