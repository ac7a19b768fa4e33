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

} // namespace voxlet
