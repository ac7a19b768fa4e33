#include "support/fake_devices.h"

#include "call/app_state.h"

#include <algorithm>
#include <cstring>

namespace voxlet::test {

bool FakeCaptureDevice::produce(const QByteArray& bytes)
{
    if (!started || !onPiece)
        return false;
    const int piece = voice.pieceBytes();
    for (qsizetype at = 0; at < bytes.size() && onPiece; at += piece) {
        // A copy: the callback may stop capture, which forgets onPiece.
        const PieceCallback cb = onPiece;
        cb(bytes.constData() + at, int(std::min<qsizetype>(piece, bytes.size() - at)));
    }
    return true;
}

void FakePlaybackDevice::write(const char* data, int length)
{
    ++writes;
    bytes.append(data, length);
    partial_.append(data, length);
    while (partial_.size() >= kVoiceBlockBytes) {
        written.push_back(partial_.left(kVoiceBlockBytes));
        partial_.remove(0, kVoiceBlockBytes);
    }
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
