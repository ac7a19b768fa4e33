#include "audio/pulse/pulse_echo.h"

#include "audio/pulse/pulse_context.h"
#include "audio/pulse/pulse_voice.h"

#include <pulse/context.h>
#include <pulse/introspect.h>
#include <pulse/operation.h>
#include <pulse/proplist.h>
#include <pulse/stream.h>

#include <cstring>

namespace voxlet::pulse {

namespace {

// PulseAudio names the driver of its canceller's source; PipeWire groups
// its canceller's nodes as "echo-cancel-...".
bool SourceCancelsEcho(const pa_source_info& info)
{
    if (info.driver && std::strstr(info.driver, "module-echo-cancel"))
        return true;
    for (const char* key : { "node.group", "node.link-group" }) {
        const char* group = info.proplist ? pa_proplist_gets(info.proplist, key) : nullptr;
        if (group && std::strncmp(group, "echo-cancel", 11) == 0)
            return true;
    }
    return false;
}

} // namespace

PulseEchoCanceller::PulseEchoCanceller(
    PulseContext& context, PulseCapture& capture, PulsePlayback& playback, bool wanted)
    : context_(context)
    , capture_(capture)
    , playback_(playback)
    , path_(wanted)
{
    capture_.setEchoCanceller(this);
    playback_.setEchoCanceller(this);
}

PulseEchoCanceller::~PulseEchoCanceller()
{
    capture_.setEchoCanceller(nullptr);
    playback_.setEchoCanceller(nullptr);
    PulseContext::Lock lock(context_);
    if (asking_) {
        pa_operation_cancel(asking_);
        pa_operation_unref(asking_);
        asking_ = nullptr;
    }
}

void PulseEchoCanceller::captureStarted(pa_stream* s, int rate)
{
    path_.restart(rate);
    askSource(s);
}

void PulseEchoCanceller::captureMoved(pa_stream* s)
{
    askSource(s);
}

void PulseEchoCanceller::askSource(pa_stream* s)
{
    if (!path_.wanted())
        return;
    if (asking_) {
        pa_operation_cancel(asking_);
        pa_operation_unref(asking_);
    }
    askedFor_ = pa_stream_get_device_index(s);
    asking_ = pa_context_get_source_info_by_index(
        pa_stream_get_context(s), askedFor_, &PulseEchoCanceller::onSourceInfo, this);
}

void PulseEchoCanceller::onSourceInfo(pa_context*, const pa_source_info* info, int eol, void* self)
{
    auto* me = static_cast<PulseEchoCanceller*>(self);
    if (info && info->index == me->askedFor_)
        me->path_.setSourceCancels(SourceCancelsEcho(*info));
    if (eol != 0 && me->asking_) {
        pa_operation_unref(me->asking_);
        me->asking_ = nullptr;
    }
}

} // namespace voxlet::pulse
