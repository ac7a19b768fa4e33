#include "audio/qt/qt_audio_devices.h"

#include <QAudioSink>
#include <QAudioSource>
#include <QElapsedTimer>
#include <QMediaDevices>
#include <QThread>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include <dlfcn.h>

namespace voxlet {

namespace {

// Qt 6.4's PulseAudio backend marks no input as the default and offers the
// first one listed instead. Ask the server itself which source is its
// default, through the libpulse Qt has loaded anyway (no build dependency).
namespace pulse {
struct SampleSpec {
    int format;
    std::uint32_t rate;
    std::uint8_t channels;
};
struct ServerInfo {
    const char* user_name;
    const char* host_name;
    const char* server_version;
    const char* server_name;
    SampleSpec sample_spec;
    const char* default_sink_name;
    const char* default_source_name;
};
using InfoCallback = void (*)(void* context, const ServerInfo* info, void* userdata);
constexpr int kContextReady = 4, kContextFailed = 5, kContextTerminated = 6;
constexpr int kOperationRunning = 0;
constexpr int kNoAutospawn = 1;

QByteArray DefaultSourceName()
{
    static void* lib = dlopen("libpulse.so.0", RTLD_NOW | RTLD_LOCAL);
    if (!lib)
        return {};
    auto sym = [](const char* name) { return dlsym(lib, name); };
    auto mainloopNew = reinterpret_cast<void* (*)()>(sym("pa_mainloop_new"));
    auto mainloopApi = reinterpret_cast<void* (*)(void*)>(sym("pa_mainloop_get_api"));
    auto mainloopIterate = reinterpret_cast<int (*)(void*, int, int*)>(sym("pa_mainloop_iterate"));
    auto mainloopFree = reinterpret_cast<void (*)(void*)>(sym("pa_mainloop_free"));
    auto contextNew = reinterpret_cast<void* (*)(void*, const char*)>(sym("pa_context_new"));
    auto contextConnect
        = reinterpret_cast<int (*)(void*, const char*, int, const void*)>(sym("pa_context_connect"));
    auto contextState = reinterpret_cast<int (*)(void*)>(sym("pa_context_get_state"));
    auto contextDisconnect = reinterpret_cast<void (*)(void*)>(sym("pa_context_disconnect"));
    auto contextUnref = reinterpret_cast<void (*)(void*)>(sym("pa_context_unref"));
    auto serverInfo
        = reinterpret_cast<void* (*)(void*, InfoCallback, void*)>(sym("pa_context_get_server_info"));
    auto operationState = reinterpret_cast<int (*)(void*)>(sym("pa_operation_get_state"));
    auto operationUnref = reinterpret_cast<void (*)(void*)>(sym("pa_operation_unref"));
    if (!mainloopNew || !mainloopApi || !mainloopIterate || !mainloopFree || !contextNew || !contextConnect
        || !contextState || !contextDisconnect || !contextUnref || !serverInfo || !operationState
        || !operationUnref)
        return {};

    void* loop = mainloopNew();
    if (!loop)
        return {};
    QByteArray name;
    void* context = contextNew(mainloopApi(loop), "voxlet");
    if (context && contextConnect(context, nullptr, kNoAutospawn, nullptr) >= 0) {
        // Bounded: a server that does not answer must not hold up start-up.
        QElapsedTimer clock;
        clock.start();
        int state = contextState(context);
        while (state != kContextReady && state != kContextFailed && state != kContextTerminated
            && clock.elapsed() < 1000) {
            if (mainloopIterate(loop, 0, nullptr) == 0)
                QThread::msleep(1);
            state = contextState(context);
        }
        if (state == kContextReady) {
            auto store = [](void*, const ServerInfo* info, void* out) {
                if (info && info->default_source_name)
                    *static_cast<QByteArray*>(out) = QByteArray(info->default_source_name);
            };
            if (void* op = serverInfo(context, store, &name)) {
                while (operationState(op) == kOperationRunning && clock.elapsed() < 1000)
                    if (mainloopIterate(loop, 0, nullptr) == 0)
                        QThread::msleep(1);
                operationUnref(op);
            }
        }
        contextDisconnect(context);
    }
    if (context)
        contextUnref(context);
    mainloopFree(loop);
    return name;
}
} // namespace pulse

QAudioDevice FindDevice(const QList<QAudioDevice>& devices, const QByteArray& id,
    const QAudioDevice& fallback, const QByteArray& serverDefault = {})
{
    if (devices.isEmpty())
        return {};
    const QByteArray wanted = id.isEmpty() ? serverDefault : id;
    if (!wanted.isEmpty()) {
        for (const QAudioDevice& d : devices)
            if (d.id() == wanted)
                return d;
        if (!id.isEmpty())
            return {};
    }
    // Qt's default input can be merely the first one listed; trust a device
    // that says it is the server's default first.
    for (const QAudioDevice& d : devices)
        if (d.isDefault())
            return d;
    return fallback.isNull() ? devices.first() : fallback;
}

QAudioFormat VoiceQtFormat(const VoiceFormat& f)
{
    return ToQtFormat(f.SamplesPerSec, f.Channels, f.BitsPerSample);
}

} // namespace

QAudioDevice FindAudioInput(const QByteArray& id)
{
    const QList<QAudioDevice> inputs = QMediaDevices::audioInputs();
    if (inputs.isEmpty())
        return {};
    return FindDevice(inputs, id, QMediaDevices::defaultAudioInput(),
        id.isEmpty() ? pulse::DefaultSourceName() : QByteArray());
}

QAudioDevice FindAudioOutput(const QByteArray& id)
{
    return FindDevice(QMediaDevices::audioOutputs(), id, QMediaDevices::defaultAudioOutput());
}

QAudioFormat ToQtFormat(int sampleRate, int channels, int bitsPerSample)
{
    QAudioFormat f;
    if (sampleRate <= 0 || channels <= 0 || (bitsPerSample != 8 && bitsPerSample != 16))
        return f;
    f.setSampleRate(sampleRate);
    f.setChannelCount(channels);
    f.setSampleFormat(bitsPerSample == 8 ? QAudioFormat::UInt8 : QAudioFormat::Int16);
    return f;
}

// ---- capture ----

QtCaptureDevice::QtCaptureDevice(QByteArray deviceId, QObject* parent)
    : QObject(parent)
    , deviceId_(std::move(deviceId))
{
}

QtCaptureDevice::~QtCaptureDevice()
{
    if (source_)
        source_->stop();
}

bool QtCaptureDevice::open(const VoiceFormat& format, FullCallback onFull)
{
    if (source_)
        return true;
    const QAudioFormat qf = VoiceQtFormat(format);
    const QAudioDevice device = FindAudioInput(deviceId_);
    if (!qf.isValid() || device.isNull())
        return false;
    auto source = std::make_unique<QAudioSource>(device, qf);
    // Opening is only known to work once a stream has started; recording
    // itself waits for start(), so the microphone is not held meanwhile.
    QIODevice* probe = source->start();
    const bool ok = probe && source->error() == QAudio::NoError;
    source->stop();
    if (!ok)
        return false;
    source_ = std::move(source);
    onFull_ = std::move(onFull);
    return true;
}

void QtCaptureDevice::addBuffer(CaptureHeader* header)
{
    if (!header || !header->Data || header->BufferLength <= 0)
        return;
    // A header the device already holds stays where it is in the queue.
    if (std::find(queued_.begin(), queued_.end(), header) != queued_.end())
        return;
    header->BytesRecorded = 0;
    queued_.push_back(header);
    if (io_ && source_->state() == QAudio::SuspendedState)
        source_->resume();
}

void QtCaptureDevice::start()
{
    if (!source_ || io_)
        return;
    io_ = source_->start();
    if (!io_)
        return;
    connect(io_, &QIODevice::readyRead, this, &QtCaptureDevice::readAvailable);
}

void QtCaptureDevice::close()
{
    if (io_)
        io_->disconnect(this);
    io_ = nullptr;
    queued_.clear();
    full_.clear();
    onFull_ = nullptr;
    if (source_)
        source_->stop();
}

void QtCaptureDevice::readAvailable()
{
    if (!io_)
        return;
    if (scratch_.size() < 4096)
        scratch_.resize(4096);
    for (;;) {
        // The PulseAudio source reports no bytes available: asking for what
        // it says would read one byte per call, each a round of libpulse calls.
        const qint64 n = io_->read(scratch_.data(), scratch_.size());
        if (n <= 0)
            break;
        qint64 used = 0;
        while (used < n && !queued_.empty()) {
            CaptureHeader* h = queued_.front();
            const qint64 take = std::min<qint64>(n - used, h->BufferLength - h->BytesRecorded);
            std::memcpy(h->Data + h->BytesRecorded, scratch_.constData() + used, size_t(take));
            h->BytesRecorded += int(take);
            used += take;
            if (h->BytesRecorded == h->BufferLength) {
                queued_.pop_front();
                full_.push_back(h);
            }
        }
        // Whatever is left found no header to go into: dropped, like the
        // original device does when the program holds both halves.
    }
    deliverFull();
    // Holding no header (the call is over), recording would only be thrown
    // away, at a wake-up every few ms: pause until a header comes back.
    if (queued_.empty() && source_->state() != QAudio::SuspendedState)
        source_->suspend();
}

void QtCaptureDevice::deliverFull()
{
    // The callback may re-queue headers or spin an event loop; a nested call
    // only adds to full_, and the outer one reports in order.
    if (delivering_)
        return;
    delivering_ = true;
    while (!full_.empty()) {
        CaptureHeader* h = full_.front();
        full_.pop_front();
        if (onFull_)
            onFull_(h);
    }
    delivering_ = false;
}

// ---- playback ----

QtPlaybackDevice::QtPlaybackDevice(QByteArray deviceId, QObject* parent)
    : QObject(parent)
    , deviceId_(std::move(deviceId))
{
    // The sink's own buffer is far smaller than a block: top it up often.
    feedTimer_.setInterval(20);
    feedTimer_.setTimerType(Qt::PreciseTimer);
    connect(&feedTimer_, &QTimer::timeout, this, &QtPlaybackDevice::feed);
    // Qt's PulseAudio sink ticks every 20 ms while started, even with nothing
    // to play: a waiting phone suspends it once the last sound has played out.
    idleTimer_.setSingleShot(true);
    idleTimer_.setInterval(kSuspendAfterMs);
    connect(&idleTimer_, &QTimer::timeout, this, &QtPlaybackDevice::suspendWhenIdle);
}

QtPlaybackDevice::~QtPlaybackDevice()
{
    feedTimer_.stop();
    idleTimer_.stop();
    if (sink_)
        sink_->stop();
}

bool QtPlaybackDevice::open(const VoiceFormat& format)
{
    if (io_)
        return true;
    const QAudioFormat qf = VoiceQtFormat(format);
    const QAudioDevice device = FindAudioOutput(deviceId_);
    if (!qf.isValid() || device.isNull())
        return false;
    auto sink = std::make_unique<QAudioSink>(device, qf);
    QIODevice* io = sink->start();
    if (!io || sink->error() == QAudio::OpenError) {
        sink->stop();
        return false;
    }
    sink_ = std::move(sink);
    io_ = io;
    sink_->suspend();
    return true;
}

void QtPlaybackDevice::suspendWhenIdle()
{
    if (sink_ && queue_.empty() && sink_->state() != QAudio::SuspendedState)
        sink_->suspend();
}

void QtPlaybackDevice::write(const char* data, int length)
{
    if (!io_ || !data || length <= 0)
        return;
    QByteArray block;
    if (!spare_.empty()) {
        block = std::move(spare_.back());
        spare_.pop_back();
    }
    block.resize(length);
    std::memcpy(block.data(), data, size_t(length));
    queue_.push_back(std::move(block));
    while (int(queue_.size()) > kMaxQueuedBlocks) {
        spare_.push_back(std::move(queue_.front()));
        queue_.pop_front();
        frontOffset_ = 0;
        ++dropped_;
    }
    idleTimer_.stop();
    if (sink_ && sink_->state() == QAudio::SuspendedState)
        sink_->resume();
    feed();
}

void QtPlaybackDevice::feed()
{
    if (!io_ || !sink_)
        return;
    while (!queue_.empty()) {
        const qint64 free = sink_->bytesFree();
        if (free <= 0)
            break;
        const QByteArray& front = queue_.front();
        const qint64 chunk = std::min<qint64>(free, front.size() - frontOffset_);
        const qint64 n = io_->write(front.constData() + frontOffset_, chunk);
        if (n <= 0)
            break;
        frontOffset_ += n;
        if (frontOffset_ >= front.size()) {
            spare_.push_back(std::move(queue_.front()));
            queue_.pop_front();
            frontOffset_ = 0;
        }
    }
    if (spare_.size() > size_t(kMaxQueuedBlocks + 1))
        spare_.resize(kMaxQueuedBlocks + 1);
    if (queue_.empty()) {
        feedTimer_.stop();
        if (!idleTimer_.isActive())
            idleTimer_.start();
    } else if (!feedTimer_.isActive()) {
        feedTimer_.start();
    }
}

} // namespace voxlet
