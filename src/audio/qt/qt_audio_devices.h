#pragma once
// Capture and playback devices on Qt Multimedia (QAudioSource/QAudioSink),
// 16-bit PCM, on the default device or one chosen by its id.

#include "audio/audio_devices.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QByteArray>
#include <QObject>
#include <QTimer>

#include <deque>
#include <memory>
#include <vector>

class QAudioSink;
class QAudioSource;
class QIODevice;

namespace voxlet {

// The device with this id, or the default one for an empty id; a null device
// when there is none (no sound server, or no such id).
QAudioDevice FindAudioInput(const QByteArray& id);
QAudioDevice FindAudioOutput(const QByteArray& id);
// The PCM format Qt needs for a voice or sound format; invalid if unsupported.
QAudioFormat ToQtFormat(int sampleRate, int channels, int bitsPerSample);

class QtCaptureDevice : public QObject, public CaptureDevice {
public:
    explicit QtCaptureDevice(QByteArray deviceId = {}, QObject* parent = nullptr);
    ~QtCaptureDevice() override;

    bool open(const VoiceFormat& format, FullCallback onFull) override;
    void addBuffer(CaptureHeader* header) override;
    void start() override;
    void close() override;

    bool isOpen() const { return bool(source_); }
    bool isRunning() const { return io_ != nullptr; }

private:
    void readAvailable();
    void deliverFull();

    QByteArray deviceId_;
    std::unique_ptr<QAudioSource> source_;
    QIODevice* io_ = nullptr;
    FullCallback onFull_;
    std::deque<CaptureHeader*> queued_;
    std::deque<CaptureHeader*> full_;
    bool delivering_ = false;
    QByteArray scratch_;
};

class QtPlaybackDevice : public QObject, public PlaybackDevice {
public:
    // Beyond this many written blocks waiting, the oldest is dropped.
    static constexpr int kMaxQueuedBlocks = 3;
    // With nothing written for this long (the sink's buffer long played
    // out), the stream is suspended until the next write.
    static constexpr int kSuspendAfterMs = 2000;

    explicit QtPlaybackDevice(QByteArray deviceId = {}, QObject* parent = nullptr);
    ~QtPlaybackDevice() override;

    bool open(const VoiceFormat& format) override;
    void write(const char* data, int length) override;

    bool isOpen() const { return io_ != nullptr; }
    int queuedBlocks() const { return int(queue_.size()); }
    qint64 droppedBlocks() const { return dropped_; }

private:
    void feed();
    void suspendWhenIdle();

    QByteArray deviceId_;
    std::unique_ptr<QAudioSink> sink_;
    QIODevice* io_ = nullptr;
    QTimer feedTimer_;
    QTimer idleTimer_;
    std::deque<QByteArray> queue_; // front is partly fed up to frontOffset_
    qint64 frontOffset_ = 0;
    std::vector<QByteArray> spare_; // fed blocks kept for reuse
    qint64 dropped_ = 0;
};

} // namespace voxlet
