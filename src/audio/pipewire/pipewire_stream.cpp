#include "audio/pipewire/pipewire_stream.h"

#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace voxlet::pipewire {

StreamClient::StreamClient(PipeWireContext& context, QByteArray device, bool source)
    : context_(context)
    , device_(DeviceOrDefault(std::move(device), source))
{
    events_.version = PW_VERSION_STREAM_EVENTS;
    events_.state_changed = &StreamClient::onState;
    events_.process = &StreamClient::onProcess;
    events_.drained = &StreamClient::onDrained;
}

StreamClient::~StreamClient() = default;

void StreamClient::coreReady(pw_core* core)
{
    if (wanted_ && !stream_) {
        reopen_.stop();
        openStream(core);
    }
}

void StreamClient::openIfReady()
{
    if (pw_core* core = context_.core())
        coreReady(core);
}

void StreamClient::streamFailed()
{
    // Not inside the stream's own callback: the timer drops it.
    reopen_.start(kReopenMs, [this] {
        closeStream();
        openIfReady();
    });
}

void StreamClient::dropStream()
{
    if (!stream_)
        return;
    spa_hook_remove(&hook_);
    pw_stream_destroy(stream_);
    stream_ = nullptr;
}

bool StreamClient::connectStream(pw_core* core, const StreamSpec& spec)
{
    pw_properties* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY,
        spec.capture ? "Capture" : "Playback", PW_KEY_MEDIA_ROLE, "Communication", nullptr);
    SetAppProperties(props);
    if (spec.latencyFrames > 0)
        pw_properties_setf(props, PW_KEY_NODE_LATENCY, "%d/%d", spec.latencyFrames, spec.rate);
    if (!device_.isEmpty()) {
        std::string target = device_.toStdString();
        // A sink's monitor, as libpulse names it.
        if (spec.capture && target.size() > 8 && target.compare(target.size() - 8, 8, ".monitor") == 0) {
            target.resize(target.size() - 8);
            pw_properties_set(props, PW_KEY_STREAM_CAPTURE_SINK, "true");
        }
        pw_properties_set(props, PW_KEY_TARGET_OBJECT, target.c_str());
    }
    stream_ = pw_stream_new(core, spec.name, props);
    if (!stream_)
        return false;
    pw_stream_add_listener(stream_, &hook_, &events_, this);

    spa_audio_info_raw info;
    std::memset(&info, 0, sizeof info);
    info.format = spec.u8 ? SPA_AUDIO_FORMAT_U8 : SPA_AUDIO_FORMAT_S16_LE;
    info.rate = std::uint32_t(spec.rate);
    info.channels = std::uint32_t(std::clamp(spec.channels, 1, 2));
    if (info.channels == 1) {
        info.position[0] = SPA_AUDIO_CHANNEL_MONO;
    } else {
        info.position[0] = SPA_AUDIO_CHANNEL_FL;
        info.position[1] = SPA_AUDIO_CHANNEL_FR;
    }
    std::uint8_t buffer[1024];
    spa_pod_builder b;
    spa_pod_builder_init(&b, buffer, sizeof buffer);
    const spa_pod* params[1] = { spa_format_audio_raw_build(&b, SPA_PARAM_EnumFormat, &info) };
    auto flags = pw_stream_flags(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS);
    if (spec.realtime)
        flags = pw_stream_flags(flags | PW_STREAM_FLAG_RT_PROCESS);
    if (pw_stream_connect(
            stream_, spec.capture ? PW_DIRECTION_INPUT : PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 1)
        < 0) {
        dropStream();
        return false;
    }
    return true;
}

void StreamClient::onState(void* self, pw_stream_state, pw_stream_state state, const char*)
{
    auto* me = static_cast<StreamClient*>(self);
    me->stateChanged(state);
    // The server ended it (no such device, or the session manager found
    // none to link it to) while the connection stayed.
    if (state == PW_STREAM_STATE_ERROR && me->wanted_)
        me->streamFailed();
}

void StreamClient::onProcess(void* self)
{
    static_cast<StreamClient*>(self)->process();
}

void StreamClient::onDrained(void* self)
{
    static_cast<StreamClient*>(self)->drained();
}

int StreamLatencyMs(pw_stream* stream, int rate)
{
    pw_time t;
    std::memset(&t, 0, sizeof t);
    if (!stream || pw_stream_get_time_n(stream, &t, sizeof t) < 0 || t.rate.denom == 0 || rate <= 0)
        return -1;
    const std::int64_t graphUs = t.delay * 1000000 * std::int64_t(t.rate.num) / std::int64_t(t.rate.denom);
    const std::int64_t streamUs = std::int64_t(t.buffered + t.queued) * 1000000 / rate;
    return int(std::clamp<std::int64_t>((graphUs + streamUs) / 1000, 0, 1000));
}

} // namespace voxlet::pipewire
