#include "call/voice_link.h"

#include "audio/voice_io.h"
#include "call/protocol_messages.h"
#include "net/call_sockets.h"

#include <cstdlib>
#include <strings.h>
#include <utility>

namespace voxlet {

namespace {
const QString kOpus16 = QStringLiteral("opus16");

QString HdOffer()
{
    return protocol::VoxletFieldText({ { { QStringLiteral("codec"), kOpus16 } } });
}

// Whether a field's codec list names one this phone speaks.
bool NamesOpus(const protocol::VoxletField& field)
{
    return field.value(QStringLiteral("codec")).split(QLatin1Char(',')).contains(kOpus16);
}
} // namespace

bool OffersWanted()
{
    const char* v = std::getenv("VOXLET_OFFER");
    if (!v)
        return true;
    for (const char* off : { "0", "off", "no", "false" })
        if (strcasecmp(v, off) == 0)
            return false;
    return true;
}

VoiceLink::VoiceLink(CallSockets& net, VoiceIO& voice, bool offering)
    : net_(net)
    , io_(voice)
    , offering_(offering)
{
}

void VoiceLink::NewCall()
{
    offered_ = false;
    answerField_.clear();
    heldAnswer_.clear();
    heldFor_ = 0;
    voice_ = kPlainVoice;
    texts_ = {};
    reader_.reset();
}

QString VoiceLink::Offer() const
{
    return offering_ ? HdOffer() : QString();
}

void VoiceLink::Dialled(const QString& request)
{
    texts_.request = request;
    offered_ = !protocol::RequestOffer(request).isEmpty();
}

AnswerOutcome VoiceLink::Answered(const QString& answer, int socket)
{
    const AnswerOutcome outcome = Read(answer);
    heldFor_ = outcome.kind == AnswerOutcome::Wait ? socket : 0;
    if (outcome.kind == AnswerOutcome::Talk) {
        texts_.answer = answer;
        voice_ = outcome.voice;
    }
    return outcome;
}

AnswerOutcome VoiceLink::Read(const QString& answer)
{
    const protocol::ReadAnswer read = protocol::ParseAnswer(answer);
    const AnswerOutcome refuse { AnswerOutcome::Refuse, kPlainVoice,
        QStringLiteral("相手の応答を理解できないため切断しました。") };
    if (!offered_) {
        // As an old-style phone takes any answer; but voice in frames we
        // did not ask for would play as noise.
        if (read.kind == protocol::AnswerKind::WithField)
            return refuse;
        return { AnswerOutcome::Talk, kPlainVoice, {} };
    }
    switch (read.kind) {
    case protocol::AnswerKind::Plain:
        return { AnswerOutcome::Talk, kPlainVoice, {} };
    case protocol::AnswerKind::Incomplete:
        heldAnswer_ = answer;
        return { AnswerOutcome::Wait, kPlainVoice, {} };
    case protocol::AnswerKind::WithField: {
        // The answer names what the callee chose of our offer, and nothing else.
        const std::optional<protocol::VoxletField> field = protocol::ParseVoxletField(read.field);
        if (!field || field->value(QStringLiteral("codec")) != kOpus16)
            return refuse;
        return { AnswerOutcome::Talk, kHdVoice, {} };
    }
    case protocol::AnswerKind::Garbage:
        break;
    }
    return refuse;
}

QString VoiceLink::TakeHeldAnswer(int socket)
{
    if (socket != heldFor_)
        return {};
    heldFor_ = 0;
    return std::exchange(heldAnswer_, QString());
}

void VoiceLink::Requested(const QString& request)
{
    texts_.request = request;
    const std::optional<protocol::VoxletField> offer
        = protocol::ParseVoxletField(protocol::RequestOffer(request));
    // Garbage or another version is no offer: the plain answer, a plain call.
    answerField_ = offering_ && offer && NamesOpus(*offer) ? HdOffer() : QString();
}

QString VoiceLink::AnswerText()
{
    texts_.answer = protocol::Answer(answerField_);
    voice_ = answerField_.isEmpty() ? kPlainVoice : kHdVoice;
    return texts_.answer;
}

void VoiceLink::Start()
{
    reader_.reset();
    io_.StartCapture(voice_);
}

void VoiceLink::SendPiece(int& socketVar, const char* piece, int bytes)
{
    if (!voice_.hd())
        return net_.SendVoiceData(socketVar, piece, bytes);
    if (!io_.Encode(piece, bytes, packet_))
        return;
    frame_.clear();
    frames::AppendFrame(frame_, frames::kOpusPacket,
        QByteArrayView(reinterpret_cast<const char*>(packet_.data()), qsizetype(packet_.size())));
    net_.SendVoiceFrame(socketVar, frame_.constData(), int(frame_.size()));
}

std::optional<QString> VoiceLink::Received(const char* data, int bytes)
{
    if (!voice_.hd()) {
        io_.PlayReceived(data, bytes);
        return std::nullopt;
    }
    reader_.push(data, bytes);
    frames::Frame frame;
    while (reader_.next(frame))
        if (std::optional<QString> why = Played(frame))
            return why;
    switch (reader_.fault()) {
    case frames::FrameFault::None:
        return std::nullopt;
    case frames::FrameFault::TooLong:
        return QStringLiteral("相手の音声フレームが長すぎるため切断しました。");
    case frames::FrameFault::Empty:
        break;
    }
    return QStringLiteral("相手の音声データが壊れているため切断しました。");
}

std::optional<QString> VoiceLink::Played(const frames::Frame& frame)
{
    if (frame.type != frames::kOpusPacket)
        return QStringLiteral("相手の音声フレームの種類が不明なため切断しました。");
    if (frame.payload.size() > frames::kMaxOpusPayload)
        return QStringLiteral("相手の音声フレームが長すぎるため切断しました。");
    io_.PlayReceived(frame.payload.data(), int(frame.payload.size()));
    return std::nullopt;
}

} // namespace voxlet
