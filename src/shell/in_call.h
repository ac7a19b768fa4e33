#pragma once
// What holds only while a call is up (from the answer, either side, to the
// end of the call): the mute control, the desktop kept awake, and the
// call's protection ("通話の保護", with 確認済みにする and このまま話す),
// which keeps the microphone closed in its two warnings.

#include "call/app_state.h"
#include "call/ports.h"
#include "call/voice_link.h"
#include "secure/call_protection.h"
#include "shell/sleep_inhibitor.h"

#include <optional>
#include <vector>

namespace voxlet {

class InCall {
public:
    // The remembered keys are saved after each change (nothing when stateless).
    InCall(const AppState& st, MainWindowPort& main, SleepInhibitor* inhibitor, const VoiceLink& link,
        secure::KnownKeys& keys);
    ~InCall();
    InCall(const InCall&) = delete;
    InCall& operator=(const InCall&) = delete;

    // Start-up: no call, the controls disabled and unchecked.
    void Reset();
    // After anything that may have started or ended a call, or decided its protection.
    void Follow();
    // The menu "ミュート": switches the microphone off or on again.
    void mnu_Mute_Click();
    // The menu's 確認済みにする and このまま話す.
    void mnu_Confirm_Click();
    void mnu_Accept_Click();

    // The piece to send for a captured one: itself, or silence of the
    // same length while muted or warned (the peer's blocks keep their rhythm).
    const char* Outgoing(const char* piece, int bytes);

    bool talking() const { return talking_; }
    bool muted() const { return muted_; }
    // The protection of the call up now (none before it is decided).
    const std::optional<secure::CallProtection>& protection() const { return protection_; }

private:
    void Enter(bool talking);
    void ShowProtection();
    void SaveKeys();

    const AppState& st_;
    MainWindowPort& main_;
    SleepInhibitor* inhibitor_;
    const VoiceLink& link_;
    secure::KnownKeys& keys_;
    bool talking_ = false;
    bool muted_ = false;
    std::optional<secure::CallProtection> protection_;
    unsigned protectedCall_ = 0; // the call it belongs to
    std::vector<char> silence_;
};

} // namespace voxlet
