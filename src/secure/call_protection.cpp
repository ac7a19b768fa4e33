#include "secure/call_protection.h"

namespace voxlet::secure {

CallProtection::CallProtection(KnownKeys& keys, PeerId peer)
    : keys_(keys)
    , peer_(std::move(peer))
{
}

void CallProtection::BeginPlain()
{
    state_ = keys_.find(peer_) ? State::Downgrade : State::Plain;
    accepted_ = false;
}

void CallProtection::BeginEncrypted(const PublicKey& peerStatic, const QString& shortCode)
{
    peerStatic_ = peerStatic;
    shortCode_ = shortCode;
    accepted_ = false;
    const std::optional<KnownKey> known = keys_.find(peer_);
    if (known && known->key != peerStatic) {
        state_ = State::KeyChanged;
        return;
    }
    const bool confirmed = known && known->confirmed;
    keys_.Remember(peer_, { peerStatic, confirmed });
    state_ = confirmed ? State::Confirmed : State::Unconfirmed;
}

QString CallProtection::text() const
{
    switch (state_) {
    case State::Unknown:
        break;
    case State::Plain:
        return QStringLiteral("暗号化なし");
    case State::Unconfirmed:
        return QStringLiteral("暗号化 確認コード ") + shortCode_;
    case State::Confirmed:
        return QStringLiteral("暗号化・確認済み");
    case State::Downgrade:
        return QStringLiteral("警告: 暗号化されていません");
    case State::KeyChanged:
        return QStringLiteral("警告: 相手の鍵が変わりました");
    }
    return {};
}

bool CallProtection::Confirm()
{
    if (!canConfirm())
        return false;
    keys_.Remember(peer_, { peerStatic_, true });
    state_ = State::Confirmed;
    return true;
}

bool CallProtection::Accept()
{
    if (!canAccept())
        return false;
    accepted_ = true;
    if (state_ == State::KeyChanged) {
        keys_.Remember(peer_, { peerStatic_, false });
        state_ = State::Unconfirmed;
    }
    return true;
}

} // namespace voxlet::secure
