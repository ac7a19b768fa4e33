#include "shell/in_call.h"

namespace voxlet {

InCall::InCall(const AppState& st, MainWindowPort& main, SleepInhibitor* inhibitor)
    : st_(st)
    , main_(main)
    , inhibitor_(inhibitor)
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
}

void InCall::Follow()
{
    // Answered and not yet closed, by whichever side and whichever way.
    const bool now = st_.VoiceMode && (st_.CallSocket != 0 || st_.ExternalSocket != 0);
    if (now != talking_)
        Enter(now);
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

void InCall::mnu_Mute_Click()
{
    if (!talking_)
        return;
    muted_ = !muted_;
    main_.setChecked(Control::mnu_Mute, muted_);
}

const char* InCall::Outgoing(const char* piece, int bytes)
{
    if (!muted_ || bytes <= 0)
        return piece;
    if (silence_.size() < std::size_t(bytes))
        silence_.resize(std::size_t(bytes), 0);
    return silence_.data();
}

} // namespace voxlet
