#pragma once
// The encryption of one HD call between two Voxlets, on its frames: the
// handshake's messages 2 and 3 in frames of their own types, then every
// Opus packet sealed with its frame's header (docs/encryption.md). Pure:
// VoiceLink carries the offer's and answer's fields and the frames.
//
// Once a call is encrypted, every frame must be the one expected next: a
// handshake message where audio is due, audio before the handshake is done,
// a frame that fails to open: the call is over (fault()), and nothing of
// that frame or any later one comes out.

#include "call/voice_frames.h"
#include "secure/call_handshake.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>
#include <utility>

namespace voxlet {

class CallCipher {
public:
    // A new call: not encrypted until one side's field says so.
    void Reset();
    // The call is encrypted, or becomes so once the handshake is done.
    bool on() const { return handshake_.has_value(); }
    bool done() const { return session_ != nullptr && !failed(); }
    bool failed() const { return fault_ != secure::SecureFault::None; }
    secure::SecureFault fault() const { return fault_; }

    // Dialling: the commitment for the offer (the ephemeral key is made now).
    QString Dial(const secure::KeyPair& identity);
    // ... the answer's ephemeral key: message 2 waits in FirstFrame().
    bool Answered(QStringView greeting, QStringView request, QStringView answer, QStringView ephemeral);
    // Called: the offer's commitment; the ephemeral key for the answer, or
    // nothing when the field is not one (the call is then not encrypted).
    QString Called(const secure::KeyPair& identity, QStringView commitment);
    // ... once the answer is built.
    bool Answering(QStringView greeting, QStringView request, QStringView answer);

    // The dialling side's first frame (message 2), once; empty for the called side.
    QByteArray FirstFrame() { return std::exchange(firstFrame_, QByteArray()); }

    struct Taken {
        bool ok = true; // false: the call is over
        std::optional<QByteArray> packet; // an Opus packet to play
        QByteArray reply; // a frame to send back at once (message 3)
    };
    Taken Take(const frames::Frame& frame);
    // The packet sealed into a frame, appended to out; false while the
    // handshake runs, or once the session has ended.
    bool Seal(QByteArrayView packet, QByteArray& out);

    // Once done: the code both sides show, and the other side's long-term key.
    QString shortCode() const { return shortCode_; }
    const secure::PublicKey& peerKey() const { return peerKey_; }

private:
    Taken Fail(secure::SecureFault fault);
    void Finish();

    std::optional<secure::CallHandshake> handshake_;
    bool dialling_ = false;
    std::unique_ptr<secure::SecureSession> session_;
    QByteArray firstFrame_;
    QString shortCode_;
    secure::PublicKey peerKey_ {};
    secure::SecureFault fault_ = secure::SecureFault::None;
};

} // namespace voxlet
