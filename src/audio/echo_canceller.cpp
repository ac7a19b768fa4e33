#include "audio/echo_canceller.h"

#include <webrtc/modules/audio_processing/include/audio_processing.h>
#include <webrtc/modules/interface/module_common_types.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace voxlet {

struct EchoCanceller::Library {
    std::unique_ptr<webrtc::AudioProcessing> apm;
    webrtc::AudioFrame frame;
};

// Finds how much later than reported the echo comes, from the frames' levels
// alone: the captured level follows the rendered one at that lag. The
// library finds small offsets itself within a fraction of a second, but
// took 16 s for 250 ms; this finds it in one or two syllables of the far
// end, and the reference is then held back by that much.
class EchoCanceller::DelayFinder {
public:
    static constexpr int kMaxLag = 40; // frames: 400 ms beyond the reported delay
    static constexpr int kHistory = 128; // rendered levels kept (the reports stay under 500 ms)
    static constexpr int kStep = 2; // frames a change of level is taken over
    static_assert(kHistory > 50 + kMaxLag + 1);

    void rendered(double level)
    {
        levels_[std::size_t(rendered_ % kHistory)] = level;
        ++rendered_;
    }
    std::int64_t renderedFrames() const { return rendered_; }

    // A captured frame's level, and the rendered frame the reported delay
    // points at.
    void captured(double level, std::int64_t anchor)
    {
        // Changes of level over 20 ms, not levels: onsets line up sharply
        // where a syllable's smooth envelope would blur the lag over several
        // frames.
        const double rise = level - captures_[std::size_t((captured_ + kStep) % (kStep + 1))];
        captures_[std::size_t(captured_ % (kStep + 1))] = level;
        ++captured_;
        if (anchor - kMaxLag - kStep < 0 || rendered_ - (anchor - kMaxLag - kStep) > kHistory)
            return;
        level = rise;
        // About a second of memory: long enough for a few syllables, short
        // enough to follow a changed path.
        constexpr double keep = 0.99;
        w_ = w_ * keep + 1;
        x_ = x_ * keep + level;
        xx_ = xx_ * keep + level * level;
        for (int lag = 0; lag <= kMaxLag; ++lag) {
            const double y = levels_[std::size_t((anchor - lag) % kHistory)]
                - levels_[std::size_t((anchor - lag - kStep) % kHistory)];
            Lag& l = lags_[std::size_t(lag)];
            l.y = l.y * keep + y;
            l.yy = l.yy * keep + y * y;
            l.xy = l.xy * keep + level * y;
        }
        if (++sinceDecision_ >= 5) {
            sinceDecision_ = 0;
            decide();
        }
    }

    // The lag in frames the signals agree on (-1 while they do not).
    int lag() const { return lag_; }

private:
    struct Lag {
        double y = 0, yy = 0, xy = 0;
    };

    void decide()
    {
        const double varX = xx_ / w_ - (x_ / w_) * (x_ / w_);
        int best = -1;
        double bestScore = 0;
        for (int lag = 0; lag <= kMaxLag; ++lag) {
            const Lag& l = lags_[std::size_t(lag)];
            const double varY = l.yy / w_ - (l.y / w_) * (l.y / w_);
            // Both sides must have moved by several dB: silence proves nothing.
            if (varX < 9 || varY < 36)
                continue;
            const double cov = l.xy / w_ - (x_ / w_) * (l.y / w_);
            const double score = cov / std::sqrt(varX * varY);
            if (score > bestScore) {
                bestScore = score;
                best = lag;
            }
        }
        // PipeWire's 21 ms quanta jitter the timing by a frame or two and
        // keep the agreement lower than on PulseAudio (0.5-0.7 against 0.9).
        if (best < 0 || bestScore < 0.4) {
            candidateCount_ = 0;
            return;
        }
        // A new lag counts once three decisions in a row agree.
        if (candidate_ >= 0 && std::abs(best - candidate_) <= 1)
            ++candidateCount_;
        else
            candidateCount_ = 1;
        candidate_ = best;
        if (candidateCount_ >= 3)
            lag_ = candidate_;
    }

    std::array<double, kHistory> levels_ {};
    std::array<Lag, kMaxLag + 1> lags_ {};
    std::int64_t rendered_ = 0;
    std::array<double, kStep + 1> captures_ {};
    std::int64_t captured_ = 0;
    double w_ = 0, x_ = 0, xx_ = 0;
    int sinceDecision_ = 0;
    int candidate_ = -1;
    int candidateCount_ = 0;
    int lag_ = -1;
};

namespace {

std::unique_ptr<webrtc::AudioProcessing> CreateProcessing(int rate)
{
    webrtc::Config config;
    // The echo path of a desktop is not known to the millisecond: the
    // servers' reported latencies leave out the room, the loudspeaker's own
    // processing and drift. The library finds the delay itself and keeps a
    // filter long enough (256 ms at 8 kHz) for the tail of a room.
    config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(true));
    config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(true));
    config.Set<webrtc::ExperimentalAgc>(new webrtc::ExperimentalAgc(false));
    std::unique_ptr<webrtc::AudioProcessing> apm(webrtc::AudioProcessing::Create(config));
    if (!apm)
        return nullptr;
    using AP = webrtc::AudioProcessing;
    if (apm->Initialize(rate, rate, rate, AP::kMono, AP::kMono, AP::kMono) != AP::kNoError)
        return nullptr;
    apm->high_pass_filter()->Enable(true);
    webrtc::EchoCancellation* aec = apm->echo_cancellation();
    aec->enable_drift_compensation(false);
    aec->set_suppression_level(webrtc::EchoCancellation::kModerateSuppression);
    aec->enable_delay_logging(true);
    if (aec->Enable(true) != AP::kNoError)
        return nullptr;
    apm->noise_suppression()->set_level(webrtc::NoiseSuppression::kModerate);
    apm->noise_suppression()->Enable(true);
    // Automatic gain control stays off: it would pump the far end's echo
    // residue and the room's noise up in pauses.
    apm->gain_control()->Enable(false);
    return apm;
}

// A frame's level in dB (of 16-bit units squared; silence is 0).
double FrameLevel(const std::int16_t* frame, int samples)
{
    double sum = 0;
    for (int i = 0; i < samples; ++i)
        sum += double(frame[i]) * frame[i];
    return 10 * std::log10(sum / samples + 1);
}

void Prepare(webrtc::AudioFrame& frame, const std::int16_t* samples, int rate)
{
    frame.sample_rate_hz_ = rate;
    frame.num_channels_ = 1;
    frame.samples_per_channel_ = std::size_t(rate / 100);
    std::memcpy(frame.data_, samples, sizeof(std::int16_t) * std::size_t(rate / 100));
}

// Appends samples to pending and hands every whole frame to take.
template <typename Take>
void Frames(std::vector<std::int16_t>& pending, const std::int16_t* samples, std::size_t count,
    std::size_t frame, Take take)
{
    if (pending.empty()) {
        // The usual case, pieces of whole frames: no copy through pending.
        while (count >= frame) {
            take(samples);
            samples += frame;
            count -= frame;
        }
        pending.assign(samples, samples + count);
        return;
    }
    pending.insert(pending.end(), samples, samples + count);
    std::size_t at = 0;
    for (; at + frame <= pending.size(); at += frame)
        take(pending.data() + at);
    pending.erase(pending.begin(), pending.begin() + std::ptrdiff_t(at));
}

} // namespace

EchoCanceller::EchoCanceller(int rate)
    : rate_(rate)
    , lib_(std::make_unique<Library>())
{
    reset(rate);
}

EchoCanceller::~EchoCanceller() = default;

bool EchoCanceller::ok() const
{
    return lib_->apm != nullptr;
}

void EchoCanceller::render(const std::int16_t* samples, std::size_t count)
{
    if (!ok())
        return;
    Frames(renderPending_, samples, count, std::size_t(frameSamples()),
        [this](const std::int16_t* f) { renderFrame(f); });
}

void EchoCanceller::setDelayMs(int ms)
{
    reportedMs_ = std::clamp(ms, 0, 500);
    stats_.reportedDelayMs = reportedMs_;
}

void EchoCanceller::capture(const std::int16_t* samples, std::size_t count, std::vector<std::int16_t>& out)
{
    Frames(capturePending_, samples, count, std::size_t(frameSamples()), [&](const std::int16_t* f) {
        const std::size_t at = out.size();
        out.insert(out.end(), f, f + frameSamples());
        processCapture(out.data() + at);
    });
}

void EchoCanceller::reset(int rate)
{
    rate_ = rate;
    renderPending_.clear();
    capturePending_.clear();
    // Sized for the call's rate once; a call at the same rate allocates nothing.
    renderPending_.reserve(std::size_t(frameSamples()));
    capturePending_.reserve(std::size_t(frameSamples()));
    recent_.assign(std::size_t(kRecentFrames) * std::size_t(frameSamples()), 0);
    renderedFrames_ = fedFrames_ = 0;
    toldMs_ = -1;
    lib_->apm = CreateProcessing(rate_);
    finder_ = std::make_unique<DelayFinder>();
    stats_ = {};
    stats_.reportedDelayMs = reportedMs_;
}

EchoCancellerStats EchoCanceller::stats() const
{
    return stats_;
}

void EchoCanceller::renderFrame(const std::int16_t* frame)
{
    finder_->rendered(FrameLevel(frame, frameSamples()));
    std::copy(frame, frame + frameSamples(), recent_.begin() + std::ptrdiff_t(slot(renderedFrames_)));
    ++renderedFrames_;
    ++stats_.renderedFrames;
    for (; fedFrames_ < renderedFrames_ - stats_.extraDelayMs / 10; ++fedFrames_)
        feedRender(recent_.data() + slot(fedFrames_));
}

std::size_t EchoCanceller::slot(std::int64_t frame) const
{
    return std::size_t(frame % kRecentFrames) * std::size_t(frameSamples());
}

void EchoCanceller::setExtraDelay(int ms)
{
    // The reference keeps flowing at its own pace: a longer delay replays
    // the last of it, a shorter one skips some. The library's buffer then
    // neither runs dry nor floods, and the reference has no hole, which
    // the library would take for the near end talking.
    ms = std::min(ms, (kRecentFrames - 1) * 10);
    // Started afresh: a filter adapted to the old alignment takes a second
    // to unlearn it, a new one converges in a quarter of that. It gets the
    // reference of the reported delay back in one go.
    lib_->apm = CreateProcessing(rate_);
    fedFrames_ = std::max<std::int64_t>(
        0, renderedFrames_ - ms / 10 - std::min(reportedMs_ / 10, kRecentFrames - 1 - ms / 10));
    stats_.extraDelayMs = ms;
    ++stats_.extraDelayChanges;
}

void EchoCanceller::feedRender(const std::int16_t* frame)
{
    if (!ok())
        return;
    Prepare(lib_->frame, frame, rate_);
    lib_->apm->ProcessReverseStream(&lib_->frame);
}

void EchoCanceller::processCapture(std::int16_t* frame)
{
    ++stats_.capturedFrames;
    if (!ok())
        return;
    // The frame began 10 ms before it was complete.
    finder_->captured(FrameLevel(frame, frameSamples()), finder_->renderedFrames() - reportedMs_ / 10 - 1);
    // Re-aligned only when the echo comes before the filter (256 ms long)
    // or leaves its first 70 ms: each move costs a new start.
    const int lag = finder_->lag();
    if (lag >= 0) {
        const int echoAt = lag * 10 - stats_.extraDelayMs;
        if (echoAt < 0 || echoAt > 70) {
            setExtraDelay(std::max(0, lag - 2) * 10);
            toldMs_ = std::clamp(reportedMs_ + 10 + lag * 10 - stats_.extraDelayMs, 0, 500);
        }
        if (!ok())
            return;
    }
    Prepare(lib_->frame, frame, rate_);
    lib_->apm->set_stream_delay_ms(toldMs_ >= 0 ? toldMs_ : reportedMs_);
    if (lib_->apm->ProcessStream(&lib_->frame) == webrtc::AudioProcessing::kNoError)
        std::memcpy(frame, lib_->frame.data_, sizeof(std::int16_t) * std::size_t(frameSamples()));
}

} // namespace voxlet
