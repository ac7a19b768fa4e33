#pragma once
// What holds only while a call is up (from the answer, either side, to the
// end of the call): the mute control and the desktop kept awake.

#include "call/app_state.h"
#include "call/ports.h"
#include "shell/sleep_inhibitor.h"

#include <vector>

namespace voxlet {

class InCall {
public:
    InCall(const AppState& st, MainWindowPort& main, SleepInhibitor* inhibitor);
    ~InCall();
    InCall(const InCall&) = delete;
    InCall& operator=(const InCall&) = delete;

    // Start-up: no call, the control disabled and unchecked.
    void Reset();
    // After anything that may have started or ended a call.
    void Follow();
    // The menu "ミュート": switches the microphone off or on again.
    void mnu_Mute_Click();

    // The piece to send for a captured one: itself, or silence of the
    // same length while muted (the peer's blocks keep their rhythm).
    const char* Outgoing(const char* piece, int bytes);

    bool talking() const { return talking_; }
    bool muted() const { return muted_; }

private:
    void Enter(bool talking);

    const AppState& st_;
    MainWindowPort& main_;
    SleepInhibitor* inhibitor_;
    bool talking_ = false;
    bool muted_ = false;
    std::vector<char> silence_;
};

} // namespace voxlet
