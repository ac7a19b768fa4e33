#include "call/call_cipher.h"

namespace voxlet {

using secure::SecureFault;

void CallCipher::Reset()
{
    handshake_.reset();
    session_.reset();
    firstFrame_.clear();
    shortCode_.clear();
    peerKey_ = {};
    fault_ = SecureFault::None;
}

QString CallCipher::Dial(const secure::KeyPair& identity)
{
    Reset();
    handshake_.emplace(secure::CallHandshake::Dialling(identity));
    dialling_ = true;
    return handshake_->commitmentField();
}

bool CallCipher::Answered(
    QStringView greeting, QStringView request, QStringView answer, QStringView ephemeral)
{
    if (!handshake_ || !dialling_)
        return Fail(SecureFault::OutOfTurn).ok;
    const std::optional<QByteArray> message2 = handshake_->TakeAnswer(greeting, request, answer, ephemeral);
    if (!message2)
        return Fail(handshake_->fault()).ok;
    frames::AppendFrame(firstFrame_, frames::kMessage2, *message2);
    return true;
}

QString CallCipher::Called(const secure::KeyPair& identity, QStringView commitment)
{
    Reset();
    secure::CallHandshake side = secure::CallHandshake::Called(identity, commitment);
    if (side.fault() != SecureFault::None)
        return {};
    handshake_.emplace(std::move(side));
    dialling_ = false;
    return handshake_->ephemeralField();
}

bool CallCipher::Answering(QStringView greeting, QStringView request, QStringView answer)
{
    if (!handshake_ || dialling_ || !handshake_->Start(greeting, request, answer))
        return Fail(SecureFault::OutOfTurn).ok;
    return true;
}

CallCipher::Taken CallCipher::Fail(SecureFault fault)
{
    if (fault_ == SecureFault::None)
        fault_ = fault == SecureFault::None ? SecureFault::OutOfTurn : fault;
    session_.reset();
    return { false, std::nullopt, {} };
}

CallCipher::Taken CallCipher::Take(const frames::Frame& frame)
{
    if (failed() || !handshake_)
        return Fail(SecureFault::OutOfTurn);
    if (session_) {
        if (frame.type != frames::kSealed)
            return Fail(SecureFault::OutOfTurn);
        std::optional<QByteArray> packet = session_->Open(frame.header, frame.payload);
        if (!packet)
            return Fail(session_->fault());
        return { true, std::move(packet), {} };
    }
    // The handshake's next message, and nothing else, is due.
    if (frame.type != (dialling_ ? frames::kMessage3 : frames::kMessage2))
        return Fail(SecureFault::OutOfTurn);
    Taken out;
    if (dialling_) {
        if (!handshake_->TakeMessage3(frame.payload))
            return Fail(handshake_->fault());
    } else {
        const std::optional<QByteArray> message3 = handshake_->TakeMessage2(frame.payload);
        if (!message3)
            return Fail(handshake_->fault());
        frames::AppendFrame(out.reply, frames::kMessage3, *message3);
    }
    Finish();
    return out;
}

void CallCipher::Finish()
{
    shortCode_ = handshake_->shortCode();
    peerKey_ = handshake_->peerStatic().value_or(secure::PublicKey {});
    session_ = handshake_->TakeSession();
    if (!session_)
        Fail(SecureFault::OutOfTurn);
}

bool CallCipher::Seal(QByteArrayView packet, QByteArray& out)
{
    if (!done())
        return false;
    // The header is the one the sealed payload, a tag longer, travels under.
    const QByteArray header = frames::FrameHeader(frames::kSealed, packet.size() + secure::kTagLen);
    const std::optional<QByteArray> sealed = session_->Seal(header, packet);
    if (!sealed)
        return false;
    out += header;
    out += *sealed;
    return true;
}

} // namespace voxlet
