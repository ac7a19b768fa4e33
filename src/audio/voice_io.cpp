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

} // namespace voxlet
