#pragma once
// Socket options for a call socket once it carries voice.

namespace voxlet {

// Sends each small voice piece at once (no Nagle delay) and keeps the
// kernel's unsent queue short, so a stalled network holds a little old
// speech rather than seconds of it. True when both options were set.
bool SetVoiceSocketOptions(int socket, int notSentLowatBytes = 1600);

} // namespace voxlet
