#pragma once
// Fake audio devices: capture produces buffers on demand, so a test drives
// half-second blocks without waiting; playback records what it was given.

#include "audio/audio_devices.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <deque>
#include <memory>
#include <vector>

namespace voxlet::test {

class FakeCaptureDevice : public CaptureDevice {
public:
    bool failOpen = false;
    bool opened = false;
    bool started = false;
    int startCalls = 0;

    bool open(const VoiceFormat& format, FullCallback onFull) override;
    void addBuffer(CaptureHeader* header) override { queued.push_back(header); }
    void start() override
    {
        started = true;
        ++startCalls;
    }
    void close() override
    {
        queued.clear();
        onFull = nullptr;
        started = false;
    }

    // Fills the oldest queued header with the bytes (repeated or cut to its
    // length) and reports it full. False when no header is queued.
    bool produce(const QByteArray& bytes);
    int queuedCount() const { return int(queued.size()); }

    VoiceFormat format;
    FullCallback onFull;
    std::deque<CaptureHeader*> queued;
};

class FakePlaybackDevice : public PlaybackDevice {
public:
    bool failOpen = false;
    bool opened = false;
    bool open(const VoiceFormat& f) override
    {
        format = f;
        opened = !failOpen;
        return opened;
    }
    void write(const char* data, int length) override { written.emplace_back(data, length); }

    VoiceFormat format;
    std::vector<QByteArray> written;
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
