#pragma once
// What the call logic needs of the phone around it, and no more: the shared
// values, the ports it writes to, and a few services of the shell and the
// search window. The phone builds it; the handlers never see the phone.

#include "call/app_state.h"
#include "call/caller_screen.h"
#include "call/ports.h"
#include "call/runtime_error.h"
#include "net/call_sockets.h"

#include <QString>

#include <functional>

namespace voxlet {

class VoiceIO;
class VoiceLink;

// Services the shell does for the call logic.
class CallShell {
public:
    virtual ~CallShell() = default;
    // The ring loops: they return once the call is answered or has ended.
    virtual void PlayRing(const QString& file) = 0;
    virtual void PlayRingBack() = 0;
    virtual void DrawWaveform() = 0;
    virtual void HideToTray() = 0;
    virtual void RestoreFromTray() = 0;
    // Stops the connect time-out (Timer2).
    virtual void StopConnectTimer() = 0;
    // Arms the registration refresh (Timer1) and the connect time-out (Timer2); 0 stops.
    virtual void SetTimer1(int ms) = 0;
    virtual void SetTimer2(int ms) = 0;
    // A call socket was taken or closed: a loop ringing for the call before stops.
    virtual void CallChanged() = 0;
    // A notification was handled (tests and the state log follow it).
    virtual void EventHandled() = 0;
    // The directory may be dialling back now to learn whether callers reach
    // this phone: a connection accepted meanwhile is greeted only once its
    // first words show it is not that dial-back.
    virtual bool ProbeExpected() { return false; }
    // The first words of such a connection: true when they are the dial-back.
    virtual bool TakeOwnProbe(const QString&) { return false; }
    // Whether a caller from this address may ring now.
    virtual Screened AdmitCaller(const QString&) { return Screened::Rings; }
    // A caller was closed unheard for calling too often.
    virtual void CallerRefused(const QString&) { }
    // A hello reply of the directory at `host` said whether it dials back.
    virtual void DirectoryDialsBack(const QString&, bool) { }
    // Runs task on this thread in ms, unless the phone has gone by then.
    virtual void Later(int ms, std::function<void()> task) = 0;
};

// What the call logic tells of each call as it goes, for the record of
// calls the phone keeps. `external` is the call on ExternalSocket (dialled
// from the search window); the others are CallSocket's.
class CallLog {
public:
    virtual ~CallLog() = default;
    // A dial began, to `name` (the phone book's or the directory's; may be empty).
    virtual void Dialled(bool external, const QString& name, const QString& address) = 0;
    // A caller's request rings (again for the same call: the name it gives now).
    virtual void Rings(const QString& name, const QString& address) = 0;
    virtual void Answered(bool external) = 0;
    // Its socket was closed, however the call ended (HangUp tells).
    virtual void Ended(bool external) = 0;
    // A caller closed unheard: the line was taken (`busy`), or it called too often.
    virtual void TurnedAway(const QString& address, bool busy) = 0;
};

// The search window's close command as it is at every load and after a call.
inline const QString kCloseCaption = QStringLiteral("閉じる");

// What the call logic writes into the search window.
class SearchWindowPort {
public:
    virtual ~SearchWindowPort() = default;
    virtual void ClearList() = 0;
    virtual void AddLine(const QString& line) = 0;
    // The line of the empty list, which is no user to dial.
    virtual void ShowNobodyWaiting() = 0;
    virtual void SetCallEnabled(bool enabled) = 0;
    virtual void SetText1(const QString& text) = 0;
    virtual void SetCloseCaption(const QString& caption) = 0;
    // Closed by program, with no refusal.
    virtual void Unload() = 0;
};

struct CallContext {
    AppState& st;
    MainWindowPort& main;
    MessageBoxPort& boxes;
    CallSockets& net;
    VoiceIO& voice;
    VoiceLink& link;
    CallShell& shell;
    SearchWindowPort& search;
    QString dataDir; // Tel.txt, name.txt and the ring sounds
    CallLog* log = nullptr; // none: no call is recorded
};

// A handler's error trap: a RuntimeError ends the handler and is told in a box.
template <class Body> void TrapRuntimeErrors(CallContext& ctx, Body body)
{
    try {
        body();
    } catch (const RuntimeError& e) {
        ctx.boxes.show(e.description(), MessageIcon::None, kAppTitle);
    }
}

} // namespace voxlet
