#pragma once
// The call's state, derived from the shared values (nothing else records
// it): what tests wait for and what the debug log prints.

#include "call/app_state.h"

#include <QLoggingCategory>
#include <QString>

namespace voxlet {

enum class CallPhase { Idle, Listening, Dialling, Calling, RingBack, Offered, Ringing, Talking };

struct CallState {
    CallPhase phase = CallPhase::Idle;
    bool external = false; // a call dialled from the search window
    bool operator==(const CallState&) const = default;
};

// `ringing` tells whether a ring or ring-back loop runs.
CallState CurrentCallState(const AppState& st, bool ringing);

// idle, listening, dialling, calling, ring-back, offered, ringing, talking,
// and "external ..." for a call dialled from the search window.
QString CallStateName(CallState state);
inline QString CallStateName(const AppState& st, bool ringing)
{
    return CallStateName(CurrentCallState(st, ringing));
}

// One debug line per change of state: QT_LOGGING_RULES="voxlet.call.debug=true".
Q_DECLARE_LOGGING_CATEGORY(lcCallState)

} // namespace voxlet
