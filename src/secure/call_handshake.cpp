#include "secure/call_handshake.h"

#include <QtEndian>

#include <sodium.h>

namespace voxlet::secure {

namespace {

void AppendBigEndian32(QByteArray& out, quint32 value)
{
    char bytes[4];
    qToBigEndian(value, bytes);
    out.append(bytes, 4);
}

QByteArray Utf16Le(QStringView text)
{
    QByteArray out;
    out.reserve(text.size() * 2);
    for (QChar c : text) {
        out.append(char(c.unicode() & 0xff));
        out.append(char(c.unicode() >> 8));
    }
    return out;
}

PublicKey ToKey(QByteArrayView bytes)
{
    PublicKey key {};
    std::copy_n(bytes.begin(), key.size(), key.begin());
    return key;
}

// Message 2: e, s sealed, the payload sealed; message 3: s sealed, the payload sealed.
constexpr qsizetype kMaxMessage2 = kDhLen + (kDhLen + kTagLen) + kTagLen + CallHandshake::kMaxPayload;
constexpr qsizetype kMaxMessage3 = (kDhLen + kTagLen) + kTagLen + CallHandshake::kMaxPayload;

SecureFault FromNoise(HandshakeFault fault)
{
    switch (fault) {
    case HandshakeFault::OutOfTurn:
        return SecureFault::OutOfTurn;
    case HandshakeFault::BadKey:
        return SecureFault::BadKey;
    case HandshakeFault::None:
    case HandshakeFault::BadLength:
    case HandshakeFault::BadMessage:
        break;
    }
    return SecureFault::BadMessage;
}

} // namespace

QByteArray CallPrologue(QStringView greeting, QStringView request, QStringView answer)
{
    QByteArray out("Voxlet call 1");
    for (QStringView text : { greeting, request, answer }) {
        const QByteArray bytes = Utf16Le(text);
        AppendBigEndian32(out, quint32(bytes.size()));
        out += bytes;
    }
    return out;
}

QByteArray KeyCommitment(const PublicKey& key)
{
    return Blake2b({ AsBytes(key) }, 32);
}

QString ShortAuthenticationString(
    QByteArrayView prologue, const PublicKey& calledEphemeral, const PublicKey& diallingEphemeral)
{
    const QByteArray digest = Blake2b(
        { "Voxlet SAS 1", Blake2b({ prologue }, 32), AsBytes(calledEphemeral), AsBytes(diallingEphemeral) },
        32);
    const quint32 code = qFromBigEndian<quint32>(digest.constData()) % 1000000;
    const QString digits = QStringLiteral("%1").arg(code, 6, 10, QLatin1Char('0'));
    return digits.left(3) + QLatin1Char(' ') + digits.mid(3);
}

QString ToHexField(QByteArrayView bytes)
{
    return QString::fromLatin1(bytes.toByteArray().toHex());
}

std::optional<QByteArray> FromHexField(QStringView text, qsizetype bytes)
{
    if (text.size() != bytes * 2)
        return std::nullopt;
    for (QChar c : text) {
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9'))
                || (c >= QLatin1Char('a') && c <= QLatin1Char('f'))))
            return std::nullopt;
    }
    return QByteArray::fromHex(text.toLatin1());
}

QString Describe(SecureFault fault)
{
    switch (fault) {
    case SecureFault::None:
        return QStringLiteral("no fault");
    case SecureFault::OutOfTurn:
        return QStringLiteral("a handshake step out of turn");
    case SecureFault::BadField:
        return QStringLiteral("a key field that is not 64 lowercase hex digits");
    case SecureFault::BadCommitment:
        return QStringLiteral("the caller's key does not match the commitment of its offer");
    case SecureFault::BadKey:
        return QStringLiteral("a key that is not a valid point");
    case SecureFault::BadMessage:
        return QStringLiteral("a handshake message that failed its check");
    case SecureFault::FrameRejected:
        return QStringLiteral("a frame that failed its check (changed, replayed, reordered or truncated)");
    case SecureFault::NonceExhausted:
        return QStringLiteral("the last nonce of the session was reached");
    }
    return {};
}

// ---- SecureSession ----

SecureSession::SecureSession(CipherState sending, CipherState receiving)
    : sending_(std::move(sending))
    , receiving_(std::move(receiving))
{
}

std::optional<QByteArray> SecureSession::Seal(QByteArrayView header, QByteArrayView plaintext)
{
    return ended() ? std::nullopt
                   : Check(sending_.EncryptWithAd(header, plaintext), SecureFault::NonceExhausted);
}

std::optional<QByteArray> SecureSession::Open(QByteArrayView header, QByteArrayView ciphertext)
{
    return ended() ? std::nullopt
                   : Check(receiving_.DecryptWithAd(header, ciphertext), SecureFault::FrameRejected);
}

std::optional<QByteArray> SecureSession::Check(std::optional<QByteArray> result, SecureFault fault)
{
    if (!result)
        fault_ = fault;
    return result;
}

// ---- CallHandshake ----

CallHandshake::CallHandshake(const KeyPair& identity, KeyPair ephemeral, Step step)
    : identity_(identity)
    , ephemeral_(std::move(ephemeral))
    , step_(step)
{
}

CallHandshake CallHandshake::Dialling(const KeyPair& identity)
{
    return Dialling(identity, GenerateKeyPair());
}

CallHandshake CallHandshake::Dialling(const KeyPair& identity, KeyPair ephemeral)
{
    CallHandshake side(identity, std::move(ephemeral), Step::DiallingWaitsAnswer);
    side.commitment_ = KeyCommitment(side.ephemeral_.publicKey);
    return side;
}

CallHandshake CallHandshake::Called(const KeyPair& identity, QStringView commitmentField)
{
    return Called(identity, commitmentField, GenerateKeyPair());
}

CallHandshake CallHandshake::Called(const KeyPair& identity, QStringView commitmentField, KeyPair ephemeral)
{
    CallHandshake side(identity, std::move(ephemeral), Step::CalledWaitsStart);
    if (std::optional<QByteArray> commitment = FromHexField(commitmentField, 32))
        side.commitment_ = *commitment;
    else
        side.Fail(SecureFault::BadField);
    return side;
}

QString CallHandshake::commitmentField() const
{
    return ToHexField(commitment_);
}

QString CallHandshake::ephemeralField() const
{
    return ToHexField(AsBytes(ephemeral_.publicKey));
}

std::nullopt_t CallHandshake::Fail(SecureFault fault)
{
    if (fault_ == SecureFault::None)
        fault_ = fault;
    // A failed handshake shows no code and gives no session.
    shortCode_.clear();
    noise_.reset();
    session_.reset();
    return std::nullopt;
}

void CallHandshake::Begin(bool initiator, QStringView greeting, QStringView request, QStringView answer)
{
    prologue_ = CallPrologue(greeting, request, answer);
    noise_ = std::make_unique<HandshakeState>(PatternXX(), initiator, prologue_, identity_, ephemeral_);
}

bool CallHandshake::Start(QStringView greeting, QStringView request, QStringView answer)
{
    if (fault_ != SecureFault::None || step_ != Step::CalledWaitsStart) {
        Fail(SecureFault::OutOfTurn);
        return false;
    }
    Begin(true, greeting, request, answer);
    // Message 1 is our ephemeral key alone, already sent in the answer.
    (void)noise_->WriteMessage({});
    step_ = Step::CalledWaitsMessage2;
    return true;
}

std::optional<QByteArray> CallHandshake::TakeAnswer(
    QStringView greeting, QStringView request, QStringView answer, QStringView ephemeralField)
{
    if (fault_ != SecureFault::None || step_ != Step::DiallingWaitsAnswer)
        return Fail(SecureFault::OutOfTurn);
    const std::optional<QByteArray> message1 = FromHexField(ephemeralField, kDhLen);
    if (!message1)
        return Fail(SecureFault::BadField);
    Begin(false, greeting, request, answer);
    const std::optional<QByteArray> payload = noise_->ReadMessage(*message1);
    if (!payload)
        return Fail(FromNoise(noise_->fault()));
    shortCode_ = ShortAuthenticationString(prologue_, ToKey(*message1), ephemeral_.publicKey);
    std::optional<QByteArray> message2 = noise_->WriteMessage({});
    if (!message2)
        return Fail(FromNoise(noise_->fault()));
    step_ = Step::DiallingWaitsMessage3;
    return message2;
}

std::optional<QByteArray> CallHandshake::TakeMessage2(QByteArrayView message)
{
    if (fault_ != SecureFault::None || step_ != Step::CalledWaitsMessage2)
        return Fail(SecureFault::OutOfTurn);
    if (message.size() < kDhLen || message.size() > kMaxMessage2)
        return Fail(SecureFault::BadMessage);
    // Before anything else: is this the key the caller committed to?
    const QByteArray commitment = Blake2b({ message.first(kDhLen) }, 32);
    if (sodium_memcmp(commitment.constData(), commitment_.constData(), 32) != 0)
        return Fail(SecureFault::BadCommitment);
    shortCode_ = ShortAuthenticationString(prologue_, ephemeral_.publicKey, ToKey(message.first(kDhLen)));
    if (!noise_->ReadMessage(message))
        return Fail(FromNoise(noise_->fault()));
    std::optional<QByteArray> message3 = noise_->WriteMessage({});
    if (!message3)
        return Fail(FromNoise(noise_->fault()));
    Finish();
    return message3;
}

bool CallHandshake::TakeMessage3(QByteArrayView message)
{
    SecureFault fault = SecureFault::None;
    if (fault_ != SecureFault::None || step_ != Step::DiallingWaitsMessage3)
        fault = SecureFault::OutOfTurn;
    else if (message.size() > kMaxMessage3)
        fault = SecureFault::BadMessage;
    else if (!noise_->ReadMessage(message))
        fault = FromNoise(noise_->fault());
    if (fault != SecureFault::None) {
        Fail(fault);
        return false;
    }
    Finish();
    return true;
}

void CallHandshake::Finish()
{
    // The initiator (the called side) sends with the first.
    auto [initiatorSends, responderSends] = noise_->Split();
    const bool initiator = step_ == Step::CalledWaitsMessage2;
    session_ = initiator
        ? std::make_unique<SecureSession>(std::move(initiatorSends), std::move(responderSends))
        : std::make_unique<SecureSession>(std::move(responderSends), std::move(initiatorSends));
    step_ = Step::Done;
}

std::optional<PublicKey> CallHandshake::peerStatic() const
{
    return done() && noise_ ? noise_->remoteStatic() : std::nullopt;
}

QByteArray CallHandshake::handshakeHash() const
{
    return done() && noise_ ? noise_->handshakeHash() : QByteArray();
}

std::unique_ptr<SecureSession> CallHandshake::TakeSession()
{
    return done() ? std::move(session_) : nullptr;
}

} // namespace voxlet::secure
