#include "audio/opus_voice.h"

#include <opus.h>

#include <algorithm>

namespace voxlet {

VoiceEncoder::VoiceEncoder(OpusSettings settings)
    : settings_(settings)
{
    int error = 0;
    enc_ = opus_encoder_create(settings_.rate, 1,
        settings_.lowDelay ? OPUS_APPLICATION_RESTRICTED_LOWDELAY : OPUS_APPLICATION_VOIP, &error);
    if (error != OPUS_OK) {
        enc_ = nullptr;
        return;
    }
    opus_encoder_ctl(enc_, OPUS_SET_BITRATE(settings_.bitrate));
    opus_encoder_ctl(enc_, OPUS_SET_VBR(0));
    opus_encoder_ctl(enc_, OPUS_SET_COMPLEXITY(settings_.complexity));
    opus_encoder_ctl(enc_, OPUS_SET_DTX(0));
    opus_encoder_ctl(enc_, OPUS_SET_INBAND_FEC(0));
    opus_encoder_ctl(enc_, OPUS_SET_SIGNAL(OPUS_SIGNAL_VOICE));
    opus_encoder_ctl(enc_, OPUS_SET_BANDWIDTH(OPUS_BANDWIDTH_WIDEBAND));
}

int VoiceEncoder::lookahead() const
{
    opus_int32 samples = 0;
    if (enc_)
        opus_encoder_ctl(enc_, OPUS_GET_LOOKAHEAD(&samples));
    return int(samples);
}

VoiceEncoder::~VoiceEncoder()
{
    if (enc_)
        opus_encoder_destroy(enc_);
}

bool VoiceEncoder::encode(const std::int16_t* frame, std::vector<unsigned char>& packet)
{
    packet.resize(kMaxOpusPacketBytes);
    const opus_int32 n
        = enc_ ? opus_encode(enc_, frame, frameSamples(), packet.data(), kMaxOpusPacketBytes) : -1;
    packet.resize(std::size_t(std::max<opus_int32>(n, 0)));
    return n > 0;
}

void VoiceEncoder::reset()
{
    if (enc_)
        opus_encoder_ctl(enc_, OPUS_RESET_STATE);
}

VoiceDecoder::VoiceDecoder(int rate)
    : rate_(rate)
{
    int error = 0;
    dec_ = opus_decoder_create(rate_, 1, &error);
    if (error != OPUS_OK)
        dec_ = nullptr;
}

VoiceDecoder::~VoiceDecoder()
{
    if (dec_)
        opus_decoder_destroy(dec_);
}

int VoiceDecoder::decode(const unsigned char* packet, int bytes, std::int16_t* out)
{
    // A packet longer than a frame (Opus allows up to 120 ms) would not fit.
    const int n = dec_ && bytes > 0 && opus_decoder_get_nb_samples(dec_, packet, bytes) == frameSamples()
        ? opus_decode(dec_, packet, bytes, out, frameSamples(), 0)
        : -1;
    if (n == frameSamples())
        return n;
    ++damaged_;
    return conceal(out);
}

int VoiceDecoder::conceal(std::int16_t* out)
{
    const int n = dec_ ? opus_decode(dec_, nullptr, 0, out, frameSamples(), 0) : -1;
    if (n == frameSamples())
        return n;
    std::fill(out, out + frameSamples(), std::int16_t(0));
    return frameSamples();
}

void VoiceDecoder::reset()
{
    if (dec_)
        opus_decoder_ctl(dec_, OPUS_RESET_STATE);
    damaged_ = 0;
}

} // namespace voxlet
