#include "shell/phone.h"

#include "audio/waveform.h"
#include "call/call_state.h"
#include "call/hang_up.h"
#include "call/protocol_messages.h"
#include "phonebook/phone_book_files.h"

#include <QCoreApplication>
#include <QTime>
#include <QTimer>

namespace voxlet {

Phone::Phone(PhoneOptions options, PhonePorts ports)
    : main(ports.main)
    , boxes(ports.boxes)
    , tray(ports.tray)
    , async([this](int s, int event, int error) {
        const SocketNotice notice { s, event, error };
        SendWindowMessage(WM_SOCKET_NOTIFY, notice.wParam(), notice.lParam());
    })
    , net(st, ports.main, ports.boxes, async, options.net)
    , voice(st, ports.boxes, ports.capture, ports.playback)
    , link(net, voice, options.hd)
    , media(ports.sounds, options.dataDir)
    , rings(st, media, options.ringPollMs)
    , search(context, peer, server)
    , context { st, ports.main, ports.boxes, net, voice, link, *this, search, options.dataDir, &calls }
    , peer(context)
    , server(context)
    , hub(context, peer, server)
    , inCall(st, ports.main, ports.inhibitor, link, knownKeys)
    , history(options.stateDir)
    , calls(history)
    , historyWindow(history, ports.boxes)
    , Timer1([this] { Timer1_Timer(); })
    , Timer2([this] { Timer2_Timer(); })
    , notifier_(ports.notifier)
    , reach_(ports.reach)
    , screen_(options.screen)
    , options_(std::move(options))
    // The window's own procedure: it has nothing to do with our notifications.
    , windowProc_([](int, std::intptr_t, std::intptr_t) -> std::intptr_t { return 0; })
{
    if (notifier_) {
        // "応答" on the notice is the answer button, as long as it may be pressed.
        notifier_->onAnswer = [this] {
            if (main.isEnabled(Control::Command3) && !exited())
                Command3_Click();
        };
        notifier_->onShow = [this] { ShowFromNotice(); };
        notifier_->onCallBack = [this](const QString& address) {
            ShowFromNotice();
            CallBack(address);
        };
    }
    if (reach_)
        reach_->onOutcome = [this](const ReachOutcome& outcome, bool first) { ShowReach(outcome, first); };
    calls.protection = [this](bool external) { return EndingCallProtection(external); };
    historyWindow.onCall = [this](const QString& address) { return CallBack(address); };
}

Phone::~Phone()
{
    if (notifier_) {
        notifier_->onAnswer = nullptr;
        notifier_->onShow = nullptr;
        notifier_->onCallBack = nullptr;
    }
    if (reach_)
        reach_->onOutcome = nullptr;
    // Close what is still open without telling a window that may be gone.
    for (int* s : { &st.CallSocket, &st.ExternalSocket, &st.ServerSocket })
        if (*s > 0)
            net.ShutdownAndClose(*s);
    if (st.ListenSocket > 0)
        net.CloseSocket(st.ListenSocket);
}

std::intptr_t Phone::SendWindowMessage(int message, std::intptr_t wParam, std::intptr_t lParam)
{
    return windowProc_ ? windowProc_(message, wParam, lParam) : 0;
}

void Phone::InstallHook()
{
    st.PrevWindowProc = windowProc_;
    windowProc_ = [this](int m, std::intptr_t w, std::intptr_t l) { return hub.WindowProc(m, w, l); };
}

void Phone::RemoveHook()
{
    windowProc_ = st.PrevWindowProc;
}

// ---- start-up and shut-down ----

void Phone::Form_Load()
{
    rings.SetShuttingDown(false);
    main.setupSurface();
    net.StartNetwork();
    // The program may be told to end while a box is shown or events are
    // processed: what is left of start-up would outlive the exit.
    if (exited_)
        return;
    if (st.MainWindowHandle == 0) {
        st.MainWindowHandle = reinterpret_cast<std::uintptr_t>(this);
        InstallHook();
    }
    QCoreApplication::processEvents();
    if (exited_)
        return;
    st.ShowWaveform = true;
    main.setChecked(Control::mnu_Hyouji, true);
    main.setEnabled(Control::Command3, false);
    main.setEnabled(Control::mnu_Tray, false);
    main.setEnabled(Control::mnu_KILLTIMER, false);
    LoadKeys();
    inCall.Reset();
    voice.OpenWaveDevices([this](const char* data, int bytes) {
        CaptureHeader piece { const_cast<char*>(inCall.Outgoing(data, bytes)), bytes, bytes };
        SendWindowMessage(MM_WIM_DATA, 0, reinterpret_cast<std::intptr_t>(&piece));
    });
}

void Phone::Form_Activate()
{
    MainWindowRect = main.windowRect();
    LoadDialList();
}

bool Phone::Form_QueryUnload(bool byUser)
{
    if (!byUser)
        return false;
    boxes.show(QStringLiteral("終了ボタンから終了してください。"), MessageIcon::Exclamation, kAppTitle);
    return true;
}

void Phone::ThisExit()
{
    // Asked again while the calls hand over their last voice (events run then).
    if (exiting_)
        return;
    exiting_ = true;
    rings.SetShuttingDown(true);
    st.RingStop = true;
    if (st.ListenSocket != 0)
        net.CloseSocket(st.ListenSocket);
    StopReach();
    // The window goes next: the values stay as they are, the ring loops
    // end with the shut-down, and the devices stop once both calls are closed.
    const HangUpWay atExit { .stopVoice = false, .endCall = false, .tellShell = false };
    HangUp(context, st.CallSocket, atExit);
    HangUp(context, st.ExternalSocket, atExit);
    voice.StopVoice();
    inCall.Follow();
    if (st.MainWindowHandle != 0) {
        RemoveHook();
        st.MainWindowHandle = 0;
    }
    net.Cleanup();
    exiting_ = false;
}

// ---- the main window's commands ----

void Phone::LoadDialList()
{
    main.clearCombo();
    const files::LinesResult r = files::LoadDialList(options_.dataDir);
    for (int i = 0; i < r.lines.size(); ++i) {
        main.addComboItem(r.lines.at(i));
        if (i == 0)
            main.setComboText(r.lines.at(i));
    }
    if (r.failure)
        boxes.show(r.failure->description, MessageIcon::None, kAppTitle);
}

void Phone::CLIBTN_Click()
{
    main.setEnabled(Control::CLIBTN, false);
    main.setEnabled(Control::mnu_Searh, false);
    const QString t = main.comboText();
    const qsizetype space = t.lastIndexOf(QLatin1Char(' '));
    const QString address = space < 0 ? t : t.mid(space + 1);
    main.setText1(QString());
    st.CallerName = peer.ReadOwnName(files::kProfileFile);
    if (st.CallerName != files::kOwnNameUnreadable) {
        link.Dialling(address);
        net.ConnectToPeer(st.CallSocket, address);
        calls.Dialled(false, PhoneBookName(address).value_or(QString()), address);
        st.OutgoingCall = true;
        st.RingStop = false;
    } else {
        boxes.show(files::kProfileFile + QStringLiteral(" がありません。"), MessageIcon::None, kAppTitle);
    }
    Timer2.setInterval(1000);
}

void Phone::Command3_Click()
{
    if (incomingNotice_) {
        incomingAnswered_ = true;
        notifier_->WithdrawIncoming();
    }
    // Whatever the caller said so far was text, handled or not: its voice
    // comes only once it has this answer.
    net.DropUnhandledText(st.CallSocket);
    st.SendText = link.AnswerText();
    net.SendTextMessage(st.CallSocket);
    st.VoiceMode = true;
    calls.Answered(false);
    st.InTray = false;
    main.setEnabled(Control::Command3, false);
    main.setEnabled(Control::mnu_Searh, false);
    main.setEnabled(Control::CLIBTN, false);
    StartTalk(context, st.CallSocket);
    inCall.Follow();
}

void Phone::Command1_Click()
{
    ThisExit();
    exited_ = true;
    main.unload();
}

void Phone::mnu_SERVER_Click()
{
    main.setEnabled(Control::mnu_SERVER, false);
    main.setEnabled(Control::mnu_Tray, true);
    if (net.StartListening()) {
        main.setEnabled(Control::CLIBTN, false);
        main.setEnabled(Control::mnu_Tray, false);
        boxes.show(QStringLiteral("エラ-です。終了してください。"), MessageIcon::None, kAppTitle);
        return;
    }
    StartReach();
}

void Phone::mnu_SET_Click()
{
    main.showSettingsWindow();
}

void Phone::mnu_Searh_Click()
{
    main.showSearchWindow();
}

void Phone::mnu_Hyouji_Click()
{
    const bool on = !main.isChecked(Control::mnu_Hyouji);
    st.ShowWaveform = on;
    main.setChecked(Control::mnu_Hyouji, on);
}

void Phone::mnu_Ver_Click()
{
    boxes.show(QStringLiteral("Voxlet Ver 1.20"), MessageIcon::None, kAppTitle);
}

// ---- timers ----

void Phone::Timer2_Timer()
{
    if (exiting_)
        return;
    ++ConnectWaitTicks;
    if (ConnectWaitTicks != 2)
        return;
    if (!st.Connected) {
        // A dial that never connected: nothing to hand over, no call values set.
        const HangUpWay unanswered {
            .handOver = false, .stopVoice = false, .endCall = false, .tellShell = false
        };
        if (st.CallSocket != 0) {
            HangUp(context, st.CallSocket, unanswered);
            main.setText1(QStringLiteral("相手をネット上で見つけられませんでした。"));
        }
        if (st.ExternalSocket != 0) {
            HangUp(context, st.ExternalSocket, unanswered);
            main.setText1(QStringLiteral("外部接続相手が見つかりませんでした。"));
        }
        main.setEnabled(Control::CLIBTN, true);
        main.setEnabled(Control::mnu_Searh, true);
        // The dial is over: a later incoming request must not be taken for a greeting.
        st.OutgoingCall = false;
    }
    ConnectWaitTicks = 0;
    Timer2.setInterval(0);
}

void Phone::Timer1_Timer()
{
    if (exiting_)
        return;
    ++ReRegisterTicks;
    if (ReRegisterTicks < 5)
        return;
    ReRegisterTicks = 0;
    server.ConnectAndRegister();
}

void Phone::mnu_KILLTIMER_Click()
{
    Timer1.setInterval(0);
    main.setEnabled(Control::mnu_KILLTIMER, false);
}

// ---- tray ----

void Phone::HideToTray()
{
    tray.addIcon(QStringLiteral("Sonavi1.00-") + QLatin1Char('0'));
    st.TrayIconShown = true;
    main.setWindowVisible(false);
}

void Phone::RestoreFromTray()
{
    st.TrayIconShown = false;
    tray.deleteIcon();
    main.setWindowVisible(true);
}

void Phone::DeleteTrayIcon()
{
    if (st.TrayIconShown)
        tray.deleteIcon();
}

void Phone::mnu_Tray_Click()
{
    st.InTray = true;
    HideToTray();
}

void Phone::mnu_Disp_Click()
{
    RestoreFromTray();
    st.InTray = false;
}

void Phone::mnu_END_Click()
{
    DeleteTrayIcon();
    ThisExit();
    exited_ = true;
    main.unload();
}

void Phone::TrayMouseEvent(bool leftOnly, const QPoint& at)
{
    if (!st.TrayIconShown)
        return;
    if (leftOnly)
        main.popupTrayMenu(at);
}

void Phone::EventHandled()
{
    inCall.Follow();
    // The listener closed after a failed accept: callers can no longer come.
    if (reachRunning_ && st.ListenSocket == 0)
        StopReach();
    if (lcCallState().isDebugEnabled()) {
        const CallState now = CurrentCallState(st, !rings.ringingFile().isEmpty());
        if (now != loggedState_)
            qCDebug(lcCallState) << "call state" << (loggedState_ ? CallStateName(*loggedState_) : QString())
                                 << "->" << CallStateName(now);
        loggedState_ = now;
    }
    emit eventHandled();
}

// ---- rings and the incoming-call notice ----

void Phone::PlayRing(const QString& file)
{
    // The notice follows the ringing of an incoming call, whatever its request said last.
    if (notifier_) {
        notifier_->ShowIncoming(main.text1());
        incomingNotice_ = true;
        incomingAnswered_ = false;
    }
    rings.PlayRing(file);
    EndIncomingNotice();
}

void Phone::PlayRingBack()
{
    rings.PlayRingBack();
    EndIncomingNotice();
}

void Phone::EndIncomingNotice()
{
    // A request while a loop runs returns at once: the notice goes with the loop.
    if (!incomingNotice_ || rings.running())
        return;
    incomingNotice_ = false;
    notifier_->WithdrawIncoming();
    if (!incomingAnswered_ && !st.VoiceMode && !rings.shuttingDown())
        notifier_->ShowMissed(st.CallerName, st.PeerAddress, QTime::currentTime());
    incomingAnswered_ = false;
}

void Phone::ShowFromNotice()
{
    if (st.TrayIconShown)
        RestoreFromTray();
    else
        main.setWindowVisible(true);
}

void Phone::Later(int ms, std::function<void()> task)
{
    QTimer::singleShot(ms, this, [this, task = std::move(task)] {
        if (!exited_)
            task();
    });
}

// ---- waveform ----

void Phone::DrawWaveform()
{
    // An HD call's block is what its decoder gave back, an old-style one's as received.
    voxlet::DrawWaveform(
        main, boxes, MainWindowRect, link.voice().hd() ? voice.waveformBlock() : st.VoiceRecvBuffer.data());
}

} // namespace voxlet
