#pragma once
// The voice path of a call: the devices opened once at start-up, capture
// pieces handed to the hub as they are recorded, received bytes played as
// they arrive.

#include "audio/audio_devices.h"
#include "call/app_state.h"
#include "call/ports.h"

namespace voxlet {

class VoiceIO {
public:
    VoiceIO(AppState& st, MessageBoxPort& boxes, CaptureDevice& capture, PlaybackDevice& playback);
    ~VoiceIO();
    VoiceIO(const VoiceIO&) = delete;
    VoiceIO& operator=(const VoiceIO&) = delete;

    // Asks both devices once; onPiece runs on the main thread with each
    // captured piece while a call's voice runs.
    void OpenWaveDevices(CaptureDevice::PieceCallback onPiece);
    // The call was answered: record and play its voice, at its rate.
    // Devices missing at start-up are asked for again first, without a message.
    void StartCapture(const CallVoice& voice = kPlainVoice);
    // The call is over: stop both devices (nothing is recorded or played
    // until the next StartCapture). Safe from inside onPiece.
    void StopVoice();
    // Received voice bytes, as they came from the socket.
    void PlayReceived(const char* data, int bytes);

    bool captureOpen() const { return captureOpen_; }
    bool playbackOpen() const { return playbackOpen_; }
    bool running() const { return running_; }
    // The running call's voice (the last call's once it ended).
    const CallVoice& call() const { return call_; }

    VoiceFormat Format;

private:
    AppState& st_;
    MessageBoxPort& boxes_;
    CaptureDevice& capture_;
    PlaybackDevice& playback_;
    CaptureDevice::PieceCallback onPiece_;
    bool asked_ = false; // OpenWaveDevices has run
    bool captureOpen_ = false;
    bool playbackOpen_ = false;
    bool running_ = false;
    CallVoice call_;
};

} // namespace voxlet
