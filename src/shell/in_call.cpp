#include "shell/in_call.h"

namespace voxlet {

InCall::InCall(const AppState& st, MainWindowPort& main, SleepInhibitor* inhibitor, const VoiceLink& link,
    secure::KnownKeys& keys)
    : st_(st)
    , main_(main)
    , inhibitor_(inhibitor)
    , link_(link)
    , keys_(keys)
{
}

InCall::~InCall()
{
    // The window may be gone; the desktop must not stay awake for us.
    if (talking_ && inhibitor_)
        inhibitor_->Uninhibit();
}

void InCall::Reset()
{
    muted_ = false;
    main_.setChecked(Control::mnu_Mute, false);
    main_.setEnabled(Control::mnu_Mute, talking_);
    protection_.reset();
    ShowProtection();
}

void InCall::Follow()
{
    // Answered and not yet closed, by whichever side and whichever way.
    const bool now = st_.VoiceMode && (st_.CallSocket != 0 || st_.ExternalSocket != 0);
    if (now != talking_)
        Enter(now);
    const VoiceLink::Secrecy secrecy = link_.secrecy();
    if (!talking_ || secrecy == VoiceLink::Secrecy::Undecided
        || (protection_ && protectedCall_ == link_.callNumber()))
        return;
    // A call we dialled is known by the address dialled, one we took by
    // the caller's address and the name it gave.
    protection_.emplace(keys_,
        link_.dialling() ? secure::PeerId::Dialled(link_.dialledAddress())
                         : secure::PeerId::Caller(st_.PeerAddress, st_.CallerName));
    protectedCall_ = link_.callNumber();
    if (secrecy == VoiceLink::Secrecy::Encrypted)
        protection_->BeginEncrypted(link_.cipher().peerKey(), link_.cipher().shortCode());
    else
        protection_->BeginPlain();
    SaveKeys();
    ShowProtection();
}

void InCall::Enter(bool talking)
{
    talking_ = talking;
    // Every call starts with the microphone on.
    Reset();
    if (!inhibitor_)
        return;
    if (talking)
        inhibitor_->Inhibit(QStringLiteral("通話中"));
    else
        inhibitor_->Uninhibit();
}

void InCall::ShowProtection()
{
    main_.setProtection(protection_ ? protection_->text() : QString());
    main_.setEnabled(Control::mnu_Confirm, protection_ && protection_->canConfirm());
    main_.setEnabled(Control::mnu_Accept, protection_ && protection_->canAccept());
}

void InCall::SaveKeys()
{
    // A file that could not be read was told at start-up, and is left alone.
    const std::optional<QString> failure = keys_.Save();
    if (failure && failure != keys_.problem())
        main_.setText1(QStringLiteral("相手の鍵を保存できません: ") + *failure);
}

void InCall::mnu_Mute_Click()
{
    if (!talking_)
        return;
    muted_ = !muted_;
    main_.setChecked(Control::mnu_Mute, muted_);
}

void InCall::mnu_Confirm_Click()
{
    if (talking_ && protection_ && protection_->Confirm()) {
        SaveKeys();
        ShowProtection();
    }
}

void InCall::mnu_Accept_Click()
{
    if (talking_ && protection_ && protection_->Accept()) {
        SaveKeys();
        ShowProtection();
    }
}

const char* InCall::Outgoing(const char* piece, int bytes)
{
    const bool closed = muted_ || (protection_ && protection_->microphoneClosed());
    if (!closed || bytes <= 0)
        return piece;
    if (silence_.size() < std::size_t(bytes))
        silence_.resize(std::size_t(bytes), 0);
    return silence_.data();
}

} // namespace voxlet
