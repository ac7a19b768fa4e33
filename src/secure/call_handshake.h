#pragma once
// The encrypted call between two Voxlets, as docs/encryption.md describes
// it: Noise XX with the CALLED phone as initiator. The dialling phone
// commits to its ephemeral key in its offer; the called phone's ephemeral
// key (message 1) travels in its answer; message 2 is the dialling phone's
// first frame, message 3 the called phone's next one. Then SecureSession
// seals and opens the frames. Pure: the call logic carries the bytes.

#include "secure/noise.h"

#include <QString>
#include <QStringView>

#include <memory>

namespace voxlet::secure {

// The bytes both sides bind into the handshake: "Voxlet call 1", then the
// greeting, the request and the answer as sent, each as UTF-16LE after its
// length (4 bytes, big-endian).
QByteArray CallPrologue(QStringView greeting, QStringView request, QStringView answer);
// BLAKE2b-256 of a public key: the offer's commitment.
QByteArray KeyCommitment(const PublicKey& key);
// "NNN NNN": BLAKE2b-256("Voxlet SAS 1" || BLAKE2b-256(prologue) || called
// side's ephemeral || dialling side's ephemeral), its first 4 bytes
// big-endian, modulo 1 000 000.
QString ShortAuthenticationString(
    QByteArrayView prologue, const PublicKey& calledEphemeral, const PublicKey& diallingEphemeral);

// 64 lowercase hex digits, as the offer and answer fields carry 32 bytes.
QString ToHexField(QByteArrayView bytes);
std::optional<QByteArray> FromHexField(QStringView text, qsizetype bytes);

// What ended a handshake or a session (for the log and the status line).
enum class SecureFault {
    None,
    OutOfTurn, // a step the protocol does not expect now
    BadField, // an offer or answer field that is not 64 lowercase hex digits
    BadCommitment, // message 2's key is not the one the offer committed to
    BadKey, // a key that is not a valid point
    BadMessage, // a handshake message too short, too long, or failing its check
    FrameRejected, // a frame that failed to open: changed, replayed, reordered, truncated
    NonceExhausted, // 2^64-1 frames: the session may not go on
};
QString Describe(SecureFault fault);

// The transport: one CipherState each way, the frame's header as
// associated data. The first failure ends it: it is reported, and every
// later Seal or Open refuses.
class SecureSession {
public:
    SecureSession(CipherState sending, CipherState receiving);
    // header (the frame's length and type bytes) is authenticated, not sent
    // by these; the sealed payload is kTagLen bytes longer than the plain one.
    std::optional<QByteArray> Seal(QByteArrayView header, QByteArrayView plaintext);
    std::optional<QByteArray> Open(QByteArrayView header, QByteArrayView ciphertext);
    bool ended() const { return fault_ != SecureFault::None; }
    SecureFault fault() const { return fault_; }
    // Noise's SetNonce, for a test of the last nonce.
    void SetSendingNonce(std::uint64_t nonce) { sending_.SetNonce(nonce); }

private:
    std::optional<QByteArray> Check(std::optional<QByteArray> result, SecureFault fault);

    CipherState sending_, receiving_;
    SecureFault fault_ = SecureFault::None;
};

// One side of a call's handshake. Every step checks that it is its turn
// and its input; a failure ends the handshake for good (fault()).
class CallHandshake {
public:
    // Dialling: the ephemeral key is made now, before the request; its
    // commitment goes into the offer.
    static CallHandshake Dialling(const KeyPair& identity);
    static CallHandshake Dialling(const KeyPair& identity, KeyPair ephemeral);
    // Called: with the offer's commitment field; the ephemeral key is made
    // now and goes into the answer.
    static CallHandshake Called(const KeyPair& identity, QStringView commitmentField);
    static CallHandshake Called(const KeyPair& identity, QStringView commitmentField, KeyPair ephemeral);

    QString commitmentField() const; // dialling: the offer's 64 hex digits
    QString ephemeralField() const; // called: the answer's 64 hex digits

    // Called, once the answer is built: the exact texts exchanged.
    bool Start(QStringView greeting, QStringView request, QStringView answer);
    // Dialling, on the answer: its ephemeral field; gives message 2.
    std::optional<QByteArray> TakeAnswer(
        QStringView greeting, QStringView request, QStringView answer, QStringView ephemeralField);
    // Called, on the first frame: message 2; gives message 3. Done after it.
    std::optional<QByteArray> TakeMessage2(QByteArrayView message);
    // Dialling, on the next frame: message 3. Done after it.
    bool TakeMessage3(QByteArrayView message);

    // Known as soon as both ephemeral keys are: the code both sides show.
    QString shortCode() const { return shortCode_; }
    bool done() const { return step_ == Step::Done && fault_ == SecureFault::None; }
    SecureFault fault() const { return fault_; }
    // Once done: the other side's long-term key and the transport.
    std::optional<PublicKey> peerStatic() const;
    QByteArray handshakeHash() const;
    // The transport, once: later calls give nothing.
    std::unique_ptr<SecureSession> TakeSession();

    // Message 2 and 3 carry an empty payload; a later version may put up to
    // this much there, which this one reads and ignores.
    static constexpr qsizetype kMaxPayload = 256;

private:
    enum class Step {
        DiallingWaitsAnswer,
        DiallingWaitsMessage3,
        CalledWaitsStart,
        CalledWaitsMessage2,
        Done
    };
    CallHandshake(const KeyPair& identity, KeyPair ephemeral, Step step);
    std::nullopt_t Fail(SecureFault fault);
    void Begin(bool initiator, QStringView greeting, QStringView request, QStringView answer);
    void Finish();

    KeyPair identity_, ephemeral_;
    Step step_;
    QByteArray commitment_, prologue_;
    QString shortCode_;
    std::unique_ptr<HandshakeState> noise_;
    std::unique_ptr<SecureSession> session_;
    SecureFault fault_ = SecureFault::None;
};

} // namespace voxlet::secure
