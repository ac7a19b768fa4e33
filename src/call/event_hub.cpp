#include "call/event_hub.h"

#include "net/address.h"
#include "net/winsock_errors.h"
#include "shell/phone.h"

#include <cstring>
#include <unistd.h>

namespace voxlet {

namespace {
// More than the longest list the phone can show (100 users of long fields).
constexpr qsizetype kServerReplyChars = 128 * 1024;
}  // namespace

std::intptr_t EventHub::WindowProc(int message, std::intptr_t wParam, std::intptr_t lParam)
{
    AppState& st = phone_.st;
    const std::intptr_t result = st.PrevWindowProc ? st.PrevWindowProc(message, wParam, lParam) : 0;
    if (message == MM_WIM_DATA)
        OnCaptureBufferFull(reinterpret_cast<CaptureHeader*>(lParam));
    else if (message == WM_SOCKET_NOTIFY)
        OnSocketEvent(int(wParam), int(lParam & 0xFFFF), int((lParam >> 16) & 0xFFFF));
    emit phone_.eventHandled();
    return result;
}

void EventHub::OnCaptureBufferFull(CaptureHeader* header)
{
    AppState& st = phone_.st;
    // Not handed back once the call is over: capture then stops by itself.
    if (!st.VoiceMode || !st.Connected || !header || !header->Data)
        return;
    std::memcpy(block_.data(), header->Data, block_.size());
    phone_.net.SendVoiceBlock(st.CallSocket != 0 ? st.CallSocket : st.ExternalSocket, block_.data());
    phone_.voice.AddBuffer(header);
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
        const AppState& st = phone_.st;
        if (event == FD_CONNECT && socket > 0 && socket != st.CallSocket && socket != st.ExternalSocket
            && socket != st.ServerSocket && phone_.async.Knows(socket)) {
            int orphan = socket;
            phone_.net.CloseSocket(orphan);
        }
        return;
    }
    switch (event) {
    case FD_READ: OnRead(socket); break;
    case FD_ACCEPT: OnAccept(); break;
    case FD_CONNECT: OnConnect(socket); break;
    default: break;
    }
}

void EventHub::OnRead(int s)
{
    AppState& st = phone_.st;
    if (s == st.ServerSocket) {
        // One exchange is one reply, then the server closes: it is whole once
        // it ends with "END" or the server has closed.
        phone_.net.ReceiveTextMessage(st.ServerSocket);
        serverReply_ += st.RecvText;
        if (serverReply_.endsWith(QLatin1String("END")) || serverReply_.size() >= kServerReplyChars)
            HandServerReply();
        return;
    }
    const bool external = s == st.ExternalSocket;
    int& callSocket = external ? st.ExternalSocket : st.CallSocket;
    if (st.VoiceMode) {
        phone_.net.ReceiveVoiceData(callSocket);
        if (st.VoiceBlockReady) {
            st.VoiceBlockReady = false;
            phone_.voice.PlayReceivedBlock();
            if (st.ShowWaveform)
                phone_.DrawWaveform();
        }
        return;
    }
    phone_.net.ReceiveTextMessage(callSocket);
    if (external)
        phone_.peer.ExternalMessageHandler();
    else
        phone_.peer.TextMessageHandler();
}

void EventHub::HandServerReply()
{
    AppState& st = phone_.st;
    st.RecvText = serverReply_;
    serverReply_.clear();
    phone_.server.ServerMessageHandler(st.RecvText);
}

void EventHub::OnAccept()
{
    AppState& st = phone_.st;
    int error = 0;
    if (st.CallerAccepted || (st.CallerAccepted = true, st.VoiceMode)) {
        // The line is taken: take the caller off the queue and drop it.
        int refused = phone_.net.Accept(st.ListenSocket, st.AcceptedAddr, error);
        if (refused > 0)
            phone_.net.CloseSocket(refused);
        return;
    }
    const int accepted = phone_.net.Accept(st.ListenSocket, st.AcceptedAddr, error);
    if (accepted <= 0 && IsTransientAcceptError(error)) {
        // The caller gave up before we took it: nothing is wrong with the listener.
        st.CallerAccepted = false;
        return;
    }
    if (error != 0) {
        phone_.boxes.show(WinsockErrorText(error), MessageIcon::None, kAppTitle);
        // Closed for the rest of the run; the variable must not keep a stale descriptor.
        phone_.net.CloseSocket(st.ListenSocket);
        return;
    }
    if (st.CallSocket != 0) {
        // The caller overtakes our own dial: hang the dial up, or the far copy
        // rings back for ever and the socket outlives the call.
        phone_.net.ShutdownAndClose(st.CallSocket);
        st.OutgoingCall = false;
    }
    st.CallSocket = accepted;
    phone_.CallChanged();
    st.PeerAddress = FormatAddress(std::int32_t(st.AcceptedAddr.sin_addr.s_addr));
    phone_.main.setText1(st.PeerAddress + QStringLiteral("が接続してきました。"));
    phone_.net.Select(st.CallSocket, FD_READ | FD_CLOSE);
    st.Connected = true;
    st.RingStop = false;
    st.SendText = QStringLiteral("VOICEMSG:OK");
    phone_.net.SendTextMessage(st.CallSocket);
}

void EventHub::OnConnect(int s)
{
    AppState& st = phone_.st;
    if (s == st.ServerSocket) {
        serverReply_.clear();
        phone_.net.Select(s, FD_READ | FD_CLOSE);
        st.SendText = QStringLiteral("SERVEROK|END");
        phone_.net.SendTextMessage(st.ServerSocket);
        return;
    }
    if (s == st.ExternalSocket) {
        st.SendText = QStringLiteral("ANYBODYMSG:OK|") + st.CallerName + QStringLiteral("|END");
        phone_.net.SendTextMessage(st.ExternalSocket);
        phone_.net.Select(st.ExternalSocket, FD_READ | FD_CLOSE);
        phone_.main.setText1(QStringLiteral("ただいま外部呼び出ししています。"));
        st.Connected = true;
        phone_.Timer2.setInterval(0);
        return;
    }
    st.SendText = QStringLiteral("VOICEMSG:OK|") + st.CallerName + QStringLiteral("|END");
    phone_.net.SendTextMessage(st.CallSocket);
    phone_.net.Select(st.CallSocket, FD_READ | FD_CLOSE);
    phone_.main.setText1(QStringLiteral("ただいま呼び出し中です。"));
    st.Connected = true;
    phone_.Timer2.setInterval(0);
}

void EventHub::OnClose(int s)
{
    AppState& st = phone_.st;
    if (s == st.ServerSocket) {
        if (!serverReply_.isEmpty())
            HandServerReply();
        if (st.ServerSocket != 0 && st.ServerSocket == s)
            phone_.net.ShutdownAndClose(st.ServerSocket);
        return;
    }
    if (s == st.CallSocket || s == st.ExternalSocket) {
        phone_.net.ShutdownAndClose(s == st.CallSocket ? st.CallSocket : st.ExternalSocket);
        phone_.CallChanged();
        // The next call starts on a block boundary, whatever this one left.
        st.VoiceRecvCount = 0;
        st.VoiceBlockReady = false;
        phone_.search.SetCloseCaption(QStringLiteral("閉じる"));
        st.VoiceMode = false;
        st.Connected = false;
        st.RingStop = true;
        if (st.OutgoingCall) {
            phone_.main.setText1(QStringLiteral("話し中等で接続できません。"));
        } else {
            phone_.main.setEnabled(Control::Command3, false);
            phone_.main.setText1(QStringLiteral("次の接続を待機します。"));
            if (st.InTray)
                phone_.HideToTray();
        }
        // The dial is over: a later incoming request must not be taken for a greeting.
        st.OutgoingCall = false;
        phone_.Timer2.setInterval(0);
        phone_.main.setEnabled(Control::mnu_Searh, true);
        phone_.main.setEnabled(Control::CLIBTN, true);
    } else if (s > 0 && phone_.async.Knows(s)) {
        // A connection no variable holds any more (a dial overtaken by a caller).
        int orphan = s;
        phone_.net.ShutdownAndClose(orphan);
    }
    st.CallerAccepted = false;
}

}  // namespace voxlet
