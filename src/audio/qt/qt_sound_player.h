#pragma once
// Plays one WAV file through a QAudioSink for the media-control commands.

#include "audio/audio_devices.h"
#include "audio/wav_file.h"

#include <QAudioFormat>
#include <QBuffer>
#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>

#include <memory>

class QAudioSink;

namespace voxlet {

class QtSoundPlayer : public QObject, public SoundPlayer {
public:
    explicit QtSoundPlayer(QByteArray deviceId = {}, QObject* parent = nullptr);
    ~QtSoundPlayer() override;

    // False for a missing, unreadable, malformed or empty file.
    bool open(const QString& path) override;
    void playFromStart() override;
    bool hasStopped() const override;
    void close() override;

    // True while a started sound is going to the device.
    bool isPlaying() const;

private:
    void onStateChanged();

    QByteArray deviceId_;
    QByteArray samples_;
    QAudioFormat format_;
    QBuffer buffer_;
    std::unique_ptr<QAudioSink> sink_;
    bool drained_ = false; // the sink has consumed every byte
    QElapsedTimer drainedAt_;
    qint64 tailMs_ = 0; // what the sink still held when it drained
};

class QtSoundPlayerFactory : public SoundPlayerFactory {
public:
    explicit QtSoundPlayerFactory(QByteArray deviceId = {})
        : deviceId_(std::move(deviceId))
    {
    }
    std::unique_ptr<SoundPlayer> create() override;

private:
    QByteArray deviceId_;
};

} // namespace voxlet
