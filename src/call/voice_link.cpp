#include "call/voice_link.h"

#include "audio/voice_io.h"
#include "call/call_context.h"
#include "call/call_state.h"
#include "call/hang_up.h"
#include "call/protocol_messages.h"
#include "call/switches.h"
#include "net/call_sockets.h"

#include <utility>

namespace voxlet {

namespace {
const QString kOpus16 = QStringLiteral("opus16");
const QString kCodec = QStringLiteral("codec");
const QString kCommitment = QStringLiteral("c");
const QString kEphemeral = QStringLiteral("e");
const QString kCheckFailed = QStringLiteral("暗号の検証に失敗したため切断しました。");

// The HD field, with the encryption's key field when there is one.
QString HdField(const QString& keyName = {}, const QString& key = {})
{
    protocol::VoxletField field { { { kCodec, kOpus16 } } };
    if (!key.isEmpty())
        field.items.append({ keyName, key });
    return protocol::VoxletFieldText(field);
}

// Whether a field's codec list names one this phone speaks.
bool NamesOpus(const protocol::VoxletField& field)
{
    return field.value(QStringLiteral("codec")).split(QLatin1Char(',')).contains(kOpus16);
}
} // namespace

bool OffersWanted()
{
    return SwitchedOn("VOXLET_OFFER");
}

VoiceLink::VoiceLink(CallSockets& net, VoiceIO& voice, bool offering)
    : net_(net)
    , io_(voice)
    , offering_(offering)
{
}

void VoiceLink::NewCall()
{
    ++callNumber_;
    dialling_ = false;
    started_ = false;
    cipher_.Reset();
    offered_ = false;
    answerField_.clear();
    heldAnswer_.clear();
    heldFor_ = 0;
    voice_ = kPlainVoice;
    texts_ = {};
    reader_.reset();
}

QString VoiceLink::Offer()
{
    if (!offering_)
        return {};
    return identity_ ? HdField(kCommitment, cipher_.Dial(*identity_)) : HdField();
}

void VoiceLink::Dialled(const QString& request)
{
    dialling_ = true;
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
        cipher_.Reset();
        return { AnswerOutcome::Talk, kPlainVoice, {} };
    case protocol::AnswerKind::Incomplete:
        heldAnswer_ = answer;
        return { AnswerOutcome::Wait, kPlainVoice, {} };
    case protocol::AnswerKind::WithField: {
        // The answer names what the callee chose of our offer, and nothing else.
        const std::optional<protocol::VoxletField> field = protocol::ParseVoxletField(read.field);
        if (!field || field->value(kCodec) != kOpus16)
            return refuse;
        const QString key = field->value(kEphemeral);
        if (!cipher_.on())
            return key.isEmpty() ? AnswerOutcome { AnswerOutcome::Talk, kHdVoice, {} } : refuse;
        // A Voxlet that does not encrypt: an HD call in the clear.
        if (key.isEmpty())
            cipher_.Reset();
        else if (!cipher_.Answered(texts_.greeting, texts_.request, answer, key))
            return { AnswerOutcome::Refuse, kPlainVoice, kCheckFailed };
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
    cipher_.Reset();
    const std::optional<protocol::VoxletField> offer
        = protocol::ParseVoxletField(protocol::RequestOffer(request));
    // Garbage or another version is no offer: the plain answer, a plain call.
    if (!offering_ || !offer || !NamesOpus(*offer)) {
        answerField_.clear();
        return;
    }
    // A commitment that is none gets no key: an HD call in the clear.
    const QString commitment = offer->value(kCommitment);
    const QString key
        = identity_ && !commitment.isEmpty() ? cipher_.Called(*identity_, commitment) : QString();
    answerField_ = HdField(kEphemeral, key);
}

QString VoiceLink::AnswerText()
{
    texts_.answer = protocol::Answer(answerField_);
    voice_ = answerField_.isEmpty() ? kPlainVoice : kHdVoice;
    if (cipher_.on())
        cipher_.Answering(texts_.greeting, texts_.request, texts_.answer);
    return texts_.answer;
}

void VoiceLink::Start(int& socketVar)
{
    reader_.reset();
    started_ = true;
    io_.StartCapture(voice_);
    const QByteArray first = cipher_.FirstFrame();
    if (!first.isEmpty())
        net_.SendVoiceFrame(socketVar, first.constData(), int(first.size()));
}

VoiceLink::Secrecy VoiceLink::secrecy() const
{
    if (!started_ || handshaking())
        return Secrecy::Undecided;
    return cipher_.done() ? Secrecy::Encrypted : Secrecy::Plain;
}

void VoiceLink::SendPiece(int& socketVar, const char* piece, int bytes)
{
    if (!voice_.hd())
        return net_.SendVoiceData(socketVar, piece, bytes);
    // Until the handshake is done, what the microphone gives is left out.
    if ((cipher_.on() && !cipher_.done()) || !io_.Encode(piece, bytes, packet_))
        return;
    const QByteArrayView packet(reinterpret_cast<const char*>(packet_.data()), qsizetype(packet_.size()));
    frame_.clear();
    if (!cipher_.on()) {
        frames::AppendFrame(frame_, frames::kOpusPacket, packet);
    } else if (!net_.RoomForVoiceFrame(
                   socketVar, int(packet.size()) + frames::kHeaderBytes + frames::kTagBytes)
        || !cipher_.Seal(packet, frame_)) {
        // Sealed frames are numbered: one the sender drops later would end
        // the call at the far end. What cannot go out now is never sealed.
        return;
    }
    net_.SendVoiceFrame(socketVar, frame_.constData(), int(frame_.size()));
}

std::optional<QString> VoiceLink::Received(int& socketVar, const char* data, int bytes)
{
    if (!voice_.hd()) {
        io_.PlayReceived(data, bytes);
        return std::nullopt;
    }
    reader_.push(data, bytes);
    frames::Frame frame;
    while (reader_.next(frame))
        if (std::optional<QString> why = cipher_.on() ? Opened(socketVar, frame) : Played(frame))
            return why;
    // The length is part of what a sealed frame's check covers.
    if (cipher_.on() && reader_.fault() != frames::FrameFault::None)
        return kCheckFailed;
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

std::optional<QString> VoiceLink::Opened(int& socketVar, const frames::Frame& frame)
{
    const CallCipher::Taken taken = cipher_.Take(frame);
    if (!taken.ok) {
        qCWarning(lcCallState) << "the encrypted call ends:" << secure::Describe(cipher_.fault());
        return kCheckFailed;
    }
    if (!taken.reply.isEmpty())
        net_.SendVoiceFrame(socketVar, taken.reply.constData(), int(taken.reply.size()));
    if (taken.packet)
        io_.PlayReceived(taken.packet->constData(), int(taken.packet->size()));
    return std::nullopt;
}

void StartTalk(CallContext& ctx, int& socketVar)
{
    ctx.link.Start(socketVar);
    if (!ctx.link.handshaking())
        return;
    const bool external = &socketVar == &ctx.st.ExternalSocket;
    ctx.shell.Later(kHandshakeMs, [&ctx, external, call = ctx.link.callNumber()] {
        int& socket = external ? ctx.st.ExternalSocket : ctx.st.CallSocket;
        if (ctx.link.callNumber() != call || !ctx.link.handshaking() || socket == 0)
            return;
        EndCall(ctx, socket, QStringLiteral("暗号の確立が時間内に終わらないため切断しました。"));
        // While a call talks no connection is held for its first words.
        ctx.st.CallerAccepted = false;
        ctx.shell.EventHandled();
    });
}

} // namespace voxlet
