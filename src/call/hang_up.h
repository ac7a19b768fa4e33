#pragma once
// The one way a call socket is closed. The ways differ in what the call
// still owes: the variants are named in HangUpWay.

#include "call/call_context.h"

namespace voxlet {

struct HangUpWay {
    // Shut down and drained: the far end gets whole blocks and our FIN. A
    // dial that never connected has nothing to hand over and is only closed.
    bool handOver = true;
    // The sound devices rest at once. The search window's hang-up leaves it
    // to the next captured piece, which stops them.
    bool stopVoice = true;
    // VoiceMode and Connected off, RingStop on, and the next call's voice
    // starts on a block boundary. Exit and the connect time-out keep the
    // values (exit writes only RingStop, the dial never set them).
    bool endCall = true;
    // The peer's close re-labels the search window's close command, shown or not.
    bool relabelSearchClose = false;
    // Ring loops and the in-call controls learn it now; exit stops them its own way.
    bool tellShell = true;
};

// socketVar is CallSocket or ExternalSocket; 0 closes nothing, the rest still runs.
void HangUp(CallContext& ctx, int& socketVar, HangUpWay way);

// The call on socketVar is over (the far end closed it, or what it sent
// makes no sense): hung up, the window back as between calls, and the
// status line says why (empty: as for a close, by who dialled).
void EndCall(CallContext& ctx, int& socketVar, const QString& why = {});

} // namespace voxlet
