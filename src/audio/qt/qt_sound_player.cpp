#include "audio/qt/qt_sound_player.h"

#include "audio/qt/qt_audio_devices.h"

#include <QAudioSink>

#include <algorithm>

namespace voxlet {

QtSoundPlayer::QtSoundPlayer(QByteArray deviceId, QObject* parent)
    : QObject(parent)
    , deviceId_(std::move(deviceId))
{
}

QtSoundPlayer::~QtSoundPlayer()
{
    close();
}

bool QtSoundPlayer::open(const QString& path)
{
    close();
    auto sound = ReadWavFile(path);
    if (!sound || sound->Samples.isEmpty())
        return false;
    const QAudioFormat format = ToQtFormat(sound->SampleRate, sound->Channels, sound->BitsPerSample);
    if (!format.isValid())
        return false;
    samples_ = std::move(sound->Samples);
    format_ = format;
    return true;
}

void QtSoundPlayer::playFromStart()
{
    if (samples_.isEmpty())
        return;
    if (sink_) {
        sink_->disconnect(this);
        sink_->stop();
        sink_.reset();
    }
    drained_ = false;
    buffer_.close();
    buffer_.setData(samples_);
    buffer_.open(QIODevice::ReadOnly);

    const QAudioDevice device = FindAudioOutput(deviceId_);
    if (device.isNull())
        return; // no sound server: the sound never ends, so never "stopped"
    sink_ = std::make_unique<QAudioSink>(device, format_);
    connect(sink_.get(), &QAudioSink::stateChanged, this, &QtSoundPlayer::onStateChanged);
    sink_->start(&buffer_);
}

void QtSoundPlayer::onStateChanged()
{
    if (!sink_ || drained_)
        return;
    // Idle with the whole buffer read is the end of the data; anything else
    // (an error, a stop) is not a sound that came to its end.
    if (sink_->state() == QAudio::IdleState && buffer_.atEnd()) {
        drained_ = true;
        drainedAt_.start();
        // Idle is reported while the sink's own buffer still plays; wait that
        // long so a restart does not cut the tail.
        const qint64 bytes = std::clamp<qint64>(sink_->bufferSize(), 0, format_.bytesForDuration(500000));
        tailMs_ = format_.durationForBytes(qint32(bytes)) / 1000;
    }
}

bool QtSoundPlayer::hasStopped() const
{
    return drained_ && drainedAt_.elapsed() >= tailMs_;
}

bool QtSoundPlayer::isPlaying() const
{
    return sink_ && !hasStopped()
        && (sink_->state() == QAudio::ActiveState || sink_->state() == QAudio::IdleState);
}

void QtSoundPlayer::close()
{
    if (sink_) {
        sink_->disconnect(this);
        sink_->stop();
        sink_.reset();
    }
    buffer_.close();
    samples_.clear();
    drained_ = false;
}

std::unique_ptr<SoundPlayer> QtSoundPlayerFactory::create()
{
    return std::make_unique<QtSoundPlayer>(deviceId_);
}

} // namespace voxlet
