#pragma once
// Fake audio devices: capture produces voice on demand, so a test drives
// it without waiting; playback records what it was given.

#include "audio/audio_devices.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

namespace voxlet::test {

// What both fake devices record of their use.
struct FakeDeviceUse {
    bool failOpen = false;
    bool opened = false;
    bool started = false;
    int startCalls = 0;
    VoiceFormat format;

    bool opening(const VoiceFormat& f)
    {
        format = f;
        opened = !failOpen;
        return opened;
    }
    void starting()
    {
        started = true;
        ++startCalls;
    }
};

class FakeCaptureDevice : public CaptureDevice, public FakeDeviceUse {
public:
    static constexpr int kPieceBytes = 320; // 20 ms at 8000 samples/s, as a real device delivers

    bool open(const VoiceFormat& f) override { return opening(f); }
    void start(const CallVoice& v, PieceCallback cb) override
    {
        voice = v;
        onPiece = std::move(cb);
        starting();
    }
    void stop() override
    {
        onPiece = nullptr;
        started = false;
    }

    // Reports the bytes as recorded, in pieces of 20 ms at the call's rate
    // (the last may be shorter). False when capture is not running.
    bool produce(const QByteArray& bytes);

    PieceCallback onPiece;
    CallVoice voice; // the call's, as started
};

// Records what it was given; `written` holds each call's voice cut into
// whole 8000-byte blocks (the unit the far end sent), `bytes` all of it.
class FakePlaybackDevice : public PlaybackDevice, public FakeDeviceUse {
public:
    bool open(const VoiceFormat& f) override { return opening(f); }
    void start(const CallVoice& v) override
    {
        voice = v;
        starting();
        partial_.clear();
    }
    void stop() override { started = false; }
    void write(const char* data, int length) override;

    CallVoice voice; // the call's, as started
    QByteArray bytes;
    int writes = 0;
    std::vector<QByteArray> written;

private:
    QByteArray partial_;
};

// Sound players that never touch a device: "playing" until a test ends them.
class FakeSoundPlayerFactory : public SoundPlayerFactory {
public:
    struct Shared {
        QStringList opened; // paths, in order
        int plays = 0;
        int closes = 0;
        bool stopImmediately = false; // report the end at once
    };
    std::unique_ptr<SoundPlayer> create() override;
    std::shared_ptr<Shared> shared = std::make_shared<Shared>();
};

} // namespace voxlet::test
