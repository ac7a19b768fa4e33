#include "call/call_state.h"

namespace voxlet {

Q_LOGGING_CATEGORY(lcCallState, "voxlet.call", QtWarningMsg)

CallState CurrentCallState(const AppState& st, bool ringing)
{
    if (st.CallSocket == 0 && st.ExternalSocket == 0)
        return { st.Listening ? CallPhase::Listening : CallPhase::Idle, false };
    const bool external = st.CallSocket == 0;
    if (st.VoiceMode)
        return { CallPhase::Talking, external };
    if (!external && st.CallerAccepted)
        return { ringing ? CallPhase::Ringing : CallPhase::Offered, false };
    if (!st.Connected)
        return { CallPhase::Dialling, external };
    return { ringing ? CallPhase::RingBack : CallPhase::Calling, external };
}

QString CallStateName(CallState state)
{
    // In CallPhase's order.
    static const char* const names[]
        = { "idle", "listening", "dialling", "calling", "ring-back", "offered", "ringing", "talking" };
    const QString name = QLatin1String(names[int(state.phase)]);
    return state.external ? QStringLiteral("external ") + name : name;
}

} // namespace voxlet
