#include "audio/voice_io.h"

#include <algorithm>
#include <cstring>

namespace voxlet {

VoiceIO::VoiceIO(AppState& st, MessageBoxPort& boxes, CaptureDevice& capture, PlaybackDevice& playback)
    : st_(st)
    , boxes_(boxes)
    , capture_(capture)
    , playback_(playback)
{
}

VoiceIO::~VoiceIO()
{
    // The piece callback dies with us; the devices may outlive us.
    StopVoice();
}

void VoiceIO::OpenWaveDevices(CaptureDevice::PieceCallback onPiece)
{
    Format = MakeVoiceFormat();
    onPiece_ = std::move(onPiece);
    asked_ = true;

    if (!capture_.open(Format)) {
        boxes_.show(
            QStringLiteral("waveInOpen() で失敗しました"), MessageIcon::Critical, QStringLiteral("Error"));
        return;
    }
    captureOpen_ = true;
    st_.WaveInHandle = &capture_;

    if (!playback_.open(Format)) {
        boxes_.show(
            QStringLiteral("waveOutOpen() で失敗しました"), MessageIcon::Critical, QStringLiteral("Error"));
        return;
    }
    playbackOpen_ = true;
}

void VoiceIO::StartCapture(const CallVoice& voice)
{
    // A device missing at start-up may be there now (the sound server came
    // later): ask again, quietly, since start-up has said so once.
    if (asked_ && !captureOpen_ && capture_.open(Format)) {
        captureOpen_ = true;
        st_.WaveInHandle = &capture_;
    }
    if (asked_ && captureOpen_ && !playbackOpen_)
        playbackOpen_ = playback_.open(Format);
    if (!captureOpen_)
        return;
    running_ = true;
    call_ = voice;
    encoder_.reset();
    gathered_ = decimation_ = 0;
    if (playbackOpen_)
        playback_.start(voice);
    capture_.start(voice, onPiece_);
}

void VoiceIO::StopVoice()
{
    if (!running_)
        return;
    running_ = false;
    capture_.stop();
    if (playbackOpen_)
        playback_.stop();
}

void VoiceIO::PlayReceived(const char* data, int bytes)
{
    if (running_ && playbackOpen_ && bytes > 0)
        playback_.write(data, bytes);
}

bool VoiceIO::Encode(const char* piece, int bytes, std::vector<unsigned char>& packet)
{
    if (!call_.hd() || bytes != 2 * encoder_.frameSamples())
        return false;
    frame_.resize(std::size_t(encoder_.frameSamples()));
    std::memcpy(frame_.data(), piece, std::size_t(bytes));
    return encoder_.encode(frame_.data(), packet);
}

bool VoiceIO::TakeWaveformBlock()
{
    if (!running_ || !call_.hd())
        return false;
    // Every (rate / 8000)th sample is enough for a trace.
    const int step = std::max(1, call_.rate / 8000);
    std::int16_t decoded[1024];
    bool whole = false;
    for (int n; (n = playback_.takeDecoded(decoded, int(std::size(decoded)))) > 0;) {
        for (int i = 0; i < n; ++i) {
            if (decimation_++ % step)
                continue;
            gathering_[std::size_t(gathered_++)] = decoded[i];
            if (gathered_ == int(gathering_.size())) {
                drawn_ = gathering_;
                gathered_ = 0;
                whole = true;
            }
        }
    }
    return whole;
}

} // namespace voxlet
