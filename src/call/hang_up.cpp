#include "call/hang_up.h"

#include "audio/voice_io.h"
#include "net/socket_layer.h"

namespace voxlet {

void HangUp(CallContext& ctx, int& socketVar, HangUpWay way)
{
    AppState& st = ctx.st;
    if (ctx.log)
        ctx.log->Ended(&socketVar == &st.ExternalSocket);
    if (socketVar != 0) {
        if (way.handOver)
            ctx.net.ShutdownAndClose(socketVar);
        else
            ctx.net.CloseSocket(socketVar);
    }
    if (way.stopVoice)
        ctx.voice.StopVoice();
    if (way.endCall) {
        st.VoiceRecvCount = 0;
        st.VoiceBlockReady = false;
    }
    if (way.relabelSearchClose)
        ctx.search.SetCloseCaption(kCloseCaption);
    if (way.endCall) {
        st.VoiceMode = false;
        st.Connected = false;
        st.RingStop = true;
    }
    if (way.tellShell)
        ctx.shell.CallChanged();
}

void EndCall(CallContext& ctx, int& socketVar, const QString& why)
{
    AppState& st = ctx.st;
    HangUp(ctx, socketVar, { .relabelSearchClose = true });
    if (st.OutgoingCall) {
        ctx.main.setText1(QStringLiteral("話し中等で接続できません。"));
    } else {
        ctx.main.setEnabled(Control::Command3, false);
        ctx.main.setText1(QStringLiteral("次の接続を待機します。"));
        if (st.InTray)
            ctx.shell.HideToTray();
    }
    if (!why.isEmpty())
        ctx.main.setText1(why);
    // The dial is over: a later incoming request must not be taken for a greeting.
    st.OutgoingCall = false;
    ctx.shell.StopConnectTimer();
    ctx.main.setEnabled(Control::mnu_Searh, true);
    ctx.main.setEnabled(Control::CLIBTN, true);
}

} // namespace voxlet
