#include "audio/voice_io.h"

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
    // The capture halves die with us; the device may outlive us (and its
    // pending notifications may still run while other devices close).
    capture_.close();
}

void VoiceIO::OpenWaveDevices(CaptureDevice::FullCallback onFull)
{
    Format = MakeVoiceFormat();

    for (int k = 0; k < 2; ++k) {
        CaptureHeaders[k] = CaptureHeader { CaptureBuffer.data() + k * kHalfBytes, kHalfBytes, 0 };
        PlaybackHeaders[k] = CaptureHeader { PlaybackBuffer.data() + k * kHalfBytes, kHalfBytes, 0 };
    }

    if (!capture_.open(Format, std::move(onFull))) {
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
    capture_.addBuffer(&CaptureHeaders[0]);
    capture_.addBuffer(&CaptureHeaders[1]);
    capture_.start();
}

void VoiceIO::AddBuffer(CaptureHeader* h)
{
    if (!captureOpen_ || !h)
        return;
    capture_.addBuffer(h);
}

void VoiceIO::PlayReceivedBlock()
{
    if (!playbackOpen_)
        return;
    CaptureHeader& half = PlaybackHeaders[PlaybackToggle ? 1 : 0];
    std::memcpy(half.Data, st_.VoiceRecvBuffer.data(), kHalfBytes);
    playback_.write(half.Data, half.BufferLength);
    PlaybackToggle = !PlaybackToggle;
}

} // namespace voxlet
