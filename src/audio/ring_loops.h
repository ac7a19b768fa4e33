#pragma once
// The ring loop at the called side and the ring-back loop at the dialling
// side: a sound played over and over through the media-control commands
// until the call is answered or has ended, dispatching events meanwhile (so
// everything else of the phone runs nested inside them).

#include "audio/media_control.h"
#include "call/app_state.h"

#include <QString>

#include <cstdint>
#include <optional>

namespace voxlet {

class RingLoops {
public:
    RingLoops(AppState& st, MediaControl& media, int pollMs);

    // One loop at a time: asked while one runs, these return at once, and
    // the running loop goes on for the newer call if there is one.
    void PlayRing(const QString& file);
    void PlayRingBack();

    // A call socket was taken or closed: a loop ringing for the call before stops.
    void CallChanged() { ++call_; }
    // From exit on no loop may keep the program alive; start-up clears it.
    void SetShuttingDown(bool on) { shuttingDown_ = on; }

    // The sound a loop rings with now, empty when none runs.
    QString ringingFile() const { return ringingFile_; }
    bool running() const { return running_ != nullptr; }
    bool shuttingDown() const { return shuttingDown_; }

private:
    struct Target {
        QString openCommand;
        QString alias;
        QString file;
        std::uint64_t call = 0;
    };
    struct Running {
        Target current;
        std::optional<Target> next;
    };
    void RingLoop(Target target);
    void WaitForEvents(int ms);

    AppState& st_;
    MediaControl& media_;
    int pollMs_;
    Running* running_ = nullptr;
    std::uint64_t call_ = 0;
    bool shuttingDown_ = false;
    QString ringingFile_;
};

} // namespace voxlet
