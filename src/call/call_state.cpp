#include "call/call_state.h"

namespace voxlet {

Q_LOGGING_CATEGORY(lcCallState, "voxlet.call", QtWarningMsg)

QString CallStateName(const AppState& st, bool ringing)
{
    if (st.CallSocket == 0 && st.ExternalSocket == 0)
        return st.Listening ? QStringLiteral("listening") : QStringLiteral("idle");
    const QString prefix = st.CallSocket == 0 ? QStringLiteral("external ") : QString();
    if (st.VoiceMode)
        return prefix + QStringLiteral("talking");
    if (st.CallSocket != 0 && st.CallerAccepted)
        return ringing ? QStringLiteral("ringing") : QStringLiteral("offered");
    if (!st.Connected)
        return prefix + QStringLiteral("dialling");
    return prefix + (ringing ? QStringLiteral("ring-back") : QStringLiteral("calling"));
}

} // namespace voxlet
