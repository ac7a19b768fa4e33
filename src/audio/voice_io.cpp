#include "audio/voice_io.h"

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

void VoiceIO::StartCapture()
{
    if (!captureOpen_)
        return;
    running_ = true;
    if (playbackOpen_)
        playback_.start();
    capture_.start(onPiece_);
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

} // namespace voxlet
