#include "support/fake_devices.h"

#include <algorithm>
#include <cstring>

namespace voxlet::test {

bool FakeCaptureDevice::open(const VoiceFormat& f, FullCallback cb)
{
    format = f;
    onFull = std::move(cb);
    opened = !failOpen;
    return opened;
}

bool FakeCaptureDevice::produce(const QByteArray& bytes)
{
    if (queued.empty() || bytes.isEmpty())
        return false;
    CaptureHeader* h = queued.front();
    queued.pop_front();
    for (int i = 0; i < h->BufferLength; i += bytes.size())
        std::memcpy(h->Data + i, bytes.constData(), std::min<int>(bytes.size(), h->BufferLength - i));
    h->BytesRecorded = h->BufferLength;
    if (onFull)
        onFull(h);
    return true;
}

namespace {
class FakeSoundPlayer : public SoundPlayer {
public:
    explicit FakeSoundPlayer(std::shared_ptr<FakeSoundPlayerFactory::Shared> s)
        : shared_(std::move(s))
    {
    }
    bool open(const QString& path) override
    {
        shared_->opened << path;
        return true;
    }
    void playFromStart() override
    {
        ++shared_->plays;
        playing_ = true;
    }
    bool hasStopped() const override { return playing_ && shared_->stopImmediately; }
    void close() override { ++shared_->closes; }

private:
    std::shared_ptr<FakeSoundPlayerFactory::Shared> shared_;
    bool playing_ = false;
};
} // namespace

std::unique_ptr<SoundPlayer> FakeSoundPlayerFactory::create()
{
    return std::make_unique<FakeSoundPlayer>(shared);
}

} // namespace voxlet::test
