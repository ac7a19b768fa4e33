#include "audio/pipewire/pipewire_sound_player.h"

#include "audio/wav_file.h"

#include <pipewire/pipewire.h>

#include <algorithm>
#include <cstring>

namespace voxlet::pipewire {

PipeWireSoundPlayer::PipeWireSoundPlayer(PipeWireContext& context, QByteArray sink)
    : StreamClient(context, std::move(sink), false)
{
    context_.addClient(this);
}

PipeWireSoundPlayer::~PipeWireSoundPlayer()
{
    close();
    context_.removeClient(this);
}

bool PipeWireSoundPlayer::open(const QString& path)
{
    close();
    // The reader takes only what a server plays: 8 or 16 bits, one or two channels.
    auto sound = ReadWavFile(path);
    if (!sound || sound->Samples.isEmpty())
        return false;
    PipeWireContext::Lock lock(context_);
    sound_ = std::move(*sound);
    return true;
}

void PipeWireSoundPlayer::playFromStart()
{
    PipeWireContext::Lock lock(context_);
    if (sound_.Samples.isEmpty())
        return;
    closeStream();
    stopped_ = false;
    wanted_ = true; // until the play has ended
    openIfReady();
}

void PipeWireSoundPlayer::close()
{
    PipeWireContext::Lock lock(context_);
    reopen_.stop();
    closeStream();
    wanted_ = false;
    stopped_ = false;
    sound_ = {};
}

void PipeWireSoundPlayer::openStream(pw_core* core)
{
    position_ = 0;
    draining_ = false;
    StreamSpec spec;
    spec.name = "Ring";
    spec.rate = sound_.SampleRate;
    spec.channels = sound_.Channels;
    spec.u8 = sound_.BitsPerSample == 8;
    if (!connectStream(core, spec))
        streamFailed();
}

void PipeWireSoundPlayer::process()
{
    pw_buffer* b = pw_stream_dequeue_buffer(stream_);
    if (!b)
        return;
    spa_data& d = b->buffer->datas[0];
    const int frameBytes = sound_.bytesPerFrame();
    std::uint32_t bytes = 0;
    if (b->buffer->n_datas > 0 && d.data && !draining_) {
        const int room = int(d.maxsize) / frameBytes * frameBytes;
        const int wanted = b->requested > 0 ? int(b->requested) * frameBytes : room;
        const int n = std::min({ int(sound_.Samples.size()) - position_, room, wanted });
        if (n > 0) {
            std::memcpy(d.data, sound_.Samples.constData() + position_, std::size_t(n));
            position_ += n;
            bytes = std::uint32_t(n);
        }
    }
    if (b->buffer->n_datas > 0) {
        d.chunk->offset = 0;
        d.chunk->stride = frameBytes;
        d.chunk->size = bytes;
    }
    pw_stream_queue_buffer(stream_, b);
    if (position_ >= int(sound_.Samples.size()) && !draining_) {
        draining_ = true;
        pw_stream_flush(stream_, true);
    }
}

void PipeWireSoundPlayer::drained()
{
    // Once it has played out: a drain of a stream since replaced does not
    // reach here, its listener went with it.
    wanted_ = false;
    stopped_ = true;
    pw_stream_set_active(stream_, false); // no more cycles for a silent stream
}

std::unique_ptr<SoundPlayer> PipeWireSoundPlayerFactory::create()
{
    return std::make_unique<PipeWireSoundPlayer>(context_, sink_);
}

} // namespace voxlet::pipewire
