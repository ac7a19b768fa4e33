#include "call/event_hub.h"

#include "audio/voice_io.h"
#include "call/hang_up.h"
#include "call/peer_protocol.h"
#include "call/protocol_messages.h"
#include "call/server_protocol.h"
#include "call/voice_link.h"
#include "net/address.h"
#include "net/socket_layer.h"
#include "net/winsock_errors.h"

#include <algorithm>
#include <optional>
#include <utility>

#include <unistd.h>

namespace voxlet {

std::intptr_t EventHub::WindowProc(int message, std::intptr_t wParam, std::intptr_t lParam)
{
    AppState& st = ctx_.st;
    const std::intptr_t result = st.PrevWindowProc ? st.PrevWindowProc(message, wParam, lParam) : 0;
    if (message == MM_WIM_DATA)
        OnCaptureBufferFull(reinterpret_cast<CaptureHeader*>(lParam));
    else if (message == WM_SOCKET_NOTIFY) {
        const SocketNotice notice = SocketNotice::FromMessage(wParam, lParam);
        OnSocketEvent(notice.socket, notice.event, notice.error);
    }
    ctx_.shell.EventHandled();
    return result;
}

void EventHub::OnCaptureBufferFull(CaptureHeader* piece)
{
    AppState& st = ctx_.st;
    if (!st.VoiceMode || !st.Connected) {
        // The call is over, whoever ended it: the devices rest until the next one.
        ctx_.voice.StopVoice();
        return;
    }
    if (!piece || !piece->Data || piece->BytesRecorded <= 0)
        return;
    ctx_.link.SendPiece(
        st.CallSocket != 0 ? st.CallSocket : st.ExternalSocket, piece->Data, piece->BytesRecorded);
}

void EventHub::OnSocketEvent(int socket, int event, int error)
{
    // A reset connection must end the call like a close, or it stays stuck.
    if (event == FD_CLOSE) {
        OnClose(socket);
        return;
    }
    if (error != 0) {
        // A failed connect is reported by the connect time-out; one that no
        // variable holds any more (overtaken by a caller) is only released.
        const AppState& st = ctx_.st;
        if (event == FD_CONNECT && socket > 0 && socket != st.CallSocket && socket != st.ExternalSocket
            && socket != st.ServerSocket && ctx_.net.Knows(socket)) {
            int orphan = socket;
            ctx_.net.CloseSocket(orphan);
        }
        return;
    }
    switch (event) {
    case FD_READ:
        OnRead(socket);
        break;
    case FD_ACCEPT:
        OnAccept();
        break;
    case FD_CONNECT:
        OnConnect(socket);
        break;
    default:
        break;
    }
}

void EventHub::OnRead(int s)
{
    AppState& st = ctx_.st;
    if (s == st.ServerSocket) {
        ctx_.net.ReceiveTextMessage(st.ServerSocket);
        server_.ReplyReceived(st.RecvText);
        return;
    }
    if (s == held_ && s != 0) {
        OnHeldRead();
        return;
    }
    const bool external = s == st.ExternalSocket;
    int& callSocket = external ? st.ExternalSocket : st.CallSocket;
    if (st.VoiceMode) {
        // Played as it comes; the waveform still shows each whole block.
        const char* received = nullptr;
        const int got = ctx_.net.ReceiveVoiceData(callSocket, &received);
        if (const std::optional<QString> why = ctx_.link.Received(callSocket, received, got)) {
            EndCall(ctx_, callSocket, *why);
            if (held_ == 0) // a held connection still has the line
                st.CallerAccepted = false;
            return;
        }
        // An HD call draws what its decoder gave back, in blocks as long.
        const bool whole = std::exchange(st.VoiceBlockReady, false);
        if ((ctx_.link.voice().hd() ? ctx_.voice.TakeWaveformBlock() : whole) && st.ShowWaveform)
            ctx_.shell.DrawWaveform();
        return;
    }
    ctx_.net.ReceiveTextMessage(callSocket);
    OnTextRead(callSocket, external);
}

void EventHub::OnTextRead(int& callSocket, bool external)
{
    AppState& st = ctx_.st;
    // An answer cut short by the network: what came of it leads.
    const QString held = ctx_.link.TakeHeldAnswer(callSocket);
    st.RecvText.prepend(held);
    // Messages that came in one read are handled one at a time, in order:
    // the rest is read again at once, from inside a ring loop this one
    // may start, and after the answer it is voice.
    const qsizetype first = protocol::FirstMessageLength(st.RecvText);
    if (first < st.RecvText.size()) {
        ctx_.net.KeepUnread(callSocket, std::max<qsizetype>(0, first - held.size()));
        st.RecvText.truncate(first);
    }
    const int socket = callSocket;
    if (external)
        peer_.ExternalMessageHandler();
    else
        peer_.TextMessageHandler();
    if (st.VoiceMode && callSocket == socket)
        ctx_.net.VoiceFollowsText(callSocket);
}

void EventHub::OnAccept()
{
    AppState& st = ctx_.st;
    int error = 0;
    if (st.CallerAccepted || (st.CallerAccepted = true, st.VoiceMode)) {
        // The line is taken: take the caller off the queue and drop it. A
        // dial-back that finds the line busy has reached us all the same.
        int refused = ctx_.net.Accept(st.ListenSocket, st.AcceptedAddr, error);
        if (refused > 0) {
            // While the directory may be dialling back, a connection that
            // says nothing yet may be it: none is recorded as a caller then.
            if (ctx_.shell.ProbeExpected())
                ctx_.shell.TakeOwnProbe(ctx_.net.WaitingText(refused));
            else if (ctx_.log)
                ctx_.log->TurnedAway(ctx_.net.PeerAddressText(st.AcceptedAddr), true);
            ctx_.net.CloseSocket(refused);
        }
        return;
    }
    const int accepted = ctx_.net.Accept(st.ListenSocket, st.AcceptedAddr, error);
    if (accepted <= 0 && IsTransientAcceptError(error)) {
        // The caller gave up before we took it: nothing is wrong with the listener.
        st.CallerAccepted = false;
        return;
    }
    if (accepted > 0 && ctx_.shell.ProbeExpected()) {
        Hold(accepted);
        return;
    }
    if (accepted > 0 && !TakeCaller(accepted))
        return;
    if (error != 0) {
        ctx_.boxes.show(WinsockErrorText(error), MessageIcon::None, kAppTitle);
        // Closed for the rest of the run; the variable must not keep a stale descriptor.
        ctx_.net.CloseSocket(st.ListenSocket);
    }
}

bool EventHub::TakeCaller(int accepted)
{
    AppState& st = ctx_.st;
    const QString from = ctx_.net.PeerAddressText(st.AcceptedAddr);
    const Screened screened = ctx_.shell.AdmitCaller(from);
    if (screened != Screened::Rings) {
        // Not taken now: closed at once, as a busy phone closes, and nothing shown.
        int dropped = accepted;
        ctx_.net.CloseSocket(dropped);
        st.CallerAccepted = false;
        if (screened == Screened::TooOften) {
            ctx_.shell.CallerRefused(from);
            if (ctx_.log)
                ctx_.log->TurnedAway(from, false);
        }
        return false;
    }
    if (st.CallSocket != 0) {
        // The caller overtakes our own dial: hang the dial up, or the far copy
        // rings back for ever and the socket outlives the call. The new call
        // takes the values over at once, and the shell hears of it then.
        HangUp(ctx_, st.CallSocket, { .stopVoice = false, .endCall = false, .tellShell = false });
        st.OutgoingCall = false;
    }
    st.CallSocket = accepted;
    ctx_.shell.CallChanged();
    st.PeerAddress = from;
    ctx_.main.setText1(st.PeerAddress + QStringLiteral("が接続してきました。"));
    ctx_.net.Select(st.CallSocket, FD_READ | FD_CLOSE);
    st.Connected = true;
    st.RingStop = false;
    st.SendText = protocol::Greeting();
    ctx_.link.NewCall();
    ctx_.link.SentGreeting(st.SendText);
    ctx_.net.SendTextMessage(st.CallSocket);
    return true;
}

void EventHub::Hold(int accepted)
{
    // The line counts as taken meanwhile (CallerAccepted stays set): a
    // second caller is closed as a busy phone closes it.
    held_ = accepted;
    heldWords_.clear();
    const std::uint64_t which = ++heldCount_;
    ctx_.net.Select(held_, FD_READ | FD_CLOSE);
    ctx_.shell.Later(kFirstWordsMs, [this, which] { ReleaseHeld(which); });
}

void EventHub::OnHeldRead()
{
    AppState& st = ctx_.st;
    int socket = held_;
    ctx_.net.ReceiveTextMessage(socket);
    if (socket == 0) { // the read failed and closed it
        held_ = 0;
        st.CallerAccepted = false;
        return;
    }
    heldWords_ += st.RecvText;
    if (ctx_.shell.TakeOwnProbe(heldWords_)) {
        held_ = 0;
        ctx_.net.CloseSocket(socket);
        st.CallerAccepted = false;
        return;
    }
    if (protocol::CouldStartDialBack(heldWords_))
        return; // the rest of its words are on their way
    // A caller: what it said in this read is its first message (a caller
    // has nothing to say that looks like the dial-back).
    held_ = 0;
    if (TakeCaller(socket))
        OnTextRead(st.CallSocket, false);
}

void EventHub::ReleaseHeld(std::uint64_t which)
{
    if (held_ == 0 || which != heldCount_)
        return;
    // Quiet for so long: a caller that waits for our greeting after all.
    const int socket = std::exchange(held_, 0);
    TakeCaller(socket);
    ctx_.shell.EventHandled();
}

void EventHub::OnConnect(int s)
{
    AppState& st = ctx_.st;
    if (s == st.ServerSocket) {
        server_.Connected();
        return;
    }
    const bool external = s == st.ExternalSocket;
    int& callSocket = external ? st.ExternalSocket : st.CallSocket;
    // The request goes out before the socket is selected for reading.
    ctx_.link.NewCall();
    const QString offer = ctx_.link.Offer();
    st.SendText = external ? protocol::SearchCallRequest(st.CallerName, offer)
                           : protocol::DirectCallRequest(st.CallerName, offer);
    ctx_.link.Dialled(st.SendText);
    ctx_.net.SendTextMessage(callSocket);
    ctx_.net.Select(callSocket, FD_READ | FD_CLOSE);
    ctx_.main.setText1(external ? QStringLiteral("ただいま外部呼び出ししています。")
                                : QStringLiteral("ただいま呼び出し中です。"));
    st.Connected = true;
    ctx_.shell.StopConnectTimer();
}

void EventHub::OnClose(int s)
{
    AppState& st = ctx_.st;
    if (s == st.ServerSocket) {
        server_.Closed();
        return;
    }
    if (s == st.CallSocket || s == st.ExternalSocket) {
        // The far end hung up or the connection died: all of the call ends here.
        EndCall(ctx_, s == st.CallSocket ? st.CallSocket : st.ExternalSocket);
    } else if (s == held_ && s != 0) {
        // Gone before it said anything: nobody to ring for.
        ctx_.net.CloseSocket(held_);
    } else if (s > 0 && ctx_.net.Knows(s)) {
        // A connection no variable holds any more (a dial overtaken by a caller).
        int orphan = s;
        ctx_.net.ShutdownAndClose(orphan);
    }
    if (held_ == 0) // a held connection still has the line
        st.CallerAccepted = false;
}

} // namespace voxlet
