#pragma once
// The call's state by name, derived from the shared values (nothing else
// records it): what tests wait for and what the debug log prints.

#include "call/app_state.h"

#include <QLoggingCategory>
#include <QString>

namespace voxlet {

// idle, listening, dialling, calling, ring-back, offered, ringing, talking,
// and "external ..." for a call dialled from the search window. `ringing`
// tells whether a ring or ring-back loop runs.
QString CallStateName(const AppState& st, bool ringing);

// One debug line per change of state: QT_LOGGING_RULES="voxlet.call.debug=true".
Q_DECLARE_LOGGING_CATEGORY(lcCallState)

} // namespace voxlet
