#pragma once
// The HD call's codec: Opus (libopus) at 16000 samples/s mono, one packet
// per 20 ms frame. The settings and why are in docs/audio.md: speech
// (VOIP), a constant 32 kbit/s with no discontinuous transmission (so that
// talk and pauses look alike on the wire, also once it is encrypted),
// wideband, no in-band error correction (TCP loses nothing). Pure, no
// thread: the encoder runs on the main thread after the echo canceller,
// the decoder on the sound server's thread inside playback.

#include <cstdint>
#include <vector>

struct OpusDecoder;
struct OpusEncoder;

namespace voxlet {

struct OpusSettings {
    int rate = 16000;
    int bitrate = 32000;
    int complexity = 1; // chosen by measurement: docs/audio.md
    // Opus's restricted low-delay mode (CELT alone): a quarter of the
    // speech mode's cost, but measurably less faithful to speech
    // (docs/audio.md); for the benchmark's comparison, never in a call.
    bool lowDelay = false;
};

// A packet Opus can produce at most (RFC 6716); a frame of ours carries one.
constexpr int kMaxOpusPacketBytes = 1275;

class VoiceEncoder {
public:
    explicit VoiceEncoder(OpusSettings settings = {});
    ~VoiceEncoder();
    VoiceEncoder(const VoiceEncoder&) = delete;
    VoiceEncoder& operator=(const VoiceEncoder&) = delete;

    bool ok() const { return enc_ != nullptr; }
    int frameSamples() const { return settings_.rate / 50; }
    // How many samples the decoded sound comes behind what went in.
    int lookahead() const;
    // One frame of samples (frameSamples()) into packet; false when the
    // library refuses (it then holds nothing).
    bool encode(const std::int16_t* frame, std::vector<unsigned char>& packet);
    // A new call: nothing of the last one's speech carries over.
    void reset();

private:
    OpusSettings settings_;
    OpusEncoder* enc_ = nullptr;
};

class VoiceDecoder {
public:
    explicit VoiceDecoder(int rate = 16000);
    ~VoiceDecoder();
    VoiceDecoder(const VoiceDecoder&) = delete;
    VoiceDecoder& operator=(const VoiceDecoder&) = delete;

    int frameSamples() const { return rate_ / 50; }
    // One packet into out (room for frameSamples()): the samples decoded.
    // A packet the library cannot read is concealed instead, so that a
    // damaged one is never heard as noise.
    int decode(const unsigned char* packet, int bytes, std::int16_t* out);
    // A frame that did not come in time: the codec's own guess of it.
    int conceal(std::int16_t* out);
    void reset();
    std::uint64_t damagedPackets() const { return damaged_; }

private:
    int rate_;
    OpusDecoder* dec_ = nullptr;
    std::uint64_t damaged_ = 0;
};

} // namespace voxlet
