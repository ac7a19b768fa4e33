#pragma once
// One phone: its shared values, sockets, audio path, windows' logic, timers
// and tray, wired together. The program builds one; tests build two.

#include "audio/audio_devices.h"
#include "audio/media_control.h"
#include "audio/ring_loops.h"
#include "audio/voice_io.h"
#include "call/app_state.h"
#include "call/call_context.h"
#include "call/call_state.h"
#include "call/caller_screen.h"
#include "call/event_hub.h"
#include "call/peer_protocol.h"
#include "call/ports.h"
#include "call/server_protocol.h"
#include "call/voice_link.h"
#include "directory/search_window.h"
#include "history/call_history.h"
#include "history/call_recorder.h"
#include "history/history_window.h"
#include "net/async_select.h"
#include "net/reachability_port.h"
#include "net/socket_layer.h"
#include "secure/known_keys.h"
#include "shell/call_notifier.h"
#include "shell/in_call.h"
#include "shell/interval_timer.h"

#include <QObject>
#include <QRect>

#include <chrono>
#include <optional>

namespace voxlet {

struct PhoneOptions {
    QString dataDir; // where Tel.txt, name.txt and the ring sounds are
    QString stateDir; // what the phone learns and keeps (files::DefaultStateDir() in the program)
    NetOptions net;
    int ringPollMs = 30; // how often a ring loop asks whether its sound ended
    ScreenOptions screen; // callers from strangers
    // Offers HD to the Voxlets it dials and takes it when offered
    // (VOXLET_OFFER=off in the program: neither, as an old-style phone).
    bool hd = OffersWanted();
    // Encrypts HD calls with Voxlets that can (off only to measure what it costs).
    bool encrypt = true;
};

struct PhonePorts {
    MainWindowPort& main;
    MessageBoxPort& boxes;
    TrayPort& tray;
    CaptureDevice& capture;
    PlaybackDevice& playback;
    SoundPlayerFactory& sounds;
    CallNotifier* notifier = nullptr; // none: no desktop notices
    SleepInhibitor* inhibitor = nullptr; // none: the desktop may sleep during a call
    ReachabilityPort* reach = nullptr; // none: no port mapping, no reachability check
};

class Phone : public QObject, public CallShell {
    Q_OBJECT
public:
    Phone(PhoneOptions options, PhonePorts ports);
    ~Phone() override;

    // Start-up, activation, the close box and shut-down.
    void Form_Load();
    void Form_Activate();
    // True when a close by the user was refused.
    bool Form_QueryUnload(bool byUser);
    void ThisExit();

    // The main window's commands.
    void LoadDialList();
    void CLIBTN_Click();
    void Command3_Click();
    void Command1_Click();
    void mnu_SERVER_Click();
    void mnu_SET_Click();
    void mnu_Searh_Click();
    void mnu_Hyouji_Click();
    void mnu_Ver_Click();
    void mnu_Mute_Click() { inCall.mnu_Mute_Click(); }
    void mnu_Confirm_Click() { inCall.mnu_Confirm_Click(); }
    void mnu_Accept_Click() { inCall.mnu_Accept_Click(); }
    void mnu_History_Click() { main.showHistoryWindow(); }
    // Calls this address back through the dial box; false when the line is taken.
    bool CallBack(const QString& address);

    // Timers.
    void Timer1_Timer();
    void Timer2_Timer();
    void mnu_KILLTIMER_Click();

    // Tray.
    void HideToTray() override;
    void RestoreFromTray() override;
    void DeleteTrayIcon();
    void mnu_Tray_Click();
    void mnu_Disp_Click();
    void mnu_END_Click();
    // A mouse event on the tray icon; leftOnly when exactly the left button is down.
    void TrayMouseEvent(bool leftOnly, const QPoint& at);

    // The hook: socket and capture notifications reach the hub only while installed.
    void InstallHook();
    void RemoveHook();
    // Delivers a window message to the main window's current procedure.
    std::intptr_t SendWindowMessage(int message, std::intptr_t wParam, std::intptr_t lParam);

    // What the call logic asks of the shell.
    void DrawWaveform() override;
    void PlayRing(const QString& file) override;
    void PlayRingBack() override;
    void StopConnectTimer() override { Timer2.setInterval(0); }
    void SetTimer1(int ms) override { Timer1.setInterval(ms); }
    void SetTimer2(int ms) override { Timer2.setInterval(ms); }
    void CallChanged() override
    {
        rings.CallChanged();
        inCall.Follow();
    }
    void EventHandled() override;
    bool ProbeExpected() override;
    bool TakeOwnProbe(const QString& firstWords) override;
    Screened AdmitCaller(const QString& address) override;
    void CallerRefused(const QString& address) override;
    void DirectoryDialsBack(const QString& host, bool can) override;
    void Later(int ms, std::function<void()> task) override;

    // The sound that a loop is waiting on (for tests): empty when none.
    QString ringingFile() const { return rings.ringingFile(); }
    const QString& dataDir() const { return options_.dataDir; }
    // Also while the exit still waits for the calls' last voice.
    bool exited() const { return exited_ || exiting_; }

    AppState st;
    MainWindowPort& main;
    MessageBoxPort& boxes;
    TrayPort& tray;
    AsyncSelect async;
    SocketLayer net;
    VoiceIO voice;
    VoiceLink link;
    MediaControl media;
    RingLoops rings;
    SearchWindow search;
    CallContext context;
    PeerProtocol peer;
    ServerProtocol server;
    EventHub hub;
    secure::KnownKeys knownKeys;
    InCall inCall;
    history::CallHistory history;
    history::CallRecorder calls;
    history::HistoryWindow historyWindow;
    IntervalTimer Timer1;
    IntervalTimer Timer2;
    int ConnectWaitTicks = 0;
    int ReRegisterTicks = 0;
    QRect MainWindowRect;

signals:
    // Emitted after a notification was handled (tests wait on it).
    void eventHandled();

private:
    void EndIncomingNotice();
    // Reachability from outside, from listening to its end (phone_reach.cpp).
    void StartReach();
    void StopReach();
    void ShowReach(const ReachOutcome& outcome, bool first);
    void ShowFromNotice();
    // The phone book's name for an address (phone_history.cpp); none when it has no entry.
    std::optional<QString> PhoneBookName(const QString& address) const;
    // The one place the call's protection is read as it ends (phone_history.cpp).
    history::Protection EndingCallProtection(bool external) const;
    // The identity and the remembered keys, at start-up (phone_history.cpp).
    void LoadKeys();

    CallNotifier* notifier_;
    ReachabilityPort* reach_;
    CallerScreen screen_;
    bool reachRunning_ = false;
    QString reachDirectory_; // the directory the running check may ask
    bool reachAsksDirectory_ = false;
    std::optional<std::chrono::steady_clock::time_point> refusedNoticeAt_;
    bool incomingNotice_ = false;
    bool incomingAnswered_ = false;
    PhoneOptions options_;
    WindowProc windowProc_;
    std::optional<CallState> loggedState_; // for the debug log only
    bool exited_ = false;
    bool exiting_ = false;
};

} // namespace voxlet
