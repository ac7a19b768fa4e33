#pragma once
// The voice path of a call: the devices opened once at start-up, capture
// pieces handed to the hub as they are recorded, received bytes played as
// they arrive.

#include "audio/audio_devices.h"
#include "audio/opus_voice.h"
#include "call/app_state.h"
#include "call/ports.h"

#include <array>
#include <vector>

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
    // Received voice, as it came from the socket (HD: one packet).
    void PlayReceived(const char* data, int bytes);
    // HD: a captured piece (20 ms at the call's rate) as one Opus packet;
    // false when it could not be encoded.
    bool Encode(const char* piece, int bytes, std::vector<unsigned char>& packet);
    // HD: a whole block of the decoded voice has come back since the last
    // call (half a second, drawn as a block of the old-style voice is).
    bool TakeWaveformBlock();
    const char* waveformBlock() const { return reinterpret_cast<const char*>(drawn_.data()); }

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
    VoiceEncoder encoder_;
    std::vector<std::int16_t> frame_;
    // Decoded voice at 8000 samples/s, gathered into the waveform's block.
    std::array<std::int16_t, kVoiceBlockBytes / 2> gathering_ {}, drawn_ {};
    int gathered_ = 0;
    int decimation_ = 0; // the decoded samples' phase against 8000/s
};

} // namespace voxlet
