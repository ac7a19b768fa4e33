#include "audio/pulse/pulse_sound_player.h"

#include "audio/wav_file.h"

#include <pulse/context.h>
#include <pulse/proplist.h>
#include <pulse/stream.h>

#include <algorithm>

namespace voxlet::pulse {

PulseSoundPlayer::PulseSoundPlayer(PulseContext& context, QByteArray sink)
    : StreamClient(context, std::move(sink))
{
    context_.addClient(this);
}

PulseSoundPlayer::~PulseSoundPlayer()
{
    close();
    context_.removeClient(this);
}

bool PulseSoundPlayer::open(const QString& path)
{
    close();
    // The reader takes only what a server plays: 8 or 16 bits, one or two channels.
    auto sound = ReadWavFile(path);
    if (!sound || sound->Samples.isEmpty())
        return false;
    PulseContext::Lock lock(context_);
    sound_ = std::move(*sound);
    return true;
}

void PulseSoundPlayer::playFromStart()
{
    PulseContext::Lock lock(context_);
    if (sound_.Samples.isEmpty())
        return;
    closeStream();
    stopped_ = false;
    wanted_ = true; // until the play has ended
    openIfReady();
}

void PulseSoundPlayer::close()
{
    PulseContext::Lock lock(context_);
    closeStream();
    wanted_ = false;
    stopped_ = false;
    sound_ = {};
}

void PulseSoundPlayer::openStream(pa_context* context)
{
    const pa_sample_spec spec { sound_.BitsPerSample == 8 ? PA_SAMPLE_U8 : PA_SAMPLE_S16LE,
        std::uint32_t(sound_.SampleRate), std::uint8_t(sound_.Channels) };
    pa_proplist* props = pa_proplist_new();
    pa_proplist_sets(props, PA_PROP_MEDIA_ROLE, "phone");
    stream_ = pa_stream_new_with_proplist(context, "Ring", &spec, nullptr, props);
    pa_proplist_free(props);
    if (!stream_)
        return;
    position_ = 0;
    draining_ = false;
    pa_stream_set_write_callback(stream_, &PulseSoundPlayer::onWrite, this);
    // The server's default buffering: few wake-ups while it rings.
    if (pa_stream_connect_playback(stream_, device(), nullptr, pa_stream_flags_t(0), nullptr, nullptr) < 0)
        closeStream();
}

void PulseSoundPlayer::onWrite(pa_stream* s, size_t bytes, void* self)
{
    auto* me = static_cast<PulseSoundPlayer*>(self);
    const int left = int(me->sound_.Samples.size()) - me->position_;
    const int n = std::min(left, int(bytes));
    if (n > 0) {
        pa_stream_write(
            s, me->sound_.Samples.constData() + me->position_, size_t(n), nullptr, 0, PA_SEEK_RELATIVE);
        me->position_ += n;
    }
    if (me->position_ >= int(me->sound_.Samples.size()) && !me->draining_) {
        me->draining_ = true;
        if (pa_operation* op = pa_stream_drain(s, &PulseSoundPlayer::onDrained, me))
            pa_operation_unref(op);
    }
}

void PulseSoundPlayer::onDrained(pa_stream* s, int success, void* self)
{
    auto* me = static_cast<PulseSoundPlayer*>(self);
    // A drain of a stream since replaced or lost does not count.
    if (success && s == me->stream_) {
        me->wanted_ = false;
        me->stopped_ = true;
    }
}

std::unique_ptr<SoundPlayer> PulseSoundPlayerFactory::create()
{
    return std::make_unique<PulseSoundPlayer>(context_, sink_);
}

} // namespace voxlet::pulse
