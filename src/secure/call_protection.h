#pragma once
// What the window says about a call's protection, and the two things the
// user can do about it, from the call's outcome and the remembered key of
// the other side. Pure logic on the store; the caller saves the store after
// Begin, Confirm and Accept.

#include "secure/known_keys.h"

#include <QString>

namespace voxlet::secure {

// The entries of the menu 通話.
inline const QString kConfirmAction = QStringLiteral("確認済みにする");
inline const QString kAcceptAction = QStringLiteral("このまま話す");

class CallProtection {
public:
    enum class State {
        Unknown, // no outcome yet
        Plain, // "暗号化なし": an old-style peer
        Unconfirmed, // "暗号化 確認コード NNN NNN"
        Confirmed, // "暗号化・確認済み"
        Downgrade, // "警告: 暗号化されていません": plain, but encrypted before
        KeyChanged, // "警告: 相手の鍵が変わりました"
    };

    CallProtection(KnownKeys& keys, PeerId peer);

    // The outcome: plain, or encrypted with the other side's long-term key
    // and the code both sides show. A new side's key is remembered now, not
    // confirmed; a changed one only once the user accepts it.
    void BeginPlain();
    void BeginEncrypted(const PublicKey& peerStatic, const QString& shortCode);

    State state() const { return state_; }
    QString text() const;
    // In the two warnings, until the user accepts: silence goes out instead.
    bool microphoneClosed() const
    {
        return (state_ == State::Downgrade || state_ == State::KeyChanged) && !accepted_;
    }
    bool canConfirm() const { return state_ == State::Unconfirmed; }
    bool canAccept() const { return microphoneClosed(); }

    // 確認済みにする: the key is remembered as confirmed.
    bool Confirm();
    // このまま話す: the microphone opens; a changed key is remembered, not confirmed.
    bool Accept();

private:
    KnownKeys& keys_;
    PeerId peer_;
    State state_ = State::Unknown;
    PublicKey peerStatic_ {};
    QString shortCode_;
    bool accepted_ = false;
};

} // namespace voxlet::secure
