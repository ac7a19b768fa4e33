#include "audio/pipewire/pipewire_echo.h"

#include "audio/pipewire/pipewire_voice.h"

namespace voxlet::pipewire {

PipeWireEchoCanceller::PipeWireEchoCanceller(
    PipeWireContext& context, PipeWireCapture& capture, PipeWirePlayback& playback, bool wanted)
    : context_(context)
    , capture_(capture)
    , playback_(playback)
    , path_(wanted)
{
    capture_.setEchoCanceller(this);
    playback_.setEchoCanceller(this);
    context_.addClient(this);
}

PipeWireEchoCanceller::~PipeWireEchoCanceller()
{
    context_.removeClient(this);
    capture_.setEchoCanceller(nullptr);
    playback_.setEchoCanceller(nullptr);
}

void PipeWireEchoCanceller::checkSource()
{
    if (!path_.wanted())
        return;
    const NodeInfo* source = context_.sourceOf(capture_.nodeId());
    if (source)
        path_.setSourceCancels(source->cancelsEcho);
}

} // namespace voxlet::pipewire
