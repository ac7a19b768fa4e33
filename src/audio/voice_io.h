#pragma once
// The two-halves voice path: capture halves handed to the input device and
// sent by the hub, received blocks played through two alternating halves.

#include "audio/audio_devices.h"
#include "call/app_state.h"
#include "call/ports.h"

#include <array>

namespace voxlet {

class VoiceIO {
public:
    static constexpr int kHalfBytes = kVoiceBlockBytes;
    static constexpr int kBufferBytes = 2 * kHalfBytes;

    VoiceIO(AppState& st, MessageBoxPort& boxes, CaptureDevice& capture, PlaybackDevice& playback);
    ~VoiceIO();
    VoiceIO(const VoiceIO&) = delete;
    VoiceIO& operator=(const VoiceIO&) = delete;

    // onFull runs on the main thread with each full capture header.
    void OpenWaveDevices(CaptureDevice::FullCallback onFull);
    void StartCapture();
    // Gives a header back to the capture device for refilling.
    void AddBuffer(CaptureHeader* h);
    // Plays st.VoiceRecvBuffer through the half chosen by PlaybackToggle.
    void PlayReceivedBlock();

    bool captureOpen() const { return captureOpen_; }
    bool playbackOpen() const { return playbackOpen_; }

    bool PlaybackToggle = false;
    VoiceFormat Format;

    std::array<char, kBufferBytes> CaptureBuffer {};
    std::array<CaptureHeader, 2> CaptureHeaders {};
    std::array<char, kBufferBytes> PlaybackBuffer {};
    // The playback halves as pointer and length, like the capture headers.
    std::array<CaptureHeader, 2> PlaybackHeaders {};

private:
    AppState& st_;
    MessageBoxPort& boxes_;
    CaptureDevice& capture_;
    PlaybackDevice& playback_;
    bool captureOpen_ = false;
    bool playbackOpen_ = false;
};

} // namespace voxlet
